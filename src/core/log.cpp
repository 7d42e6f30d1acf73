// Log files and the error log. The error-log pointer is read and replaced under one lock, so
// destroying the error log while other threads report is safe.
#include "core/log.h"

#include "core/report.h"
#include "core/thread_heap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace quorvel {

namespace {

pthread_mutex_t error_log_lock = PTHREAD_MUTEX_INITIALIZER;
log_record* error_log = nullptr;

std::FILE* open_for_append(const char* name)
{
    std::FILE* f = std::fopen(name, "ae");
    if (f == nullptr)
        f = std::fopen(name, "we");
    return f;
}

// The entry itself; the caller holds the log's lock.
int log_write(log_record* log, const char* head, const char* format, va_list args)
{
    std::FILE* f = open_for_append(log->file_name);
    if (f == nullptr)
        return -1;
    char stamp[80];
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    if (std::strftime(stamp, sizeof(stamp), "%d/%b/%Y:%H:%M:%S", &local) == 0)
        stamp[0] = '\0';
    std::fprintf(f, "[%s] - %s", stamp, head != nullptr ? head : "");
    std::vfprintf(f, format, args);
    std::fclose(f);
    return 0;
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
    std::FILE* f = open_for_append(file_name);
    if (f == nullptr) {
        ::pthread_mutex_destroy(&log->lock);
        log_free(log);
        report("log_create", 3107, fault::no_access, "could not access file %s\n", file_name);
        return nullptr;
    }
    std::fclose(f);
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
