// Socket records: creation, options, binding on IPv4 and IPv6, listening, connecting and
// closing. Listener handles are non-blocking so that threads woken for the same connection
// never block in accept (accept.cpp).
#include "net/socket.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "net/socket_io.h"
#include "platform/os.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel {

namespace {

// What the shutdown drain reads at most, per piece and in all, and how long it waits.
constexpr int DRAIN_PIECE = 100;
constexpr int DRAIN_TOTAL = 64 * 1024;
constexpr int DRAIN_MS = 1000;

// Where the inline buffer of a duplicate starts: behind the record, kept 16-byte aligned.
constexpr size_t DUP_BUFFER_OFFSET = (sizeof(socket) + 15) & ~size_t{15};

constexpr uint32_t BOOLEAN_OPTIONS = SOCK_IPV6 | SOCK_PL_RESTRICTED | SOCK_PL_EDGE |
                                     SOCK_PL_UNRESTRICTED | SOCK_IPV4 | SOCK_REUSEADDR |
                                     SOCK_NAGLE | SOCK_BUFFERED | SOCK_NONBLOCK;

bool has_handle(const socket* s)
{
    return s->fd[0] != -1 || s->fd[1] != -1;
}

bool set_nonblocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

// The wanted size or the default goes in; half of what Linux reports (it doubles the value
// to account for its bookkeeping) comes back. Failures leave the field and errno alone.
// When nobody asked for a size (none on the socket, the default never changed) the kernel
// keeps tuning the buffer itself, which moves large files with far fewer wake-ups than a
// fixed size would; the record still carries the default, which sizes the I/O buffer.
void apply_size(int fd, int option, bool own, int32_t* field)
{
    errno_saver keep;
    int size = own ? *field : default_tcp_buffer_size();
    if (!own && size == DEFAULT_TCP_BUFFER_SIZE) {
        *field = size;
        return;
    }
    int got = 0;
    socklen_t length = sizeof(got);
    ::setsockopt(fd, SOL_SOCKET, option, &size, sizeof(size));
    if (::getsockopt(fd, SOL_SOCKET, option, &got, &length) == 0)
        *field = got / 2;
}

void apply_buffer_sizes(socket* s, int fd)
{
    apply_size(fd, SO_SNDBUF, (s->flags & SOCK_SNDBUF) != 0, &s->sndbuf);
    apply_size(fd, SO_RCVBUF, (s->flags & SOCK_RCVBUF) != 0, &s->rcvbuf);
}

bool set_int_option(int fd, int level, int option, int value)
{
    return ::setsockopt(fd, level, option, &value, sizeof(value)) == 0;
}

// Options of a handle about to be bound; false (the handle is given up) when one fails.
bool configure_listener(socket* s, int fd, int family)
{
    if (family == AF_INET6) {
        debug("socket_bind", 8378, "     -configuring AF_INET6 connection\n");
        if ((s->flags & SOCK_NONBLOCK) && !set_nonblocking(fd))
            return false;
        // An IPv6 handle takes IPv6 only, so an IPv4 handle can share the port. The
        // protection-level bits have no counterpart here and stay informational.
        errno_saver keep;
        set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    } else {
        if ((s->flags & SOCK_NONBLOCK) && !set_nonblocking(fd))
            return false;
        debug("socket_bind", 8457, "     -configuring AF_INET connection\n");
    }
    if ((s->flags & SOCK_REUSEADDR) && !set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        report("socket_bind", 8467, fault::none, "setsockopt SO_REUSADDR failed\n");
        return false;
    }
    apply_buffer_sizes(s, fd);
    if (!(s->flags & SOCK_NAGLE) && !set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1)) {
        report("socket_bind", 8519, fault::none, "setsockopt TCP_NODELAY failed\n");
        return false;
    }
    debug("socket_bind", 8532, "     -sendbuffer: %d, recievebuffer: %d\n", s->sndbuf, s->rcvbuf);
    return true;
}

void close_handles(socket* s)
{
    for (int& fd : s->fd) {
        if (fd != -1)
            ::close(fd);
        fd = -1;
    }
}

// A connect interrupted by a signal goes on in the background: wait for it to finish.
bool connect_handle(int fd, const sockaddr* address, socklen_t length)
{
    if (::connect(fd, address, length) == 0)
        return true;
    if (errno != EINTR)
        return false;
    pollfd p{fd, POLLOUT, 0};
    if (socket_poll(&p, 1, POLLOUT, -1) != 0)
        return false;
    int failure = 0;
    socklen_t size = sizeof(failure);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0)
        return false;
    errno = failure;
    return failure == 0;
}

// A buffer in one block from the general allocator, like the record it belongs to.
buffer* standalone_buffer(uint32_t capacity)
{
    if (capacity == 0 || capacity > BUFFER_MAX_CAPACITY)
        return nullptr;
    return buffer_init_inline(general_alloc(buffer_block_size(capacity)), capacity);
}

