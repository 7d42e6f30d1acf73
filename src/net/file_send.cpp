// Sending whole files over connections. The kernel's file transmission (sendfile) runs in a
// non-blocking loop that waits for room with the socket's time-out before each call, so a
// peer that stops reading can never hold a handler longer than that; small files leave with
// the header in one send.
#include "net/file_stream.h"

#include "core/guard.h"
#include "core/report.h"
#include "foundation/buffer.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Bytes one sendfile call may move at most, whatever the buffer's capacity. On a
// non-blocking socket a call returns as soon as the socket's send queue is full, so a large
// count costs nothing when the peer is slow and saves calls (and waits) when it is fast.
constexpr uint64_t SENDFILE_CALL_MAX = 4u << 20;

// Files up to this size are read behind the pending header and leave with it in one send:
// copying a few kilobytes costs less than setting up a file transmission.
constexpr uint64_t INLINE_FILE_MAX = 16 * 1024;

// Files from this size on are announced to the kernel as read sequentially.
constexpr uint64_t SEQUENTIAL_HINT_MIN = 1u << 20;

// Sends pending output and drops unconsumed input, so the buffer is free for a transfer.
// `ahead` tells the system that a file follows at once, so a short header and the file's
// first bytes can leave together.
int settle_buffer(socket* s, bool ahead = false)
{
    buffer* b = s->buffer;
    if (b->write_pos == b->data)
        return 0;
    if ((ahead ? socket_flush_ahead(s) : socket_flush(s)) != 0)
        return -1;
    socket_discard(s);
    return 0;
}

// Set in threads that block SIGPIPE for their whole life (the connection handlers), which
// then need no blocking and unblocking around every transmission.
thread_local bool sigpipe_blocked_for_good = false;

// Empties and zeroes the transfer area, keeping errno and the last error of a failure.
void wipe(buffer* b)
{
    errno_saver keep;
    buffer_clr(b);
}

