// Log objects: named text files that receive time-stamped lines, opened, written and closed
// for every line, or the process's standard error for the name "-". The first log made
// becomes the error log of the library.
#pragma once

#include <cstdarg>
#include <pthread.h>
#include <type_traits>

namespace quorvel {

struct log_record {
    char* file_name;
    pthread_mutex_t lock; // serialises the writers of this log
};
static_assert(std::is_trivially_destructible_v<log_record>);

// The log name that stands for descriptor 2 itself, whatever it is (terminal, pipe, file).
inline constexpr char LOG_STANDARD_ERROR[] = "-";

// A log on `file_name`, whose file is created when missing, or on descriptor 2 for
// LOG_STANDARD_ERROR; NULL (reported) when the name is NULL, memory runs out or the file
// (descriptor 2) cannot be opened for (is not open for) writing (EACCES). Becomes the error
// log when there is none.
log_record* log_create(const char* file_name);
// Appends "[dd/Mon/yyyy:hh:mm:ss] - " and the formatted text as one write, under the log's
// lock. 0, or -1 when the file cannot be opened or written (nothing is reported anywhere).
int log_vprintf(log_record* log, const char* format, va_list args);
// Releases the record (the file stays); the error log is cleared when it is this log.
void log_destroy(log_record** log);

// Writes one entry to the error log: the time stamp, `head` (may be NULL) and the formatted
// text. -1 when there is no error log. The error log cannot be destroyed meanwhile.
int error_log_vwrite(const char* head, const char* format, va_list args);

} // namespace quorvel
