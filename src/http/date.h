// HTTP dates: writing them, and reading the three forms a client may send in
// If-Modified-Since.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace quorvel {

// Room for an HTTP date and its terminator.
inline constexpr size_t HTTP_DATE_SIZE = 80;

// Writes the UTC time `when` (seconds since 1970) as "Sun, 06 Nov 1994 08:49:37 GMT" into
// `out`, bounded by `size`: `out`, or NULL (with `out` emptied when it has room) when the time
// cannot be converted or the text does not fit.
char* format_http_date(int64_t when, char* out, size_t size);
// The same for the current time.
char* format_http_now(char* out, size_t size);
// The UTC time `when` as the Common Log Format writes it, "10/Oct/2000:13:55:36 +0000",
// bounded by `size` (LOG_DATE_SIZE is enough): `out`, or NULL (`out` emptied) as above.
char* format_log_date(int64_t when, char* out, size_t size);
inline constexpr size_t LOG_DATE_SIZE = 27;
// The same for the current time plus `seconds`; NULL also when the sum overflows. No caller
// yet: the expiry of cookies will be written with it.
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
