// Response header lines and cookies for host functions: lines added while the header can
// still take them, Set-Cookie written from its parts, and cookies read from the request.
#pragma once

#include <cstdint>

namespace quorvel {

struct request_data;

// Room for a Set-Cookie value.
inline constexpr int COOKIE_VALUE_SIZE = 1024;

// Appends the header line "name: value\r\n" to the response's attributes. 0; -1 for a NULL
// argument, an empty name, a name or value holding CR or LF (reported: a line break would
// start a header line of the client's choosing), a header that has already been sent
// (reported), or no memory.
int add_attribute(request_data* request, const char* name, const char* value);

// Adds "Set-Cookie: name=value; [expires=DATE; ]path=/[; domain=DOMAIN][; secure]", with
// expires at now plus `lifetime` seconds when it is above 0 and the domain when not NULL. 0, or
// -1 as add_attribute, for a NULL name or value, or a value that does not fit 1024 bytes (the
// response is left as it was).
int set_cookie(request_data* request, const char* name, const char* value, const char* domain,
               int secure, int32_t lifetime);

// Copies the value of the request cookie named exactly `name` (the first one, from its first
// '=' to its end) into `out`, which is emptied first. 0; -1 when there is no such cookie, it
// has no value or an argument is NULL; -(n + 1) when the value of n bytes does not fit `size`
// with its terminator (`out` left empty).
int get_cookie(const request_data* request, const char* name, char* out, int size);

} // namespace quorvel
