// Building the HTTP/1.0 answer to one request: the status table and its pages, the error-page
// writer, HTTP dates and the If-Modified-Since comparison, and http_responce, which picks the
// answer (304, error page, host callback, stored content, file or listing) and writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace quorvel {

struct request_data;

// Rows of the status table, indexed by request_data::status.
inline constexpr uint32_t STATUS_COUNT = 18;
inline constexpr uint32_t STATUS_OK = 0;
// "401 Authorization required": the one status that carries a Basic challenge.
inline constexpr uint32_t STATUS_AUTH_REQUIRED = 17;

// Room for an HTTP date and its terminator.
inline constexpr size_t HTTP_DATE_SIZE = 80;

// What follows every status page and closes the document.
inline constexpr std::string_view RESPONSE_FOOTER =
    "<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n";

// The text after "HTTP/1.0 " on the status line of `index`, and the page sent for it when the
// request failed (without the footer). An index outside the table reads as 14 (500).
std::string_view status_line(uint32_t index);
std::string_view status_page(uint32_t index);

// Writes the whole answer to `request` on its connection, through the connection's send
// buffer, and leaves the connection to the caller's request_destroy, whose close ends every
// body sent without a Content-Length. A mapped function or MIME handler (direct mode) runs
// here, on the calling thread, with a connection handle that is valid only during the call;
// an error text it returns must come from quorvel_mem_alloc (quorvel_make_return_value) and
// is freed here after its 500 page has been written. HEAD gets the header lines a GET would
// get and no body; a failed request gets its status page. 0 when the answer was written; -1
// for a NULL request (reported), a failed send (the partial answer stays for the close), or
// a MIME handler that returned an error text (its page is still sent).
int http_responce(request_data* request);

// Discards what is still unsent in the connection's buffer, then writes the status page of
// `index` (an index outside the table counts as 14), or with a `message` the 500 page with
// the message in red, with Date, Server, Content-Type, an exact Content-Length and
// "Connection: close"; index 17 also gets its WWW-Authenticate challenge. A HEAD request gets
// the header alone. Does not flush. The result of the last send (at least 0), or -1 for a
// failed send or a request without a connection (EINVAL, 160).
int send_error_page(request_data* request, uint32_t index, const char* message);

// Writes the UTC time `when` (seconds since 1970) as "Sun, 06 Nov 1994 08:49:37 GMT" into
// `out`, bounded by `size`: `out`, or NULL (with `out` emptied when it has room) when the time
// cannot be converted or the text does not fit.
char* format_http_date(int64_t when, char* out, size_t size);
// The same for the current time.
char* format_http_now(char* out, size_t size);
// The same for the current time plus `seconds`; NULL also when the sum overflows.
char* format_http_future(int64_t seconds, char* out, size_t size);

// 1 when the file whose modification time is `file_time` (broken down in UTC) is not newer
// than the If-Modified-Since `value`, else 0. The value is a day name, blanks, then one of
// "06 Nov 1994 08:49:37 GMT", "06-Nov-94 08:49:37 GMT" (years below 70 are 20xx) or
// "Nov  6 08:49:37 1994" (a zone word before the year is allowed); text after the seconds
// (or the year) is ignored. Anything that does not parse, or has a field out of range, counts
// as modified (0); so does NULL.
int is_not_modified(const struct tm* file_time, const char* value);

// 0 for "Jan" to 11 for "Dec" (exact, case-sensitive), -1 for anything else.
int month_index(std::string_view name);

} // namespace quorvel
