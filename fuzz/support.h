// What the fuzz drivers share: a temporary directory for the run, files written into it, and
// connection records over socket pairs made as the waiting room makes them.
#pragma once

#include "net/socket.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace fuzz {

// A new directory $TMPDIR/quorvel-<driver>-XXXXXX (under /tmp without TMPDIR); the run ends
// when none can be made.
inline std::string make_temp_root(const char* driver)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr ? base : "/tmp") + "/quorvel-" + driver + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

// `text` as the whole content of `path`, its directories made as needed.
inline void write_file(const std::filesystem::path& path, std::string_view text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A record made as an accepted connection's is: a duplicate of a record holding `fd` (made
// non-blocking), with buffers of `size` bytes (0: the default) and the peer address `peer`.
inline quorvel::socket* connection(int fd, int32_t size, const char* peer)
{
    quorvel::socket proto{};
    proto.port = 80;
    proto.fd[0] = fd;
    proto.fd[1] = -1;
    proto.timeout = quorvel::SOCKET_DEFAULT_TIMEOUT;
    proto.sndbuf = size;
    proto.rcvbuf = size;
    proto.flags = SOCK_BUFFERED | SOCK_CONNECTED;
    quorvel::socket* c = quorvel::socket_dup(&proto);
    if (c == nullptr)
        return nullptr;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    c->fd[0] = fd;
    c->fd[1] = -1;
    c->io_nonblocking = 1;
    std::snprintf(c->peer, sizeof(c->peer), "%s", peer);
    return c;
}

} // namespace fuzz
