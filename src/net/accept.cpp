// Accepting connections: on one listening handle, or on the first ready handle of a set of
// listeners. Listening handles are non-blocking, so a thread that loses the race for a
// connection finds none instead of blocking in accept.
#include "net/accept.h"

#include "core/guard.h"
#include "core/report.h"
#include "net/socket.h"
#include "net/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel {

namespace {

void set_peer(socket* c, const sockaddr_storage& address, socklen_t length)
{
    const sockaddr* peer = reinterpret_cast<const sockaddr*>(&address);
    sockaddr_in v4{};
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (address.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, v6->sin6_addr.s6_addr + 12, sizeof(v4.sin_addr));
        peer = reinterpret_cast<const sockaddr*>(&v4);
        length = sizeof(v4);
    }
    char host[NI_MAXHOST];
    int rc = 0;
    {
        errno_saver keep;
        rc = ::getnameinfo(peer, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST);
    }
    int written = rc == 0 ? std::snprintf(c->peer, sizeof(c->peer), "%s", host) : -1;
    if (written < 0 || written >= static_cast<int>(sizeof(c->peer)))
        std::snprintf(c->peer, sizeof(c->peer), "%s", "<unknown>");
}

} // namespace

int socket_accept_fd(int fd, sockaddr_storage* address, socklen_t* length)
{
    *length = sizeof(*address);
    int accepted;
    do {
        accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(address), length,
                             SOCK_CLOEXEC | ::SOCK_NONBLOCK);
    } while (accepted == -1 && errno == EINTR);
    return accepted;
}

socket* socket_adopt(const socket* listener, int fd, const sockaddr_storage& address,
                     socklen_t length)
{
    socket* c = socket_dup(listener);
    if (c == nullptr) {
        // The connection cannot be served without its record.
        ::close(fd);
        return nullptr;
    }
    c->fd[0] = fd;
    c->fd[1] = -1;
    c->io_nonblocking = 1;
    std::memset(c->peer, 0, sizeof(c->peer));
    set_peer(c, address, length);
    c->flags |= SOCK_CONNECTED;
    return c;
}

socket* socket_accept(socket* listener, int fd)
{
    sockaddr_storage address{};
    socklen_t length = 0;
    int accepted = socket_accept_fd(fd, &address, &length);
    if (accepted == -1) {
        errno = 0;
        return nullptr;
    }
    return socket_adopt(listener, accepted, address, length);
}

int socket_readable_vectr(socket** sockets, int count, socket** which)
{
    clear_errors();
    if (which != nullptr)
        *which = nullptr;
    if (sockets == nullptr || count <= 0) {
        report("socket_readable_vectr", 8716, fault::bad_arg, "socket not connected\n");
        return -1;
    }
    pollfd fds[SOCKET_MAX_HANDLES];
    socket* owners[SOCKET_MAX_HANDLES];
    int n = 0;
    for (int i = 0; i < count; ++i) {
        socket* s = sockets[i];
        if (s == nullptr || !(s->flags & (SOCK_LISTENING | SOCK_CONNECTED))) {
            report("socket_readable_vectr", 8716, fault::bad_arg, "socket not connected\n");
            return -1;
        }
        if (s->flags & SOCK_FAILED) {
            report("socket_readable_vectr", 8722, fault::bad_arg,
                   "see previous error logged against socket\n");
            return -1;
        }
        for (int fd : s->fd) {
            if (fd == -1 || n == SOCKET_MAX_HANDLES ||
                std::any_of(fds, fds + n, [fd](const pollfd& p) { return p.fd == fd; }))
                continue;
            fds[n] = pollfd{fd, POLLIN, 0};
            owners[n++] = s;
        }
    }
    int ready = socket_poll(fds, n, POLLIN, SOCKET_READ_WAIT_MS);
    if (ready == -2) {
        report("socket_readable_vectr", 8757, fault::none, "select failed\n");
        return -1;
    }
    if (ready < 0)
        return -1;
    if (which != nullptr)
        *which = owners[ready];
    return fds[ready].fd;
}

socket* socket_wait_vectr(socket** listeners, int count)
{
    clear_errors();
    if (listeners == nullptr || count <= 0) {
        report("socket_wait_vectr", 9449, fault::bad_arg,
               "provided socket not connected or invalid\n");
        return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        socket* s = listeners[i];
        if (s == nullptr || !(s->flags & SOCK_READY) || !(s->flags & SOCK_LISTENING)) {
            report("socket_wait_vectr", 9449, fault::bad_arg,
                   "provided socket not connected or invalid\n");
            return nullptr;
        }
        if (s->flags & SOCK_NONBLOCK) {
            report("socket_wait_vectr", 9458, fault::bad_arg,
                   "operation can not be performed on a non-blocking socket\n");
            return nullptr;
        }
    }
    // The handles are non-blocking: under load a connection is usually waiting already, so
    // each is tried once, in array order, before the readiness wait.
    for (int i = 0; i < count; ++i) {
        for (int fd : listeners[i]->fd) {
            if (fd == -1)
                continue;
            if (socket* c = socket_accept(listeners[i], fd))
                return c;
        }
    }
    socket* owner = nullptr;
    int fd = socket_readable_vectr(listeners, count, &owner);
    if (fd == -1 || owner == nullptr)
        return nullptr;
    return socket_accept(owner, fd);
}

} // namespace quorvel
