// Receiving a file of known length from a connection: straight into a shared mapping of the new
// file, or through the socket's buffer for large files. A file that is not received whole is
// deleted.
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
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

// Empties and zeroes the transfer area, keeping errno and the last error of a failure.
void wipe(buffer* b)
{
    errno_saver keep;
    buffer_clr(b);
}

// Closes and deletes a file that was not received whole.
void discard_file(int fd, const char* path)
{
    errno_saver keep;
    ::close(fd);
    ::unlink(path);
}

// Creates or truncates the file a receive writes, opened with `access` (O_RDWR or O_WRONLY).
// -1 for anything but a regular file, which is neither this call's to fill nor to delete.
int open_target(const char* path, int access)
{
    fd_guard fd(::open(path, access | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
    if (fd.get() == -1)
        return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (errno == 0)
            errno = EINVAL;
        return -1;
    }
    return fd.release();
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
    {
        errno_saver keep;
        ::munmap(map, length);
    }
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

} // namespace

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
    if (large && !socket_has_area(s)) {
        report("socket_receivefile", 11093, fault::bad_arg,
               "provided socket not connected or invalid\n");
        return -1;
    }
    // Input already pulled into the buffer belongs to the file first.
    const char* waiting = "";
    uint64_t take = 0;
    if (socket_has_area(s) && !(s->flags & SOCK_OUTPUT) &&
        s->buffer->read_pos < s->buffer->write_pos) {
        waiting = s->buffer->read_pos;
        take = std::min<uint64_t>(static_cast<uint64_t>(s->buffer->write_pos - waiting), length);
        // Consumed now; the bytes stay in place until the file has them.
        s->buffer->read_pos += take;
    }
    return large ? receive_chunked(s, path, length, waiting, take)
                 : receive_mapped(s, path, length, waiting, take);
}

} // namespace quorvel
