// The output of host functions: on the connection whose request they answer (appended to the
// request's page buffer, sent at once in direct mode), and on a stream (text as frames).
#pragma once

#include <cstdarg>
#include <cstdint>

namespace quorvel {

struct request_data;
struct socket;

// Room for one numeric character reference and its terminator.
inline constexpr int HTML_ESCAPE_SIZE = 10;

// "&#n;" for a byte other than an ASCII letter or digit and / * + - # blank \ LF TAB CR, written
// into `out`, which is returned; NULL (with `out` emptied) for a byte that stays as it is.
const char* html_escape(unsigned char c, char (&out)[HTML_ESCAPE_SIZE]);

// Writes the debug line "\tsent attributes:\n" and the response attributes of `request` under
// `id`, with the value of every Set-Cookie line shown as "(hidden)": a cookie may be a
// session's credential. Nothing while debug output is off.
void debug_attributes(const request_data* request, int id);

// Ends a direct-mode header held back for response attributes: sends the attributes and the
// empty line, once. 0 (also when no header is held), or -1 for a failed send.
int request_end_header(request_data* request);

// Ends a held header, then sends the page buffer's bytes (counted in the request's
// `body_bytes`; dropped unsent for HEAD) and empties it, sent or not. 0, or -1 for a failed
// send.
int request_send_page(request_data* request);

// Appends bytes to the page buffer (made on first use): `length`, or -1 (reported) when memory
// runs out. request_putf appends a frame, its 4-byte length first: the result of the last
// append.
int request_put(request_data* request, const void* data, uint32_t length);
int request_putf(request_data* request, const void* data, uint32_t length);

// Appends formatted text to the page buffer (request_vuprintf with every byte html_escape
// escapes as its reference); in direct mode then sends the page (request_send_page). 0, or -1
// for a format refused, no memory or a failed send.
int request_vprintf(request_data* request, const char* format, va_list args);
int request_vuprintf(request_data* request, const char* format, va_list args);

// Sends the file at `path` on the request's connection, after the page so far: as HTML-safe
// lines with QUORVEL_STREAM_ENCODE, else the whole file with the system's file transmission;
// `body_bytes` grows by the file's size. The file is opened once, as a regular file; for HEAD
// nothing is sent: 0 when it opens, else -1. 0, or -1 as socket_streamfile or
// quorvel_file_uuencode fail.
int request_file_stream(request_data* request, const char* path, int flags);

// Formatted text on a stream: stream_vprintf as one frame, stream_vuprintf as one frame per
// character, each escaped as html_escape says. 0, or -1 for a format refused, no memory or a
// failed send.
int stream_vprintf(socket* s, const char* format, va_list args);
int stream_vuprintf(socket* s, const char* format, va_list args);

} // namespace quorvel
