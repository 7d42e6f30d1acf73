// Regular files opened without blocking. O_NONBLOCK changes nothing for a regular file once it
// is open, so the descriptor keeps it.
#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quorvel {

int open_regular(const char* path, struct stat* status)
{
    struct stat seen {};
    if (status != nullptr)
        *status = seen;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &seen) != 0 || !S_ISREG(seen.st_mode)) {
        int error = seen.st_mode == 0 ? errno : (S_ISDIR(seen.st_mode) ? EISDIR : EINVAL);
        ::close(fd);
        errno = error;
        if (status != nullptr)
            *status = seen;
        return -1;
    }
    if (status != nullptr)
        *status = seen;
    return fd;
}

std::FILE* open_regular_stream(const char* path, struct stat* status)
{
    int fd = open_regular(path, status);
    if (fd < 0)
        return nullptr;
    std::FILE* f = ::fdopen(fd, "r");
    if (f == nullptr) {
        int error = errno;
        ::close(fd);
        errno = error;
    }
    return f;
}

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

} // namespace quorvel
