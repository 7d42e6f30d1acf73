// Buffered sending and receiving on a connected socket record, through the record's one
// buffer, with the record's time-out and the request deadline bounding every wait.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

struct socket;

// Buffered I/O. A buffered socket uses its buffer in one direction at a time: sending
// discards unconsumed input, and receiving first sends pending output.

// The first handle writable within `timeout` seconds, or -1.
int socket_writable(socket* s);
// Buffers `length` bytes, sending full buffers as they fill: `length`, or -1. 0 for a
// length of 0, whatever the record.
int socket_snd(socket* s, const void* data, uint32_t length);
// Sends `length` bytes now, after any pending buffered output (unconsumed buffered input is
// discarded): the count sent, or -1 (SOCK_TIMEDOUT when the peer took nothing for
// `timeout` seconds).
int socket_unbufsnd(socket* s, const void* data, uint32_t length);
// Sends pending buffered output, then the tail (file_stream.h) waiting for room as any send
// does: 0, or -1. Bytes that left before a failure are dropped from the buffer and the tail,
// the rest stays pending.
int socket_flush(socket* s);
// socket_flush for output that is followed at once by more (a header in front of a file):
// the system may hold the bytes back briefly to send them together with what follows.
int socket_flush_ahead(socket* s);
// Empties a buffered socket's buffer without sending anything (pending output and unread
// input alike) and drops its tail; the socket is then in its input direction.
void socket_discard(socket* s);

// Queues `length` bytes as output behind what is buffered, without sending anything: copied
// into the buffer when they fit there, else kept as the tail, by reference (`copy` false: the
// bytes must then outlive the connection's output) or as a copy the record owns. 0, or -1
// (reported) for an unbuffered socket, a tail already queued, or no memory for the copy.
// Nothing may be queued behind a tail: socket_snd sends it first.
int socket_defer_bytes(socket* s, const char* bytes, size_t length, bool copy);

// Sends what the connection holds for its peer, buffered output and then the tail, as far as
// the system takes it without waiting: 1 when everything has left, 0 when some is left for
// later, -1 when the connection failed (SOCK_FAILED).
int socket_push(socket* s);

// Output bytes the connection still holds: buffered and queued in the tail.
uint64_t socket_pending(const socket* s);

// Releases the tail (its file or its copy) without sending it.
void socket_drop_tail(socket* s);
// Delivers up to `length` bytes through the buffer, refilling it while bytes are missing:
// the count delivered; 0 when nothing came and nothing failed; -1.
int socket_rcv(socket* s, void* destination, uint32_t length);
// Receives exactly `length` bytes, bypassing the buffer: `length`, or -1 with the bytes
// that did not arrive zeroed.
int socket_unbufrcv(socket* s, void* destination, uint32_t length);
// Replaces the buffer's contents by all the bytes pending on the connection (growing the
// buffer when they do not fit): their count, or -1: silently when nothing arrived within a
// second; with SOCK_FAILED when the peer closed or the connection failed; with a line and
// SOCK_FAILED | SOCK_TIMEDOUT when the deadline passed or `timeout` is 0 or less.
int socket_fillbuffer(socket* s);
// Makes `length` bytes, received elsewhere, the unread input of the buffered connection `s`
// (growing its buffer when they do not fit): 0, or -1 (reported).
int socket_preload(socket* s, const char* bytes, uint32_t length);
// True when `s` is buffered and has a transfer area.
bool socket_has_area(const socket* s);

} // namespace quorvel
