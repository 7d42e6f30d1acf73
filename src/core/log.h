// Log objects: named text files that receive time-stamped lines, opened, written and closed
// for every line. The first log made becomes the error log of the library.
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

// A log on `file_name`, whose file is created when missing; NULL (reported) when the name is
// NULL, memory runs out or the file cannot be opened for writing (EACCES). Becomes the error
// log when there is none.
log_record* log_create(const char* file_name);
// Appends "[dd/Mon/yyyy:hh:mm:ss] - " and the formatted text, under the log's lock. 0, or -1
// when the file cannot be opened (nothing is reported anywhere). No caller yet: the printf
// call of the output family will write to log objects through it.
int log_vprintf(log_record* log, const char* format, va_list args);
// Releases the record (the file stays); the error log is cleared when it is this log.
void log_destroy(log_record** log);

// Writes one entry to the error log: the time stamp, `head` (may be NULL) and the formatted
// text. -1 when there is no error log. The error log cannot be destroyed meanwhile.
int error_log_vwrite(const char* head, const char* format, va_list args);

} // namespace quorvel