// Blocks SIGPIPE in the calling thread while it lives: sendfile has no MSG_NOSIGNAL, and a
// peer that has gone must not kill the host. A SIGPIPE the transfer raised is taken back
// before the thread's mask is restored; one that was pending already is left alone.
class sigpipe_guard {
public:
    sigpipe_guard()
    {
        if (sigpipe_blocked_for_good)
            return;
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        pending_before_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        active_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~sigpipe_guard()
    {
        if (!active_)
            return;
        errno_saver keep;
        sigset_t pending;
        if (!pending_before_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            timespec none{0, 0};
            while (::sigtimedwait(&pipe_, nullptr, &none) == -1 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    sigpipe_guard(const sigpipe_guard&) = delete;
    sigpipe_guard& operator=(const sigpipe_guard&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
    bool pending_before_ = false;
    bool active_ = false;
};

// Makes a handle non-blocking while it lives and restores its flags afterwards.
class nonblocking_guard {
public:
    nonblocking_guard(int fd, bool already) : fd_(fd)
    {
        if (already) {
            flags_ = O_NONBLOCK;
            return;
        }
        flags_ = ::fcntl(fd, F_GETFL);
        if (flags_ != -1 && !(flags_ & O_NONBLOCK))
            changed_ = ::fcntl(fd, F_SETFL, flags_ | O_NONBLOCK) == 0;
    }
    ~nonblocking_guard()
    {
        if (!changed_)
            return;
        errno_saver keep;
        ::fcntl(fd_, F_SETFL, flags_);
    }
    bool ok() const { return flags_ != -1 && (changed_ || (flags_ & O_NONBLOCK)); }
    nonblocking_guard(const nonblocking_guard&) = delete;
    nonblocking_guard& operator=(const nonblocking_guard&) = delete;

private:
    int fd_;
    int flags_ = -1;
    bool changed_ = false;
};

// Moves `*left` bytes of `file` from `*offset` on to the connection, both advanced as the
// bytes go: 1 when all have gone; 0 when the connection takes no more now and `wait` is false;
// -1 when a wait for room runs out (SOCK_TIMEDOUT), the file ends early (EIO) or the
// transmission fails.
int transmit(socket* s, int file, uint64_t* offset, uint64_t* left, bool wait)
{
    uint64_t per_call = std::max<uint64_t>(s->buffer->capacity, SENDFILE_CALL_MAX);
    nonblocking_guard nonblocking(s->fd[0], s->io_nonblocking != 0);
    if (!nonblocking.ok())
        return -1;
    sigpipe_guard no_sigpipe;
    // The first call is tried at once; later ones wait for room first when they may.
    int fd = s->fd[0];
    bool first = true;
    while (*left > 0) {
        if (!first && wait && (fd = socket_writable(s)) == -1) {
            if (!(s->flags & SOCK_FAILED)) {
                s->flags |= SOCK_TIMEDOUT;
                errno = ETIMEDOUT;
            }
            return -1;
        }
        first = false;
        auto position = static_cast<off_t>(*offset);
        ssize_t n = ::sendfile(fd, file, &position, std::min(per_call, *left));
        if (n > 0) {
            *offset += static_cast<uint64_t>(n);
            *left -= static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0) {
            // The file ended before the length the peer was promised.
            errno = EIO;
            return -1;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            bool full = errno != EINTR;
            errno = 0;
            if (full && !wait)
                return 0;
            continue;
        }
        return -1;
    }
    errno = 0;
    return 1;
}

// Reads the first `wanted` bytes of `file` into `to`: how many there were (fewer when the
// file is shorter), or -1 when a read failed.
ssize_t read_start(int file, char* to, size_t wanted)
{
    size_t got = 0;
    while (got < wanted) {
        ssize_t n = ::pread(file, to + got, wanted - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// True when a small file of `length` bytes fits behind the pending output, to leave with it.
bool fits_inline(const socket* s, uint64_t length)
{
    const buffer* b = s->buffer;
    return length <= INLINE_FILE_MAX &&
           length <= static_cast<uint64_t>(b->data + b->capacity - b->write_pos);
}

// Reads a small file behind the pending output in the buffer and sends both at once.
int send_inline(socket* s, int file, uint64_t length)
{
    buffer* b = s->buffer;
    auto wanted = static_cast<size_t>(length);
    ssize_t got = read_start(file, b->write_pos, wanted);
    if (got < 0)
        return -1;
    b->write_pos += got;
    if (static_cast<size_t>(got) < wanted) {
        // A file shorter than promised: what there is leaves, as a transmission would send
        // it, and the call fails.
        socket_flush(s);
        errno = EIO;
        return -1;
    }
    return socket_flush(s);
}

} // namespace

int socket_streamfile(socket* s, const char* path, uint64_t length)
{
    clear_errors();
    if (path == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    struct stat status {};
    fd_guard file(open_regular(path, &status));
    if (file.get() == -1)
        return -1;
    return socket_streamfd(s, file.get(),
                           length != 0 ? length : static_cast<uint64_t>(status.st_size));
}

int socket_streamfd(socket* s, int file, uint64_t length)
{
    if (s == nullptr || (s->flags & SOCK_FAILED) || !(s->flags & SOCK_CONNECTED) ||
        s->fd[0] == -1 || !socket_has_area(s)) {
        report("socket_streamfile", 11242, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (length > static_cast<uint64_t>(INT64_MAX)) {
        set_fault(fault::bad_arg);
        return -1;
    }
    if ((s->flags & SOCK_OUTPUT) != 0 && fits_inline(s, length))
        return send_inline(s, file, length);
    if (settle_buffer(s, length != 0) != 0)
        return -1;
    if (length == 0)
        return 0;
    // Read-ahead hints pay off only for files that take many calls.
    if (length >= SEQUENTIAL_HINT_MIN)
        ::posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t offset = 0;
    return transmit(s, file, &offset, &length, true) == 1 ? 0 : -1;
}

int socket_defer_file(socket* s, int file, uint64_t length)
{
    if (s == nullptr || !socket_has_area(s) || s->tail.kind != TAIL_NONE) {
        report("socket_streamfile", 11242, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (length == 0)
        return 0;
    buffer* b = s->buffer;
    if (!(s->flags & SOCK_OUTPUT)) {
        buffer_clr(b);
        s->flags |= SOCK_OUTPUT;
    }
    // A small file is read behind the output now, so both leave in one send.
    if (fits_inline(s, length)) {
        auto wanted = static_cast<size_t>(length);
        ssize_t got = read_start(file, b->write_pos, wanted);
        if (got >= 0 && static_cast<size_t>(got) == wanted) {
            b->write_pos += wanted;
            return 0;
        }
        // The peer was promised `length` bytes: a shorter file cannot be answered.
        std::memset(b->write_pos, 0, got > 0 ? static_cast<size_t>(got) : 0);
        if (got >= 0)
            errno = EIO;
        return -1;
    }
    int own = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
    if (own == -1)
        return -1;
    if (length >= SEQUENTIAL_HINT_MIN)
        ::posix_fadvise(own, 0, 0, POSIX_FADV_SEQUENTIAL);
    s->tail = socket_tail{TAIL_FILE, own, 0, length, nullptr, nullptr};
    return 0;
}

int socket_send_tail(socket* s, bool wait)
{
    socket_tail& tail = s->tail;
    int result = 1;
    if (tail.kind == TAIL_FILE) {
        result = transmit(s, tail.fd, &tail.offset, &tail.left, wait);
    } else if (tail.kind == TAIL_BYTES) {
        while (tail.left > 0) {
            auto chunk = static_cast<size_t>(std::min<uint64_t>(tail.left, 1u << 30));
            ssize_t n = ::send(s->fd[0], tail.bytes, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                tail.bytes += n;
                tail.left -= static_cast<uint64_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                errno = 0;
                if (!wait) {
                    result = 0;
                    break;
                }
                if (socket_writable(s) != -1)
                    continue;
                s->flags |= SOCK_TIMEDOUT;
            }
            result = -1;
            break;
        }
    }
    if (result == -1)
        s->flags |= SOCK_FAILED;
    if (result == 1) {
        errno_saver keep;
        socket_drop_tail(s);
    }
    return result;
}

void socket_block_sigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if (::pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0)
        sigpipe_blocked_for_good = true;
}

int socket_stream_file(socket* s, const char* path, uint64_t length)
{
    clear_errors();
    if (s == nullptr || (s->flags & SOCK_FAILED) || path == nullptr || !socket_has_area(s)) {
        report("socket_streamfile", 11351, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (settle_buffer(s) != 0)
        return -1;
    char safe[512];
    struct stat status {};
    fd_guard file(open_regular(path, &status));
    if (file.get() == -1) {
        report("socket_streamfile", 11372, fault::none, "could not access file %s\n",
               log_safe(path, safe, sizeof(safe)));
        errno = ENODEV;
        return -1;
    }
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t target = length != 0 ? length : static_cast<uint64_t>(status.st_size);
    buffer* b = s->buffer;
    uint64_t sent = 0;
    while (sent < target) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(b->capacity, target - sent));
        ssize_t n;
        do {
            n = ::read(file.get(), b->data, want);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            // A file shorter than promised would leave the peer waiting for the rest.
            if (n == 0)
                report_text("socket_stream_file", 11395, fault::none,
                            "i/o error encountered streaming, %s\n",
                            log_safe(path, safe, sizeof(safe)));
            if (n == 0)
                errno = EIO;
            wipe(b);
            return -1;
        }
        if (socket_unbufsnd(s, b->data, static_cast<uint32_t>(n)) < 0) {
            wipe(b);
            return -1;
        }
        sent += static_cast<uint64_t>(n);
    }
    buffer_clr(b);
    file.reset();
    errno = 0;
    return 0;
}

} // namespace quorvel
