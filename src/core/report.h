// The error reporter: every failing place writes one line "error (fn, id): text" to the
// error log and then sets errno and the calling thread's last-error code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

// The errno / last-error pair a failure leaves behind.
enum class fault : uint8_t {
    none,       // errno as the failing call left it; last error untouched
    bad_arg,    // EINVAL, 160
    no_memory,  // ENOMEM, 8
    no_access,  // EACCES, 19
    exists,     // EEXIST, 183
    bad_handle, // EBADF, 20
    no_space,   // ENOSPC, last error untouched
    too_small,  // ENOSPC, 8
    not_found,  // errno untouched, 2
};

// Last-error codes, as numbered by the public interface.
inline constexpr uint32_t LAST_BAD_ARGUMENTS = 160;
inline constexpr uint32_t LAST_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t LAST_WRITE_PROTECT = 19;
inline constexpr uint32_t LAST_FILE_NOT_FOUND = 2;
inline constexpr uint32_t LAST_ALREADY_EXISTS = 183;
inline constexpr uint32_t LAST_BAD_HANDLE = 20;

uint32_t last_error();
void set_last_error(uint32_t code);

// Clears errno and the last error: the first step of nearly every operation.
void clear_errors();

// Sets errno and the last error as `kind` says.
void set_fault(fault kind);

// Writes "error (fn, id): <fmt...>" to the error log, or "error (fn, id): <strerror>\n"
// when errno is already set by an inner call; then sets the codes of `kind`. `fmt` carries
// its own line end (a few fixed texts have none). Lines are dropped while no error log exists.
void report(const char* fn, int id, fault kind, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// report with the place's own text even when an inner call left errno set: for failures whose
// cause the inner errno would misstate. errno is then as `kind` sets it (0 for fault::none).
void report_text(const char* fn, int id, fault kind, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes "(fn, id): <fmt...>" while debug output is on; errno and the last error are kept.
void debug(const char* fn, int id, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Writes a line with no "(fn, id)" head to the error log, keeping errno and the last error.
void report_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// True while debug output is on (quorvel_debug).
bool debug_enabled();
void set_debug(bool on);

// Copies text a client sent into `out` for a log line, with control characters and bytes
// above 126 written as \xNN and the copy cut to fit. Returns `out`.
const char* log_safe(const char* text, char* out, size_t size);

} // namespace quorvel
