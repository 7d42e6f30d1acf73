// Frames on a connected socket: a 4-byte length, most significant byte first, then exactly that
// many bytes.
#pragma once

#include <cstdint>

namespace quorvel {

struct socket;

// Sends one frame of `length` bytes through the socket's buffer: the header, then (when the
// header went) the data. The result of the last send: `length` (0 for an empty frame), or -1.
int socket_putf(socket* s, const void* data, uint32_t length);

// Receives one frame: a new block of its length + 1 bytes (NUL-terminated; released with
// mem_free), its length in `*length`. NULL when the header or the payload does not arrive
// whole, for a frame of length 0 or of 2^31 bytes or more (refused without allocating, the
// length still stored), or when memory runs out (reported under `fn` with `id`).
char* socket_getf(socket* s, uint32_t* length, const char* fn, int id);

} // namespace quorvel
