// Accepting connections on listening socket records.
#pragma once

#include <sys/socket.h>

namespace quorvel {

struct socket;

// The first handle, in array order and fd[0] before fd[1], readable within one second; its
// record goes to `*which`. -1 when none is (no line) or an entry is not usable (reported).
int socket_readable_vectr(socket** sockets, int count, socket** which);

// Accepts one connection waiting on the listening handle `fd` without waiting, as a
// non-blocking, close-on-exec descriptor, with the peer's address in `*address` and
// `*length`: the descriptor, or -1 with errno saying why (EAGAIN when none was waiting,
// EMFILE or ENFILE when no descriptor is left).
int socket_accept_fd(int fd, sockaddr_storage* address, socklen_t* length);

// The connection record of the descriptor `fd`, accepted on a handle of `listener` from the
// peer at `address`: a socket_dup of the listener as socket_accept describes it. NULL
// (reported) when memory runs out; `fd` is then closed.
socket* socket_adopt(const socket* listener, int fd, const sockaddr_storage& address,
                     socklen_t length);

// Accepts a connection waiting on `fd`, a handle of `listener`, without waiting. The
// connection is a socket_dup of its listener with the accepted handle (non-blocking,
// close-on-exec; its waits poll) in fd[0], SOCK_CONNECTED added and the peer's numeric
// address in `peer` (an IPv4-mapped address as a.b.c.d; "<unknown>" when it cannot be had).
// NULL without a line when none was waiting (another thread took it) or the accept failed.
socket* socket_accept(socket* listener, int fd);

// Accepts one connection as socket_accept does on the first ready of `count` bound, listening
// sockets, in array order, each tried once before waiting, waiting up to one second. NULL
// when nothing arrived or another thread took the connection (no line), or on a bad argument
// (reported).
socket* socket_wait_vectr(socket** listeners, int count);

} // namespace quorvel
