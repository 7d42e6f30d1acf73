// Moving whole files over a connected socket: sending with the kernel's file transmission
// (file_send.cpp) or with a read-and-send loop, and receiving a file of known length straight
// into the file system (file_receive.cpp). The socket's buffer is the transfer area.
#pragma once

#include <cstdint>

namespace quorvel {

struct socket;

// Files shorter than this are received through a shared mapping, longer ones in chunks
// through the socket's buffer.
inline constexpr uint64_t RECEIVE_MAP_LIMIT = 2048000;

// Sends `length` bytes of the file at `path` (0: the whole file, its size read now) on the
// buffered connection `s` with the kernel's file transmission (not to be confused with
// socket_stream_file, the read-and-send loop below), after pending output has
// left and unconsumed input has been dropped. Waits up to the socket's `timeout` for room
// before each transmission call; SIGPIPE is never raised. 0 once every byte has been handed
// to the connection. -1 without a line for a missing, unreadable or non-regular file, a
// file that ends before `length` bytes, a wait that runs out (SOCK_TIMEDOUT) or a failed
// transmission; -1 with a line (EINVAL, 160) for a NULL, failed or unbuffered socket.
int socket_streamfile(socket* s, const char* path, uint64_t length);

// socket_streamfile of `length` bytes from the open regular file `file`, read from its
// start; the caller keeps and closes the file. Pending output leaves together with the
// first file bytes where the system can join them.
int socket_streamfd(socket* s, int file, uint64_t length);

// Queues `length` bytes of the open regular file `file`, from its start, as output behind what
// is buffered, without sending anything: a small file is read into the buffer now, a larger
// one becomes the tail on a descriptor of its own (the caller keeps and closes `file`). 0, or
// -1: reported for a bad or unbuffered socket or a tail already queued; silently when the file
// cannot be read whole (EIO for one shorter than `length`) or duplicated.
int socket_defer_file(socket* s, int file, uint64_t length);

// Sends the tail of `s`: 1 when it has gone (and is released), 0 when the connection takes
// no more now and `wait` is false, -1 when it failed (SOCK_FAILED) or a wait of the socket's
// time-out for room ran out (SOCK_TIMEDOUT). SIGPIPE is never raised.
int socket_send_tail(socket* s, bool wait);

// Blocks SIGPIPE in the calling thread for the rest of its life, so transmissions on this
// thread need not block and unblock it each time. For the library's own connection threads,
// whose pending SIGPIPE is never delivered and goes with the thread.
void socket_block_sigpipe();

// Sends `length` bytes of the file at `path` (0: the whole file) on the buffered connection
// `s` by reading it (unlike socket_streamfile above), one buffer's capacity at a time, into the
// socket's buffer. Pending output leaves first, unconsumed input is dropped. 0, or -1: reported for
// a bad argument (EINVAL, 160), a file that cannot be opened (errno ENODEV afterwards) or a read
// that fails or finds the file ending before `length` bytes (EIO); silently when a send fails.
int socket_stream_file(socket* s, const char* path, uint64_t length);

// Receives exactly `length` (above 0) bytes from the connection `s` into the file at `path`,
// created or truncated. Bytes already received into the socket's buffer and not yet
// consumed are taken first; any beyond `length` stay there for later reads. Files below
// RECEIVE_MAP_LIMIT are received into a shared mapping (blocks reserved before it is
// written), longer ones through the socket's buffer, which must then exist. 0, or -1: a
// failed receive or write deletes the file; a bad argument, an unconnected or SSL socket is
// reported (line 11093, EINVAL, 160).
int socket_receivefile(socket* s, const char* path, uint64_t length);

} // namespace quorvel
