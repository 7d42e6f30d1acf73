#include "core/envelope.h"
#include "quorvel.h"

#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A raw listener on 127.0.0.1, standing in for a server.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (fd == -1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~Listener()
    {
        if (fd != -1)
            ::close(fd);
    }
    // The next connection within `ms`, with a receive time-out; -1 when none came.
    int accept_within(int ms) const
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return -1;
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        timeval tv{10, 0};
        if (c != -1)
            ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        return c;
    }
};

// Everything the peer sends until it closes (bounded by the receive time-out).
std::string read_to_end(int fd)
{
    std::string got;
    char chunk[4096];
    for (int i = 0; i < 10000; ++i) {
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

} // namespace

TEST(Stream, NeedsInit)
{
    qtest::ErrorLog log;
    Listener listener;
    ASSERT_GT(listener.port, 0);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", "p", listener.port, 5), nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create, 16298): core not initialized, call quorvel_init\n", EINVAL,
        160);
    EXPECT_EQ(listener.accept_within(0), -1);
}

TEST(Stream, RefusesMissingTextsAndLongNamesBeforeConnecting)
{
    qtest::ErrorLog log;
    quorvel_init();
    Listener listener;
    ASSERT_GT(listener.port, 0);
    const char* none = nullptr;
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, none, "p", listener.port, 5), nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create::quorvel_obj_stream, 16205): null argument passed\n",
        EINVAL, 160);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", none, listener.port, 5), nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create::quorvel_obj_stream, 16205): null argument passed\n",
        EINVAL, 160);
    std::string name(78, 'n');
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", name.c_str(), listener.port, 5),
              nullptr);
    qtest::expect_report(
        log, "error (quorvel_obj_create::quorvel_obj_stream, 16208): protocol name too long\n",
        EINVAL, 160);
    EXPECT_EQ(listener.accept_within(0), -1);
}

TEST(Stream, AnnouncesTheLongestNameAndSendsItAtDestruction)
{
    qtest::ErrorLog log;
    quorvel_init();
    quorvel_debug(1);
    Listener listener;
    ASSERT_GT(listener.port, 0);
    std::string name(77, 'n');
    envelope* stream =
        quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", name.c_str(), listener.port, -1);
    quorvel_debug(0);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->type, static_cast<uint32_t>(quorvel_obj_stream));
    auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "(quorvel_obj_create::quorvel_obj_stream, 16212): connecting to 127.0.0.1 "
                        "on port " +
                            std::to_string(listener.port) + "\n");
    int peer = listener.accept_within(10000);
    ASSERT_NE(peer, -1);
    // The reader closes at the end of the bytes, so the close does not wait for it.
    std::string got;
    std::thread reader([&] {
        got = read_to_end(peer);
        ::close(peer);
    });
    EXPECT_EQ(quorvel_obj_destroy(stream), 0);
    reader.join();
    EXPECT_EQ(got, "&" + name + ";");
}

TEST(Stream, FailsWhenNothingListens)
{
    quorvel_init();
    int port = qtest::free_port();
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", "p", port, 1), nullptr);
    EXPECT_NE(errno, 0);
}
