// Sending a text file as HTML-safe lines.
#pragma once

#include <cstdint>

namespace quorvel {

struct socket;

// Characters of a text line the encoder takes at a time, and the area each output line
// (references, "\r\n" and a terminating NUL) must fit in.
inline constexpr uint32_t UUENCODE_LINE = 511;
inline constexpr uint32_t UUENCODE_AREA = 2560;

// Sends the text file at `path` with socket_snd as HTML-safe lines (the name is the design's;
// no uuencoding is involved): each line, taken
// UUENCODE_LINE characters at a time, up to its first NUL or CR, with every byte other than
// an ASCII letter or digit and / * + - # blank \ tab written as "&#n;", then "\r\n". 0, or
// -1: silently for a file that cannot be opened or a failed send; reported when an output
// line does not fit UUENCODE_AREA (what went before it has been sent).
int quorvel_file_uuencode(socket* s, const char* path);

// quorvel_file_uuencode of the file open for reading at `file` (from its current offset; the
// descriptor stays the caller's).
int socket_uuencode_fd(socket* s, int file);

} // namespace quorvel
