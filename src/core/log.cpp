// Log files and the error log. Each entry is formatted whole and written with one write, to
// the file opened for it or to descriptor 2 for "-". The error-log pointer is read and
// replaced under one lock, so destroying the error log while other threads report is safe.
#include "core/log.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel {

namespace {

pthread_mutex_t error_log_lock = PTHREAD_MUTEX_INITIALIZER;
log_record* error_log = nullptr;

// Entries of up to this many bytes are formatted on the stack; longer ones in a block of
// their own.
constexpr size_t LINE_AREA = 2048;

bool is_standard_error(const char* name)
{
    return std::strcmp(name, LOG_STANDARD_ERROR) == 0;
}

// Descriptor 2 as it is, open for writing: whatever the process was given, never reopened
// by a path (which a pipe, a socket or another user's terminal would refuse).
bool standard_error_writable()
{
    int flags = ::fcntl(STDERR_FILENO, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

// The log's file opened for one entry, appending, or else writing (created when missing);
// -1 when neither works.
int open_for_append(const char* name)
{
    int fd = ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1)
        fd = ::open(name, O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0666);
    return fd;
}

// The entry itself, formatted whole and then written with one write, so entries of several
// writers (other logs on the same file, or the host's own output on standard error) never
// interleave within a line. The caller holds the log's lock.
int log_write(log_record* log, const char* head, const char* format, va_list args)
{
    char stamp[80];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    if (std::strftime(stamp, sizeof(stamp), "%d/%b/%Y:%H:%M:%S", &local) == 0)
        stamp[0] = '\0';
    char area[LINE_AREA];
    int prefix = std::snprintf(area, sizeof(area), "[%s] - %s", stamp, head != nullptr ? head : "");
    if (prefix < 0 || static_cast<size_t>(prefix) >= sizeof(area))
        return -1;
    va_list again;
    va_copy(again, args);
    int body =
        std::vsnprintf(area + prefix, sizeof(area) - static_cast<size_t>(prefix), format, args);
    char* text = area;
    size_t length = static_cast<size_t>(prefix) + static_cast<size_t>(body < 0 ? 0 : body);
    if (length >= sizeof(area)) {
        text = static_cast<char*>(general_alloc(length + 1));
        if (text != nullptr) {
            std::memcpy(text, area, static_cast<size_t>(prefix));
            std::vsnprintf(text + prefix, length + 1 - static_cast<size_t>(prefix), format, again);
        } else {
            // No memory for the whole entry: the part that fits, still ending its line.
            text = area;
            length = sizeof(area) - 1;
            area[length - 1] = '\n';
        }
    }
    va_end(again);
    scope_guard release([&] {
        if (text != area)
            mem_free(text);
    });
    if (is_standard_error(log->file_name))
        return write_all(STDERR_FILENO, text, length);
    fd_guard file(open_for_append(log->file_name));
    if (file.get() == -1)
        return -1;
    return write_all(file.get(), text, length);
}

// `log` with its name but no lock yet.
void log_free(log_record* log)
{
    mem_free(log->file_name);
    mem_free(log);
}

} // namespace

log_record* log_create(const char* file_name)
{
    clear_errors();
    if (file_name == nullptr) {
        report("log_create", 3056, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    auto* log = static_cast<log_record*>(general_alloc(sizeof(log_record)));
    if (log == nullptr) {
        report("log_create", 3067, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    size_t length = std::strlen(file_name);
    log->file_name = static_cast<char*>(general_alloc(length + 1));
    if (log->file_name == nullptr) {
        log_free(log);
        report("log_create", 3080, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    std::memcpy(log->file_name, file_name, length + 1);
    if (::pthread_mutex_init(&log->lock, nullptr) != 0) {
        log_free(log);
        report("log_create", 3092, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    fd_guard file(is_standard_error(file_name) ? -1 : open_for_append(file_name));
    if (is_standard_error(file_name) ? !standard_error_writable() : file.get() == -1) {
        ::pthread_mutex_destroy(&log->lock);
        log_free(log);
        report("log_create", 3107, fault::no_access, "could not access file %s\n", file_name);
        return nullptr;
    }
    file.reset();
    ::pthread_mutex_lock(&error_log_lock);
    if (error_log == nullptr)
        error_log = log;
    ::pthread_mutex_unlock(&error_log_lock);
    return log;
}

int log_vprintf(log_record* log, const char* format, va_list args)
{
    clear_errors();
    if (log == nullptr || format == nullptr || log->file_name == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    ::pthread_mutex_lock(&log->lock);
    int result = log_write(log, nullptr, format, args);
    ::pthread_mutex_unlock(&log->lock);
    return result;
}

void log_destroy(log_record** log)
{
    if (log == nullptr || *log == nullptr)
        return;
    ::pthread_mutex_lock(&error_log_lock);
    if (error_log == *log)
        error_log = nullptr;
    ::pthread_mutex_unlock(&error_log_lock);
    ::pthread_mutex_destroy(&(*log)->lock);
    log_free(*log);
    *log = nullptr;
}

int error_log_vwrite(const char* head, const char* format, va_list args)
{
    ::pthread_mutex_lock(&error_log_lock);
    int result = -1;
    if (error_log != nullptr) {
        ::pthread_mutex_lock(&error_log->lock);
        result = log_write(error_log, head, format, args);
        ::pthread_mutex_unlock(&error_log->lock);
    }
    ::pthread_mutex_unlock(&error_log_lock);
    return result;
}

} // namespace quorvel
