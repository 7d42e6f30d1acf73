// Error and debug lines in the library's one form, and the per-thread error codes.
#include "core/report.h"

#include "core/guard.h"
#include "core/log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

thread_local uint32_t tls_last_error = 0;
std::atomic<bool> debug_flag{false};

void error_log_line(const char* head, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void error_log_line(const char* head, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    error_log_vwrite(head, fmt, args);
    va_end(args);
}

} // namespace

uint32_t last_error()
{
    return tls_last_error;
}

void set_last_error(uint32_t code)
{
    tls_last_error = code;
}

void clear_errors()
{
    errno = 0;
    tls_last_error = 0;
}

void set_fault(fault kind)
{
    switch (kind) {
    case fault::none:
        break;
    case fault::bad_arg:
        errno = EINVAL;
        tls_last_error = LAST_BAD_ARGUMENTS;
        break;
    case fault::no_memory:
        errno = ENOMEM;
        tls_last_error = LAST_NOT_ENOUGH_MEMORY;
        break;
    case fault::no_access:
        errno = EACCES;
        tls_last_error = LAST_WRITE_PROTECT;
        break;
    case fault::exists:
        errno = EEXIST;
        tls_last_error = LAST_ALREADY_EXISTS;
        break;
    case fault::bad_handle:
        errno = EBADF;
        tls_last_error = LAST_BAD_HANDLE;
        break;
    case fault::no_space:
        errno = ENOSPC;
        break;
    case fault::too_small:
        errno = ENOSPC;
        tls_last_error = LAST_NOT_ENOUGH_MEMORY;
        break;
    case fault::not_found:
        tls_last_error = LAST_FILE_NOT_FOUND;
        break;
    }
}

namespace {

void vreport(const char* fn, int id, fault kind, const char* fmt, va_list args)
{
    int pending = errno;
    char head[256];
    std::snprintf(head, sizeof(head), "error (%s, %d): ", fn, id);
    if (pending != 0) {
        char text[256];
        error_log_line(head, "%s\n", ::strerror_r(pending, text, sizeof(text)));
    } else {
        error_log_vwrite(head, fmt, args);
    }
    // Writing the line resets errno, so the codes are set afterwards.
    errno = pending;
    set_fault(kind);
}

} // namespace

void report(const char* fn, int id, fault kind, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    vreport(fn, id, kind, fmt, args);
    va_end(args);
}

void report_text(const char* fn, int id, fault kind, const char* fmt, ...)
{
    errno = 0;
    va_list args;
    va_start(args, fmt);
    vreport(fn, id, kind, fmt, args);
    va_end(args);
}

void debug(const char* fn, int id, const char* fmt, ...)
{
    if (!debug_enabled())
        return;
    errno_saver keep;
    char head[256];
    std::snprintf(head, sizeof(head), "(%s, %d): ", fn, id);
    va_list args;
    va_start(args, fmt);
    error_log_vwrite(head, fmt, args);
    va_end(args);
}

void report_line(const char* fmt, ...)
{
    errno_saver keep;
    va_list args;
    va_start(args, fmt);
    error_log_vwrite(nullptr, fmt, args);
    va_end(args);
}

bool debug_enabled()
{
    return debug_flag.load(std::memory_order_relaxed);
}

void set_debug(bool on)
{
    debug_flag.store(on, std::memory_order_relaxed);
}

const char* log_safe(const char* text, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return "";
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p && *p; ++p) {
        bool plain = *p >= 32 && *p < 127;
        size_t need = plain ? 1 : 4;
        if (used + need >= size)
            break;
        if (plain)
            out[used++] = static_cast<char>(*p);
        else
            used += static_cast<size_t>(std::snprintf(out + used, size - used, "\\x%02X", *p));
    }
    out[used] = '\0';
    return out;
}

} // namespace quorvel
