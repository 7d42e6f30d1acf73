// The access log of a server: one line per answered HTTP request in the Common Log Format,
// written with a single write(2) on a descriptor opened for appending, so lines of many handler
// threads never interleave and no lock is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct request_data;

// The longest request line kept for a log line; a longer one is cut to this many bytes.
inline constexpr size_t ACCESS_LOG_REQUEST_MAX = 8192;
// Lines up to this size are put together without an allocation.
inline constexpr size_t ACCESS_LOG_AREA = 2048;

// Where a server's access log goes. A server owns the descriptor of a file it opened; its
// handlers' copies share the descriptor without owning it, and standard error is never closed.
struct access_log_record {
    int fd;         // meaningful only while `on`
    uint8_t on;     // lines are written
    uint8_t owned;  // `fd` is closed with the record
    uint8_t failed; // a failed write has been reported (once per holder)
};
static_assert(std::is_trivially_destructible_v<access_log_record>);

// Sends the lines of `log` to `path`: a file opened for appending and close-on-exec (created
// with mode 0644 when missing; a FIFO must have a reader), "-" for the process's standard error
// (descriptor 2 itself), NULL to turn the log off. A descriptor the log owned before is closed.
// 0, or -1 (reported; errno the open's, EBADF for a closed standard error; last error 19) when
// the file cannot be opened or standard error is closed, leaving the old setting.
int access_log_set(access_log_record* log, const char* path);

// Turns `log` off, closing the descriptor it owns.
void access_log_close(access_log_record* log);

// `log` as a handler's copy holds it: the same descriptor, which the copy never closes.
access_log_record access_log_share(const access_log_record& log);

// The request line at the start of `text` (`size` bytes): a copy, up to its first CR, LF or
// NUL and at most ACCESS_LOG_REQUEST_MAX bytes, from the calling thread's allocation pair
// (released with mem_free); NULL when it is empty or memory runs out.
char* access_log_keep_line(const char* text, size_t size);

// A line put together and not yet written: in `area`, or in a block of the calling thread's
// allocation pair when longer. Starts zeroed (no line).
struct access_log_line {
    char* text; // NULL: no line
    size_t size;
    char area[ACCESS_LOG_AREA];
};
static_assert(std::is_trivially_destructible_v<access_log_line>);

// Puts together the line of `request` once it has been answered (answer_code set) into
// `line`: "HOST - USER [DD/Mon/YYYY:HH:MM:SS +0000] \"REQUEST LINE\" STATUS BYTES\n", the date
// the current time in UTC, "-" for an unknown user, a request line that was not kept or a body
// of 0 bytes. The user and the request line have control bytes, bytes above 126, '"' and '\'
// written as \xNN (in the user, blanks too), so every line is one line and its fields stay
// apart. No line (text NULL) for a request that got no answer, or when memory runs out.
void access_log_format(const request_data* request, access_log_line* line);

// Writes `line` (if any) to `log` in one write(2) when the log is on, releases a block it holds
// and leaves it empty. A failed write is reported once per record. Made apart from
// access_log_format so the write can wait until the answer is on its way.
void access_log_emit(access_log_record* log, access_log_line* line);

} // namespace quorvel
