// Moving bytes over connected sockets: readiness waits, sending and receiving with and
// without the record's buffer, and the input refill of the request reader. Every call first
// tries the system without waiting and waits only when it would block, so a request that
// has arrived costs one receive and a response that fits costs one send.
#include "net/socket_io.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "platform/os.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Consecutive out-of-memory send failures tolerated before a send gives up.
constexpr int SEND_NOMEM_RETRIES = 100;

uint32_t held(const buffer* b)
{
    return static_cast<uint32_t>(b->write_pos - b->data);
}

// Empties the buffer. Nothing writes behind the write position, so zeroing the bytes in use
// leaves the whole data area zeroed, as a full clear would, at a fraction of the cost.
void reset(buffer* b)
{
    if (b->data == nullptr)
        return;
    std::memset(b->data, 0, held(b));
    b->read_pos = b->data;
    b->write_pos = b->data;
}

bool buffered(const socket* s)
{
    return (s->flags & SOCK_BUFFERED) && s->buffer != nullptr;
}

int seconds_to_ms(int32_t seconds)
{
    if (seconds <= 0)
        return 0;
    return seconds >= INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

bool deadline_passed(const socket* s)
{
    return s->deadline_ms != 0 && monotonic_ms() >= s->deadline_ms;
}

// An input wait of `ms`, cut short by the record's deadline (`*cut` then tells so).
int input_wait_ms(const socket* s, int ms, bool* cut)
{
    *cut = false;
    if (s->deadline_ms == 0)
        return ms;
    int64_t left = s->deadline_ms - monotonic_ms();
    if (left >= ms)
        return ms;
    *cut = true;
    return left <= 0 ? 0 : static_cast<int>(left);
}

// The record's present handles, fd[0] first, stopping at the first absent one.
int gather(const socket* s, pollfd* fds, short events)
{
    int n = 0;
    for (int fd : s->fd) {
        if (fd == -1)
            break;
        if (n == 1 && fds[0].fd == fd)
            break;
        fds[n++] = pollfd{fd, events, 0};
    }
    return n;
}

bool input_usable(const socket* s)
{
    return s != nullptr && !(s->flags & SOCK_FAILED) &&
           (s->flags & (SOCK_LISTENING | SOCK_CONNECTED)) && s->fd[0] != -1;
}

// Waits for input on a usable record: the ready handle, or -1 (nothing in time, or the wait
// failed: reported, SOCK_FAILED). `*cut` tells whether the deadline shortened the wait.
int wait_input(socket* s, int ms, bool* cut)
{
    pollfd fds[2];
    int n = gather(s, fds, POLLIN);
    int ready = socket_poll(fds, n, POLLIN, input_wait_ms(s, ms, cut));
    if (ready == -2) {
        s->flags |= SOCK_FAILED;
        report("socket_readable", 8666, fault::none, "select failed\n");
        return -1;
    }
    return ready < 0 ? -1 : fds[ready].fd;
}

void timed_out(socket* s)
{
    report_text("socket_fillbuffer", 9865, fault::none, "connection timed out\n");
    s->flags |= SOCK_FAILED | SOCK_TIMEDOUT;
}

// Sends all of `data` on a validated connection, waiting up to `timeout` for room whenever
// the system takes nothing. `*sent` counts the bytes that left, also when the result is -1.
int send_all(socket* s, const char* data, uint32_t length, uint32_t* sent, int more = 0)
{
    s->flags &= ~SOCK_READY;
    s->flags |= SOCK_OUTPUT;
    *sent = 0;
    int fd = s->fd[0];
    bool wait = false;
    int nomem = 0;
    while (*sent < length) {
        if (wait) {
            fd = socket_writable(s);
            if (fd == -1) {
                s->flags |= SOCK_TIMEDOUT;
                return -1;
            }
        }
        ssize_t n = ::send(fd, data + *sent, length - *sent, MSG_NOSIGNAL | MSG_DONTWAIT | more);
        if (n > 0) {
            *sent += static_cast<uint32_t>(n);
            nomem = 0;
            // A partial send means the socket is full: wait before the next try.
            wait = *sent < length;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR) {
            errno = 0;
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (wait)
                debug("socket_unbufsnd", 5433, "warning: EAGAIN\n");
            errno = 0;
            wait = true;
            continue;
        }
        if (errno == ENOMEM && ++nomem <= SEND_NOMEM_RETRIES) {
            report("socket_unbufsnd", 5437, fault::none, "send error");
            errno = 0;
            wait = true;
            continue;
        }
        report("socket_unbufsnd", 5441, fault::none, "send error");
        return -1;
    }
    return static_cast<int>(*sent);
}

// The checks of an unbuffered send, then the send.
int send_checked(socket* s, const void* data, uint32_t length, uint32_t* sent, int more = 0)
{
    *sent = 0;
    if (s == nullptr || data == nullptr || length > INT32_MAX) {
        report("socket_unbufsnd", 5381, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (!(s->flags & SOCK_CONNECTED) || (s->flags & SOCK_FAILED) || s->fd[0] == -1) {
        report("socket_unbufsnd", 5392, fault::bad_handle,
               "provided socket not connected or invalid\n");
        return -1;
    }
    return send_all(s, static_cast<const char*>(data), length, sent, more);
}

// Receives exactly `length` bytes on a validated connection. -1 with SOCK_FAILED when the
// peer closed or the receive failed; -1 without it when no input came within a second
// (with SOCK_FAILED | SOCK_TIMEDOUT when the deadline cut the wait).
int receive_exact(socket* s, char* dest, uint32_t length)
{
    uint32_t got = 0;
    int fd = s->fd[0];
    while (got < length) {
        ssize_t n = ::recv(fd, dest + got, length - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            errno = 0;
            bool cut = false;
            fd = wait_input(s, SOCKET_READ_WAIT_MS, &cut);
            if (fd != -1)
                continue;
            if (cut && !(s->flags & SOCK_FAILED))
                s->flags |= SOCK_FAILED | SOCK_TIMEDOUT;
            return -1;
        }
        // 0: the peer closed before everything arrived.
        s->flags |= SOCK_FAILED;
        return -1;
    }
    return 0;
}

// Gives the buffer a new data area of `capacity` bytes holding the first `keep` bytes of the
// old one. The area comes from the allocator of the record: a thread heap for a duplicate
// made on a thread with one, else the general allocator, so that the area lives as long as
// the record wherever it goes.
int grow(socket* s, uint32_t capacity, uint32_t keep)
{
    buffer* b = s->buffer;
    char* area = nullptr;
    if (capacity <= BUFFER_MAX_CAPACITY)
        area = static_cast<char*>(heap_block_size(s) != 0 ? mem_zalloc(capacity + 1)
                                                          : general_alloc(size_t{capacity} + 1));
    if (area == nullptr) {
        report("buffer_resize", 4867, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    std::memcpy(area, b->data, keep);
    // An inline area goes with its block; only a separate one is released here.
    if (b->block_size == 0)
        mem_free(b->data);
    b->block_size = 0;
    b->capacity = capacity;
    b->data = area;
    b->read_pos = area;
    b->write_pos = area + keep;
    if (s->dup_size != 0)
        s->grown = area;
    return 0;
}

} // namespace

int socket_poll(pollfd* fds, int count, short events, int timeout_ms)
{
    int64_t end = timeout_ms > 0 ? monotonic_ms() + timeout_ms : 0;
    for (;;) {
        int rc = ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
        if (rc > 0) {
            for (int i = 0; i < count; ++i) {
                if (fds[i].revents & POLLNVAL) {
                    errno = EBADF;
                    return -2;
                }
                if (fds[i].revents & (events | POLLERR | POLLHUP))
                    return i;
            }
            return -1;
        }
        if (rc == 0)
            return -1;
        if (errno != EINTR)
            return -2;
        errno = 0;
        if (timeout_ms > 0) {
            int64_t left = end - monotonic_ms();
            if (left <= 0)
                return -1;
            timeout_ms = static_cast<int>(left);
        }
    }
}

int socket_writable(socket* s)
{
    if (s == nullptr || (s->flags & SOCK_FAILED) || s->fd[0] == -1) {
        report("socket_writable", 8811, fault::none, "null or invalid argument\n");
        return -1;
    }
    pollfd fds[2];
    int n = gather(s, fds, POLLOUT);
    int ready = socket_poll(fds, n, POLLOUT, seconds_to_ms(s->timeout));
    if (ready == -2) {
        s->flags |= SOCK_FAILED;
        report("socket_writable", 8846, fault::none, "select failed\n");
        return -1;
    }
    return ready < 0 ? -1 : fds[ready].fd;
}

int socket_unbufsnd(socket* s, const void* data, uint32_t length)
{
    clear_errors();
    uint32_t sent = 0;
    if (s != nullptr && data != nullptr && buffered(s) && (s->flags & SOCK_CONNECTED) &&
        !(s->flags & SOCK_FAILED)) {
        // The buffer is about to be marked as outgoing: what it holds must either leave
        // first (pending output keeps its order) or go (unconsumed input is no output).
        if (s->flags & SOCK_OUTPUT) {
            if (socket_flush(s) != 0)
                return -1;
        } else {
            reset(s->buffer);
        }
        clear_errors();
    }
    return send_checked(s, data, length, &sent);
}

namespace {

// Drops the first `sent` of the `pending` buffered output bytes, which have left: what left
// must never be sent again.
void consume_output(buffer* b, uint32_t pending, uint32_t sent)
{
    if (sent == 0)
        return;
    std::memmove(b->data, b->data + sent, pending - sent);
    std::memset(b->data + (pending - sent), 0, sent);
    b->write_pos -= sent;
    b->read_pos = b->data;
}

// The flush, with `more` (0 or MSG_MORE) passed to the system with the bytes. The tail
// follows the buffered bytes and leaves the connection in its output direction until it has
// gone too.
int flush(socket* s, int more)
{
    if (s == nullptr || (s->flags & SOCK_FAILED))
        return -1;
    if (!buffered(s) || !(s->flags & SOCK_OUTPUT))
        return 0;
    clear_errors();
    buffer* b = s->buffer;
    bool tail = s->tail.kind != TAIL_NONE;
    uint32_t pending = b->data != nullptr ? held(b) : 0;
    uint32_t sent = 0;
    if (send_checked(s, b->data != nullptr ? b->data : "", pending, &sent, tail ? MSG_MORE : more) <
        0) {
        consume_output(b, pending, sent);
        return -1;
    }
    reset(b);
    if (tail && socket_send_tail(s, true) != 1)
        return -1;
    s->flags &= ~SOCK_OUTPUT;
    return 0;
}

} // namespace

int socket_flush(socket* s)
{
    return flush(s, 0);
}

int socket_flush_ahead(socket* s)
{
    return flush(s, MSG_MORE);
}

void socket_discard(socket* s)
{
    if (s == nullptr)
        return;
    socket_drop_tail(s);
    if (!buffered(s))
        return;
    reset(s->buffer);
    s->flags &= ~SOCK_OUTPUT;
}

void socket_drop_tail(socket* s)
{
    socket_tail& tail = s->tail;
    if (tail.kind == TAIL_FILE)
        ::close(tail.fd);
    mem_free(tail.owned);
    tail = socket_tail{};
}

int socket_defer_bytes(socket* s, const char* bytes, size_t length, bool copy)
{
    if (length == 0)
        return 0;
    if (s == nullptr || bytes == nullptr || !socket_has_area(s) || s->tail.kind != TAIL_NONE) {
        report("socket_snd", 5506, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    buffer* b = s->buffer;
    if (!(s->flags & SOCK_OUTPUT)) {
        reset(b);
        s->flags |= SOCK_OUTPUT;
    }
    if (length <= b->capacity - held(b)) {
        std::memcpy(b->write_pos, bytes, length);
        b->write_pos += length;
        return 0;
    }
    char* owned = nullptr;
    if (copy) {
        owned = static_cast<char*>(general_alloc(length));
        if (owned == nullptr) {
            report("socket_snd", 5506, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return -1;
        }
        std::memcpy(owned, bytes, length);
    }
    s->tail = socket_tail{TAIL_BYTES, -1, 0, length, owned != nullptr ? owned : bytes, owned};
    return 0;
}

uint64_t socket_pending(const socket* s)
{
    uint64_t pending = s->tail.left;
    if (buffered(s) && (s->flags & SOCK_OUTPUT) && s->buffer->data != nullptr)
        pending += held(s->buffer);
    return pending;
}

int socket_push(socket* s)
{
    if (s == nullptr || (s->flags & SOCK_FAILED) || !(s->flags & SOCK_CONNECTED) || s->fd[0] == -1)
        return -1;
    buffer* b = s->buffer;
    if (buffered(s) && (s->flags & SOCK_OUTPUT) && b->data != nullptr && held(b) > 0) {
        uint32_t pending = held(b);
        uint32_t sent = 0;
        int more = s->tail.kind != TAIL_NONE ? MSG_MORE : 0;
        while (sent < pending) {
            ssize_t n = ::send(s->fd[0], b->data + sent, pending - sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT | more);
            if (n > 0) {
                sent += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            s->flags |= SOCK_FAILED;
            return -1;
        }
        errno = 0;
        consume_output(b, pending, sent);
        if (sent < pending)
            return 0;
    }
    if (s->tail.kind != TAIL_NONE) {
        int sent = socket_send_tail(s, false);
        if (sent != 1)
            return sent;
    }
    s->flags &= ~SOCK_OUTPUT;
    return 1;
}

int socket_snd(socket* s, const void* data, uint32_t length)
{
    if (length == 0)
        return 0;
    clear_errors();
    if (s == nullptr || (s->flags & SOCK_FAILED) || !(s->flags & SOCK_CONNECTED) ||
        data == nullptr || length > INT32_MAX) {
        report("socket_snd", 5496, fault::bad_arg, "provided socket not connected or invalid\n");
        return -1;
    }
    if ((s->flags & SOCK_BUFFERED) && s->buffer == nullptr) {
        report("socket_snd", 5506, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    // Output queued behind the buffer leaves before anything written after it.
    if (s->tail.kind != TAIL_NONE && socket_flush(s) != 0)
        return -1;
    if (!buffered(s))
        return socket_unbufsnd(s, data, length);
    buffer* b = s->buffer;
    if (b->data == nullptr || b->capacity == 0) {
        report("socket_snd", 5506, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (!(s->flags & SOCK_OUTPUT)) {
        reset(b);
        s->flags |= SOCK_OUTPUT;
    }
    const char* p = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < length) {
        uint32_t left = length - done;
        if (held(b) == 0 && left >= b->capacity) {
            // Whole buffers' worth leave straight from the caller's bytes, saving the copy;
            // the tail is buffered as usual.
            uint32_t direct = left - left % b->capacity;
            uint32_t sent = 0;
            if (send_checked(s, p + done, direct, &sent) < 0)
                return -1;
            done += direct;
            continue;
        }
        uint32_t took = std::min(left, b->capacity - held(b));
        std::memcpy(b->write_pos, p + done, took);
        b->write_pos += took;
        done += took;
        if (done < length) {
            if (socket_flush(s) != 0)
                return -1;
            s->flags |= SOCK_OUTPUT;
        }
    }
    errno = 0;
    return static_cast<int>(done);
}

int socket_unbufrcv(socket* s, void* destination, uint32_t length)
{
    clear_errors();
    if (destination != nullptr)
        std::memset(destination, 0, length);
    if (socket_flush(s) != 0)
        return -1;
    if (s->fd[0] == -1 || !(s->flags & SOCK_CONNECTED) || (s->flags & SOCK_FAILED) ||
        destination == nullptr || length > INT32_MAX) {
        report("socket_unbufrcv", 9579, fault::bad_handle,
               "provided socket not connected or invalid\n");
        return -1;
    }
    s->flags |= SOCK_READY;
    if (receive_exact(s, static_cast<char*>(destination), length) != 0)
        return -1;
    return static_cast<int>(length);
}

int socket_preload(socket* s, const char* bytes, uint32_t length)
{
    if (s == nullptr || !socket_has_area(s) || (bytes == nullptr && length != 0)) {
        report("socket_fillbuffer", 9818, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    buffer* b = s->buffer;
    reset(b);
    s->flags &= ~SOCK_OUTPUT;
    if (length > b->capacity && grow(s, length, 0) != 0)
        return -1;
    std::memcpy(b->data, bytes, length);
    b->write_pos = b->data + length;
    s->flags |= SOCK_READY;
    return 0;
}

bool socket_has_area(const socket* s)
{
    return (s->flags & SOCK_BUFFERED) && s->buffer != nullptr && s->buffer->data != nullptr &&
           s->buffer->capacity != 0;
}

int socket_fillbuffer(socket* s)
{
    clear_errors();
    if (s == nullptr || s->buffer == nullptr || s->buffer->data == nullptr ||
        !(s->flags & SOCK_BUFFERED)) {
        report("socket_fillbuffer", 9818, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    // Clearing the buffer would drop output not yet sent.
    if ((s->flags & SOCK_OUTPUT) && input_usable(s) && socket_flush(s) != 0)
        return -1;
    buffer* b = s->buffer;
    s->flags |= SOCK_READY;
    reset(b);
    if (!input_usable(s)) {
        report("socket_readable", 8627, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (deadline_passed(s)) {
        timed_out(s);
        return -1;
    }
    if (s->timeout <= 0) {
        // Without a time-out there is no time to take input in; an idle peer still only
        // ends the wait.
        bool cut = false;
        if (wait_input(s, SOCKET_READ_WAIT_MS, &cut) == -1) {
            if (cut && !(s->flags & SOCK_FAILED))
                timed_out(s);
            return -1;
        }
        timed_out(s);
        return -1;
    }

    int fd = s->fd[0];
    int64_t give_up = monotonic_ms() + int64_t{s->timeout} * 1000;
    ssize_t n;
    for (;;) {
        n = ::recv(fd, b->data, b->capacity, MSG_DONTWAIT);
        if (n > 0)
            break;
        if (n == 0) {
            // The peer closed before sending anything more.
            s->flags |= SOCK_FAILED;
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            s->flags |= SOCK_FAILED;
            return -1;
        }
        errno = 0;
        if (monotonic_ms() >= give_up) {
            timed_out(s);
            return -1;
        }
        bool cut = false;
        fd = wait_input(s, SOCKET_READ_WAIT_MS, &cut);
        if (fd == -1) {
            // An idle connection is given up after a second; the deadline fails it.
            if (cut && !(s->flags & SOCK_FAILED))
                timed_out(s);
            return -1;
        }
    }
    uint32_t got = static_cast<uint32_t>(n);
    if (got == b->capacity) {
        // A full buffer may have left bytes behind: take everything pending in this refill.
        int more = 0;
        if (::ioctl(fd, FIONREAD, &more) != 0) {
            s->flags |= SOCK_FAILED;
            return -1;
        }
        if (more > 0) {
            uint64_t total = uint64_t{got} + static_cast<uint32_t>(more);
            if (total > BUFFER_MAX_CAPACITY) {
                report("buffer_resize", 4867, fault::no_memory,
                       "insufficient memory to perform operation\n");
                return -1;
            }
            if (grow(s, static_cast<uint32_t>(total), got) != 0)
                return -1;
            if (receive_exact(s, b->data + got, static_cast<uint32_t>(more)) != 0) {
                std::memset(b->data, 0, static_cast<size_t>(total));
                b->write_pos = b->data;
                return -1;
            }
            got = static_cast<uint32_t>(total);
        }
    }
    b->write_pos = b->data + got;
    return static_cast<int>(got);
}

int socket_rcv(socket* s, void* destination, uint32_t length)
{
    clear_errors();
    if (s == nullptr || !(s->flags & SOCK_CONNECTED) || destination == nullptr || length == 0 ||
        length > INT32_MAX) {
        report("socket_rcv", 9923, fault::bad_arg, "provided socket not connected or invalid\n");
        return -1;
    }
    if ((s->flags & SOCK_BUFFERED) && s->buffer == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    if (socket_flush(s) != 0)
        return -1;
    s->flags |= SOCK_READY;
    if (!buffered(s))
        return socket_unbufrcv(s, destination, length);
    buffer* b = s->buffer;
    char* out = static_cast<char*>(destination);
    uint32_t done = 0;
    bool refilled = true;
    do {
        if (b->data != nullptr && b->read_pos < b->write_pos) {
            uint32_t n = std::min(length - done, static_cast<uint32_t>(b->write_pos - b->read_pos));
            std::memcpy(out + done, b->read_pos, n);
            b->read_pos += n;
            done += n;
        }
        if (done < length)
            refilled = socket_fillbuffer(s) > 0;
    } while (done < length && refilled && errno == 0);
    if (done > 0)
        return static_cast<int>(done);
    return errno != 0 ? -1 : 0;
}

} // namespace quorvel
