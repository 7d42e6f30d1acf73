// Whole files over connections. Sending hands the file to the kernel (sendfile) in a
// non-blocking loop that waits for room with the socket's time-out before each call, so a
// peer that stops reading can never hold a handler longer than that; receiving writes
// straight into a mapping of the new file, or through the socket's buffer for large files.
#include "net/file_stream.h"

#include "core/report.h"
#include "foundation/buffer.h"
#include "net/socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
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

// Room for one numeric character reference "&#255;".
constexpr int REFERENCE_SIZE = 8;

bool has_area(const socket* s)
{
    return (s->flags & SOCK_BUFFERED) && s->buffer != nullptr && s->buffer->data != nullptr &&
           s->buffer->capacity != 0;
}

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
    int saved = errno;
    uint32_t last = last_error();
    buffer_clr(b);
    errno = saved;
    set_last_error(last);
}

// Closes a descriptor keeping errno, so a failure's cause survives the clean-up.
void close_keep_errno(int fd)
{
    int saved = errno;
    ::close(fd);
    errno = saved;
}

// Closes and deletes a file that was not received whole.
void discard_file(int fd, const char* path)
{
    int saved = errno;
    ::close(fd);
    ::unlink(path);
    errno = saved;
}

// Opens an existing regular file for reading without blocking on a FIFO or device that
// stands at the path. -1 (errno set) otherwise; `*size` receives the file's size.
int open_regular(const char* path, uint64_t* size)
{
    // O_NONBLOCK has no effect on a regular file, so it can stay.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (errno == 0)
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close_keep_errno(fd);
        return -1;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return fd;
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
        int saved = errno;
        sigset_t pending;
        if (!pending_before_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            timespec none{0, 0};
            while (::sigtimedwait(&pipe_, nullptr, &none) == -1 && errno == EINTR) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
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
        int saved = errno;
        ::fcntl(fd_, F_SETFL, flags_);
        errno = saved;
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

// Writes all of `data` to `fd`: 0, or -1 with errno set.
int write_all(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        return -1;
    }
    return 0;
}

// Creates or truncates the file a receive writes, opened with `access` (O_RDWR or O_WRONLY).
// -1 for anything but a regular file, which is neither this call's to fill nor to delete.
int open_target(const char* path, int access)
{
    int fd = ::open(path, access | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd == -1)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (errno == 0)
            errno = EINVAL;
        close_keep_errno(fd);
        return -1;
    }
    return fd;
}

// Receives into a shared mapping of the new file. Blocks are reserved before the mapping is
// written, so a full file system fails the call instead of killing the process (SIGBUS).
int receive_mapped(socket* s, const char* path, uint64_t length, const char* waiting, uint64_t take)
{
    int fd = open_target(path, O_RDWR);
    if (fd == -1)
        return -1;
    auto size = static_cast<off_t>(length);
    int rc = ::ftruncate(fd, size) == 0 ? ::posix_fallocate(fd, 0, size) : errno;
    if (rc != 0) {
        errno = rc;
        discard_file(fd, path);
        return -1;
    }
    void* map = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        discard_file(fd, path);
        return -1;
    }
    auto* area = static_cast<char*>(map);
    std::memcpy(area, waiting, take);
    int received = 0;
    if (take < length)
        received = socket_unbufrcv(s, area + take, static_cast<uint32_t>(length - take));
    int saved = errno;
    ::munmap(map, length);
    errno = saved;
    if (received < 0) {
        discard_file(fd, path);
        return -1;
    }
    if (::close(fd) != 0) {
        ::unlink(path);
        return -1;
    }
    return 0;
}

// Receives through the socket's buffer, one capacity at a time.
int receive_chunked(socket* s, const char* path, uint64_t length, const char* waiting,
                    uint64_t take)
{
    int fd = open_target(path, O_WRONLY);
    if (fd == -1)
        return -1;
    if (write_all(fd, waiting, take) != 0) {
        discard_file(fd, path);
        return -1;
    }
    uint64_t remaining = length - take;
    if (remaining == 0) {
        // Bytes behind the file may still wait in the buffer: they are the peer's next message.
        if (::close(fd) != 0) {
            ::unlink(path);
            return -1;
        }
        return 0;
    }
    buffer* b = s->buffer;
    buffer_clr(b);
    while (remaining > 0) {
        auto chunk = static_cast<uint32_t>(std::min<uint64_t>(b->capacity, remaining));
        if (socket_unbufrcv(s, b->data, chunk) < 0 || write_all(fd, b->data, chunk) != 0) {
            wipe(b);
            discard_file(fd, path);
            return -1;
        }
        remaining -= chunk;
    }
    // The area held file bytes behind the buffer's positions: zero it again.
    buffer_clr(b);
    if (::close(fd) != 0) {
        ::unlink(path);
        return -1;
    }
    return 0;
}

bool kept_as_is(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != 0 && std::strchr("/*+-# \\\t", c) != nullptr;
}

// Encodes one piece of a text line and sends it with its line end.
int send_encoded(socket* s, const char* piece, uint32_t count)
{
    char out[UUENCODE_AREA];
    size_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        auto c = static_cast<unsigned char>(piece[i]);
        if (c == 0 || c == '\n' || c == '\r')
            break;
        char reference[REFERENCE_SIZE];
        int n = 1;
        if (kept_as_is(c))
            reference[0] = static_cast<char>(c);
        else
            n = std::snprintf(reference, sizeof(reference), "&#%d;", c);
        // The line end and the terminator must still fit behind it.
        if (used + static_cast<size_t>(n) + 3 > sizeof(out)) {
            report("quorvel_file_uuencode", 5605, fault::no_space, "internal buffer too small\n");
            return -1;
        }
        std::memcpy(out + used, reference, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
    }
    out[used++] = '\r';
    out[used++] = '\n';
    out[used] = '\0';
    return socket_snd(s, out, static_cast<uint32_t>(used)) < 0 ? -1 : 0;
}