// The port a bound handle holds; 0 (errno set) when the system does not say.
int32_t bound_port(int fd)
{
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    if (local.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    errno = EAFNOSUPPORT;
    return 0;
}

void set_address_port(sockaddr* address, int32_t port)
{
    uint16_t value = htons(static_cast<uint16_t>(port));
    if (address->sa_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(address)->sin6_port = value;
    else if (address->sa_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(address)->sin_port = value;
}

// A new record for a port from `lowest` up to 65534.
socket* create_record(int32_t port, int32_t lowest)
{
    clear_errors();
    if (sockets_init() != 0)
        return nullptr;
    if (port < lowest || port >= 65535) {
        report("socket_create", 8108, fault::bad_arg, "null or invalid argument\n");
        return nullptr;
    }
    auto* s = static_cast<socket*>(general_alloc(sizeof(socket)));
    if (s == nullptr) {
        report("socket_create", 8119, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    s->port = port;
    s->fd[0] = -1;
    s->fd[1] = -1;
    s->opt16 = SOCKET_DEFAULT_OPT16;
    s->timeout = SOCKET_DEFAULT_TIMEOUT;
    return s;
}

} // namespace

int sockets_init()
{
    return 0;
}

socket* socket_create(int32_t port)
{
    return create_record(port, 1);
}

socket* socket_create_listener(int32_t port)
{
    return create_record(port, 0);
}

int32_t socket_port(socket* s)
{
    return std::atomic_ref<int32_t>(s->port).load(std::memory_order_acquire);
}

int socket_setattr(socket* s, uint32_t attribute, int32_t value)
{
    clear_errors();
    if (s == nullptr) {
        report("socket_setattr", 7982, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    int32_t* field = nullptr;
    switch (attribute) {
    case SOCK_SNDBUF:
        field = &s->sndbuf;
        break;
    case SOCK_RCVBUF:
        field = &s->rcvbuf;
        break;
    case SOCK_TIMEOUT:
        field = &s->timeout;
        break;
    case SOCK_OPT16:
        s->opt16 = static_cast<uint16_t>(value & 0xFFFF);
        return 0;
    default:
        if ((attribute & BOOLEAN_OPTIONS) == 0 || (attribute & (attribute - 1)) != 0) {
            report("socket_setattr", 8056, fault::bad_arg, "invalid attribute/argument\n");
            return -1;
        }
        if (value == SOCK_SET)
            s->flags |= attribute;
        else if (value == SOCK_CLR)
            s->flags &= ~attribute;
        return 0;
    }
    if (value > 0) {
        s->flags |= attribute;
        *field = value;
    } else if ((value == 0 || value == -1) && (s->flags & attribute) && *field > 0) {
        s->flags &= ~attribute;
        *field = 0;
    }
    return 0;
}

int socket_bind(socket* s)
{
    clear_errors();
    if (s == nullptr || (s->flags & SOCK_FAILED)) {
        report("socket_bind", 8286, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    debug("socket_bind", 8294, "attempting bind to port %d...\n", s->port);
    if (s->ssl != 0 && !ssl_initialized()) {
        report("socket_bind", 8298, fault::bad_arg, "SSL support requested but not initialized\n");
        return -1;
    }
    if (s->flags & (SOCK_READY | SOCK_CONNECTED)) {
        report("socket_bind", 8309, fault::exists, "socket already connected\n");
        return -1;
    }

    bool v6 = (s->flags & SOCK_IPV6) != 0;
    bool v4 = (s->flags & SOCK_IPV4) != 0;
    const char* node = s->bind_addr[0] != '\0' ? s->bind_addr : nullptr;
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    hints.ai_family = node != nullptr || v6 == v4 ? AF_UNSPEC : v6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof(service), "%d", s->port);
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(node, service, &hints, &list);
    if (rc != 0) {
        if (rc != EAI_SYSTEM)
            report_text("socket_bind", 8345, fault::bad_arg, "getaddrinfo failed error: %d\n", rc);
        return -1;
    }
    // The resolver may leave errno set on success; failures below must see their own.
    errno = 0;

    // Port 0: the first handle learns its port from the system, a second one takes the same.
    int32_t port = s->port;
    int slot = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        debug("quorvel_bind", 8352, "looping through interfaces\n");
        bool wanted = ai->ai_family == AF_INET6  ? v6 || node != nullptr
                      : ai->ai_family == AF_INET ? v4 || node != nullptr
                                                 : false;
        if (!wanted)
            continue;
        if (slot == 2)
            break;
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd == -1)
            continue;
        if (!configure_listener(s, fd, ai->ai_family)) {
            ::close(fd);
            continue;
        }
        set_address_port(ai->ai_addr, port);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 ||
            (port == 0 && (port = bound_port(fd)) == 0)) {
            report("socket_bind", 8538, fault::none, "could not bind to port %d\n", s->port);
            ::close(fd);
            close_handles(s);
            s->flags |= SOCK_FAILED;
            ::freeaddrinfo(list);
            return -1;
        }
        if (port != s->port)
            std::atomic_ref<int32_t>(s->port).store(port, std::memory_order_release);
        s->fd[slot++] = fd;
    }
    ::freeaddrinfo(list);
    if (slot == 0) {
        s->flags |= SOCK_FAILED;
        return -1;
    }
    errno = 0;
    s->flags |= SOCK_READY;
    debug("socket_bind", 8567, "port %d ok\n", s->port);
    return 0;
}

int socket_listen(socket* s, int32_t backlog)
{
    clear_errors();
    if (s == nullptr || (s->flags & SOCK_FAILED) || !(s->flags & SOCK_READY)) {
        report("socket_listen", 8174, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (s->flags & (SOCK_LISTENING | SOCK_CONNECTED)) {
        report("socket_listen", 8184, fault::exists, "socket already connected\n");
        return -1;
    }
    debug("socket_listen", 8192, "attempting to listen on %d...\n", s->port);
    for (int i = 0; i < 2; ++i) {
        if (s->fd[i] == -1)
            continue;
        if (::listen(s->fd[i], backlog) != 0 || !set_nonblocking(s->fd[i])) {
            report("socket_listen", i == 0 ? 8198 : 8208, fault::none,
                   "could not establish listen state on port %d\n", s->port);
            return -1;
        }
    }
    s->flags |= SOCK_LISTENING;
    debug("socket_listen", 8243, "port %d ok\n", s->port);
    return 0;
}

int socket_connect(socket* s, const char* host, int32_t port)
{
    clear_errors();
    if (s == nullptr || host == nullptr || port <= 0 || port > 65535) {
        set_fault(fault::bad_arg);
        return -1;
    }
    if (s->flags & (SOCK_LISTENING | SOCK_CONNECTED)) {
        report("socket_connect", 9142, fault::exists, "socket already connected\n");
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof(service), "%d", port);
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host, service, &hints, &list);
    if (rc != 0) {
        if (rc != EAI_SYSTEM)
            report_text("socket_connect", 9165, fault::bad_arg, "getaddrinfo failed, err=%d\n", rc);
        return -1;
    }
    errno = 0;

    int fd = -1;
    int family = AF_UNSPEC;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (!(ai->ai_family == AF_INET6 && (s->flags & SOCK_IPV6)) &&
            !(ai->ai_family == AF_INET && (s->flags & SOCK_IPV4)))
            continue;
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd == -1)
            continue;
        apply_buffer_sizes(s, fd);
        if (!(s->flags & SOCK_NAGLE) && !set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1)) {
            report("socket_connect", 9220, fault::none, "setsockopt TCP_NODELAY failed\n");
            errno = 0;
        }
        if (connect_handle(fd, ai->ai_addr, ai->ai_addrlen)) {
            family = ai->ai_family;
            break;
        }
        fd_guard(fd).reset();
        fd = -1;
    }
    ::freeaddrinfo(list);
    if (fd == -1) {
        s->flags |= SOCK_FAILED;
        return -1;
    }
    errno = 0;
    if (family == AF_INET)
        debug("socket_connect", 9237, "IPV4 connection established\n");
    else if (family == AF_INET6)
        debug("socket_connect", 9233, "IPV6 connection established\n");
    else
        debug("socket_connect", 9241, "unknown protocol connection established\n");
    s->fd[0] = fd;
    s->fd[1] = -1;
    s->port = port;
    // A duplicate keeps its inline buffer; a standalone record gets a fresh one.
    if ((s->flags & SOCK_BUFFERED) && s->dup_size == 0) {
        buffer_destroy(&s->buffer);
        s->buffer = standalone_buffer(static_cast<uint32_t>(std::max({s->sndbuf, s->rcvbuf, 0})));
        if (s->buffer == nullptr) {
            report("socket_connect", 9264, fault::none,
                   "buffered IO disable, insufficient memory to allocate buffer\n");
            s->flags &= ~SOCK_BUFFERED;
        }
    }
    s->flags |= SOCK_CONNECTED;
    return 0;
}

socket* socket_open(const char* host, int32_t port, int32_t timeout)
{
    socket* s = socket_create(port);
    if (s == nullptr)
        return nullptr;
    if (timeout >= 0)
        s->timeout = timeout;
    s->opt16 = 0;
    s->flags |= SOCK_IPV6 | SOCK_IPV4 | SOCK_NAGLE | SOCK_BUFFERED;
    if (socket_connect(s, host, port) != 0) {
        errno_saver keep;
        socket_destroy(&s);
        return nullptr;
    }
    return s;
}

socket* socket_dup(const socket* s)
{
    clear_errors();
    if (s == nullptr) {
        report("socket_dup", 8897, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    bool buffered = (s->flags & SOCK_BUFFERED) != 0;
    int32_t wanted = std::max(s->sndbuf, s->rcvbuf);
    // A record that never learnt its sizes still gets a usable buffer.
    uint32_t capacity = static_cast<uint32_t>(wanted > 0 ? wanted : default_tcp_buffer_size());
    uint64_t size = buffered ? DUP_BUFFER_OFFSET + buffer_block_size(capacity) : sizeof(socket);
    // The data area is written before it is read, so only the record, the buffer header, the
    // first data byte and the spare bytes behind the area are cleared: an accepted
    // connection does not pay for clearing a whole buffer it mostly never touches.
    void* block = size > UINT32_MAX || capacity > BUFFER_MAX_CAPACITY
                      ? nullptr
                      : mem_alloc_uncleared(static_cast<uint32_t>(size));
    if (block == nullptr) {
        report("socket_dup", 8923, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    std::memset(block, 0, buffered ? DUP_BUFFER_OFFSET + sizeof(buffer) : sizeof(socket));
    auto* copy = static_cast<socket*>(block);
    *copy = *s;
    copy->dup_size = static_cast<uint32_t>(size);
    copy->grown = nullptr;
    copy->tail = socket_tail{};
    copy->buffer = buffered
                       ? buffer_init_inline(static_cast<char*>(block) + DUP_BUFFER_OFFSET, capacity)
                       : nullptr;
    if (copy->buffer != nullptr) {
        copy->buffer->data[0] = '\0';
        std::memset(copy->buffer->data + capacity, 0, BUFFER_SPARE);
    }
    return copy;
}

void socket_interrupt_fd(int fd)
{
    if (fd >= 0) {
        errno_saver keep;
        ::shutdown(fd, SHUT_RDWR);
    }
}

void socket_interrupt(socket* s)
{
    if (s == nullptr)
        return;
    for (int fd : s->fd)
        socket_interrupt_fd(fd);
}

int socket_shutdown(socket* s)
{
    if (s == nullptr || s->ssl != 0 || !has_handle(s))
        return 0;
    errno_saver keep;
    s->timeout = 1;
    // A listener has no direction to shut and nothing to drain (Linux would accept the call
    // and leave the drain waiting for the next connection).
    bool listener = (s->flags & SOCK_LISTENING) && !(s->flags & SOCK_CONNECTED);
    int64_t deadline = monotonic_ms() + DRAIN_MS;
    int budget = DRAIN_TOTAL;
    for (int fd : s->fd) {
        if (fd == -1 || listener)
            continue;
        // With nothing unread, closing sends a plain end of stream after the output: there is
        // nothing to drain and no reason to wait for the peer's own close. Unread bytes would
        // make the close a reset that could destroy the output in flight, so those are drained.
        int unread = 0;
        if (::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0)
            continue;
        // A connection the peer already reset has nothing to drain either.
        if (::shutdown(fd, SHUT_WR) != 0)
            continue;
        char piece[DRAIN_PIECE];
        // The peer usually just closes: wait first. While pieces keep coming, read on
        // without waiting.
        bool pending = false;
        while (budget > 0) {
            int64_t left = deadline - monotonic_ms();
            if (left <= 0)
                break;
            pollfd p{fd, POLLIN, 0};
            if (!pending && socket_poll(&p, 1, POLLIN, static_cast<int>(left)) != 0)
                break;
            ssize_t n =
                ::recv(fd, piece, static_cast<size_t>(std::min(budget, DRAIN_PIECE)), MSG_DONTWAIT);
            pending = n > 0;
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n <= 0)
                break;
            debug("socket_shutdown", 9004, "shutting down connection, dropping %d bytes...\n",
                  static_cast<int>(n));
            budget -= static_cast<int>(n);
        }
    }
    return 0;
}

void socket_close(socket* s)
{
    if (s == nullptr || !has_handle(s))
        return;
    if (!(s->flags & SOCK_FAILED))
        socket_flush(s);
    socket_shutdown(s);
    close_handles(s);
}

void socket_destroy(socket** s)
{
    if (s == nullptr || *s == nullptr)
        return;
    socket* record = *s;
    socket_close(record);
    socket_drop_tail(record);
    if (record->dup_size == 0) {
        buffer_destroy(&record->buffer);
        htable_destroy(&record->table);
    } else if (record->grown != nullptr) {
        // Only the grown area is separate; the inline one goes with the block.
        mem_free(record->grown);
        record->grown = nullptr;
    }
    mem_free(record);
    *s = nullptr;
}

} // namespace quorvel
