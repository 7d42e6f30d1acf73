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
#include <fcntl.h>
#include <signal.h>
#include <sys/sendfile.h>
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

// Moves `length` bytes of `file` to the connection, waiting for room before each call.
int transmit(socket* s, int file, uint64_t length)
{
    uint64_t per_call = std::max<uint64_t>(s->buffer->capacity, SENDFILE_CALL_MAX);
    nonblocking_guard nonblocking(s->fd[0], s->io_nonblocking != 0);
    if (!nonblocking.ok())
        return -1;
    sigpipe_guard no_sigpipe;
    off_t offset = 0;
    uint64_t sent = 0;
    // The first call is tried at once; the wait for room comes after a call found none.
    int fd = s->fd[0];
    bool wait = false;
    while (sent < length) {
        if (wait && (fd = socket_writable(s)) == -1) {
            if (!(s->flags & SOCK_FAILED)) {
                s->flags |= SOCK_TIMEDOUT;
                errno = ETIMEDOUT;
            }
            return -1;
        }
        wait = true;
        ssize_t n = ::sendfile(fd, file, &offset, std::min(per_call, length - sent));
        if (n > 0) {
            sent += static_cast<uint64_t>(n);
            continue;
        }
        if (n == 0) {
            // The file ended before the length the peer was promised.
            errno = EIO;
            return -1;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            errno = 0;
            continue;
        }
        return -1;
    }
    errno = 0;
    return 0;
}

// Reads a small file behind the pending output in the buffer and sends both at once: 0 or
// -1 when it did, 1 when the file does not fit behind the output and must be transmitted.
int send_inline(socket* s, int file, uint64_t length)
{
    buffer* b = s->buffer;
    if (length > static_cast<uint64_t>(b->data + b->capacity - b->write_pos))
        return 1;
    auto wanted = static_cast<size_t>(length);
    size_t got = 0;
    while (got < wanted) {
        ssize_t n = ::pread(file, b->write_pos + got, wanted - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            // A file shorter than promised: what there is leaves, as a transmission would
            // send it, and the call fails.
            b->write_pos += got;
            socket_flush(s);
            errno = EIO;
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    b->write_pos += wanted;
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
    if (length <= INLINE_FILE_MAX && (s->flags & SOCK_OUTPUT) != 0) {
        int sent = send_inline(s, file, length);
        if (sent != 1)
            return sent;
    }
    if (settle_buffer(s, length != 0) != 0)
        return -1;
    if (length == 0)
        return 0;
    // Read-ahead hints pay off only for files that take many calls.
    if (length >= SEQUENTIAL_HINT_MIN)
        ::posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);
    return transmit(s, file, length);
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