// Reads a file byte by byte through a block of its own.
class byte_reader {
public:
    explicit byte_reader(int fd) : fd_(fd) {}
    // The next byte, or -1 at the end of the file or on a failed read (failed() tells).
    int next()
    {
        if (pos_ == end_ && !refill())
            return -1;
        return static_cast<unsigned char>(block_[pos_++]);
    }
    bool failed() const { return failed_; }

private:
    bool refill()
    {
        ssize_t n;
        do {
            n = ::read(fd_, block_, sizeof(block_));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            failed_ = n < 0;
            return false;
        }
        pos_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }
    int fd_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool failed_ = false;
    char block_[8192];
};

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
    uint64_t size = 0;
    int file = open_regular(path, &size);
    if (file == -1)
        return -1;
    int rc = socket_streamfd(s, file, length != 0 ? length : size);
    close_keep_errno(file);
    return rc;
}

int socket_streamfd(socket* s, int file, uint64_t length)
{
    if (s == nullptr || (s->flags & SOCK_FAILED) || !(s->flags & SOCK_CONNECTED) ||
        s->fd[0] == -1 || !has_area(s)) {
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
    if (s == nullptr || (s->flags & SOCK_FAILED) || path == nullptr || !has_area(s)) {
        report("socket_streamfile", 11351, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    if (settle_buffer(s) != 0)
        return -1;
    char safe[512];
    uint64_t size = 0;
    int file = open_regular(path, &size);
    if (file == -1) {
        report("socket_streamfile", 11372, fault::none, "could not access file %s\n",
               log_safe(path, safe, sizeof(safe)));
        errno = ENODEV;
        return -1;
    }
    ::posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);
    uint64_t target = length != 0 ? length : size;
    buffer* b = s->buffer;
    uint64_t sent = 0;
    while (sent < target) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(b->capacity, target - sent));
        ssize_t n;
        do {
            n = ::read(file, b->data, want);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            // A file shorter than promised would leave the peer waiting for the rest.
            if (n == 0)
                errno = 0;
            report("socket_stream_file", 11395, fault::none,
                   "i/o error encountered streaming, %s\n", log_safe(path, safe, sizeof(safe)));
            if (n == 0)
                errno = EIO;
            close_keep_errno(file);
            wipe(b);
            return -1;
        }
        if (socket_unbufsnd(s, b->data, static_cast<uint32_t>(n)) < 0) {
            close_keep_errno(file);
            wipe(b);
            return -1;
        }
        sent += static_cast<uint64_t>(n);
    }
    buffer_clr(b);
    ::close(file);
    errno = 0;
    return 0;
}

int socket_receivefile(socket* s, const char* path, uint64_t length)
{
    clear_errors();
    if (s == nullptr || !(s->flags & SOCK_CONNECTED) || path == nullptr || length == 0 ||
        s->ssl != 0 || length > static_cast<uint64_t>(INT64_MAX)) {
        report("socket_receivefile", 11093, fault::bad_arg,
               "provided socket not connected or invalid\n");
        return -1;
    }
    if (socket_flush(s) != 0)
        return -1;
    s->flags |= SOCK_READY;
    bool large = length >= RECEIVE_MAP_LIMIT;
    if (large && !has_area(s)) {
        report("socket_receivefile", 11093, fault::bad_arg,
               "provided socket not connected or invalid\n");
        return -1;
    }
    // Input already pulled into the buffer belongs to the file first.
    const char* waiting = "";
    uint64_t take = 0;
    if (has_area(s) && !(s->flags & SOCK_OUTPUT) && s->buffer->read_pos < s->buffer->write_pos) {
        waiting = s->buffer->read_pos;
        take = std::min<uint64_t>(static_cast<uint64_t>(s->buffer->write_pos - waiting), length);
        // Consumed now; the bytes stay in place until the file has them.
        s->buffer->read_pos += take;
    }
    return large ? receive_chunked(s, path, length, waiting, take)
                 : receive_mapped(s, path, length, waiting, take);
}

int quorvel_file_uuencode(socket* s, const char* path)
{
    if (s == nullptr || path == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    uint64_t size = 0;
    int file = open_regular(path, &size);
    if (file == -1)
        return -1;
    byte_reader reader(file);
    char piece[UUENCODE_LINE];
    uint32_t count = 0;
    // A piece that continues a line already sent in part; its line end alone is no line.
    bool continued = false;
    int rc = 0;
    for (;;) {
        int c = reader.next();
        if (c < 0)
            break;
        if (c == '\n') {
            if (!(continued && count == 1 && piece[0] == '\r'))
                rc = send_encoded(s, piece, count);
            count = 0;
            continued = false;
        } else {
            if (count == UUENCODE_LINE) {
                rc = send_encoded(s, piece, count);
                count = 0;
                continued = true;
            }
            piece[count++] = static_cast<char>(c);
        }
        if (rc != 0)
            break;
    }
    if (rc == 0 && reader.failed())
        rc = -1;
    if (rc == 0 && count > 0 && !(continued && count == 1 && piece[0] == '\r'))
        rc = send_encoded(s, piece, count);
    close_keep_errno(file);
    return rc;
}

} // namespace quorvel
