#include "support/wire.h"

#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

namespace qtest {

SocketPair::SocketPair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
        mine = fds[0];
        peer = fds[1];
    }
}

void SocketPair::close_peer()
{
    if (peer != -1)
        ::close(peer);
    peer = -1;
}

quorvel::socket* connection(int fd, int32_t size, uint32_t flags)
{
    quorvel::socket proto{};
    proto.port = 80;
    proto.fd[0] = fd;
    proto.fd[1] = -1;
    proto.timeout = quorvel::SOCKET_DEFAULT_TIMEOUT;
    proto.sndbuf = size;
    proto.rcvbuf = size;
    proto.flags = flags | SOCK_CONNECTED;
    return quorvel::socket_dup(&proto);
}

std::string read_some(int fd, size_t want, int ms)
{
    std::string got;
    int64_t end = quorvel::monotonic_ms() + ms;
    std::string chunk(1 << 16, '\0');
    while (got.size() < want) {
        int64_t left = end - quorvel::monotonic_ms();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        ssize_t n = ::recv(fd, chunk.data(), std::min(chunk.size(), want - got.size()), 0);
        if (n <= 0)
            break;
        got.append(chunk.data(), static_cast<size_t>(n));
    }
    return got;
}

std::string read_to_end(int fd, int ms)
{
    return read_some(fd, SIZE_MAX, ms);
}

void send_all(int fd, const std::string& text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        off += static_cast<size_t>(n);
    }
}

std::string offset_bytes(size_t n)
{
    std::string text(n, '\0');
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return text;
}

void set_mtime(const std::string& path, std::time_t when)
{
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

} // namespace qtest
