#include "net/socket.h"

#include "core/report.h"
#include "net/accept.h"
#include "platform/os.h"
#include "support/wire.h"

#include <filesystem>
#include <future>
#include <poll.h>

using namespace quorvel;
using namespace qtest;
using qsocket = quorvel::socket;

// A socket for `address` and `port` (one the system picks at the bind when 0), not bound.
static qsocket* unbound(const char* address, int port = 0, uint32_t flags = SOCK_IPV6)
{
    qsocket* s = socket_create_listener(port);
    s->flags |= SOCK_IPV4 | SOCK_BUFFERED | flags;
    std::snprintf(s->bind_addr, sizeof(s->bind_addr), "%s", address);
    return s;
}

// A listener on `address` and a port the system picks; NULL when binding or listening failed.
static qsocket* listener(const char* address = "127.0.0.1")
{
    qsocket* s = unbound(address);
    if (socket_bind(s) != 0 || socket_listen(s, SOMAXCONN) != 0)
        socket_destroy(&s);
    return s;
}

static size_t open_fds()
{
    auto it = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(it), end(it)));
}

TEST(Socket, RefusalsReportTheirLinesAndLeaveNoHandle)
{
    ErrorLog log;
    // Port 0 is for listeners only; neither form takes a port beyond 65534.
    for (auto [make, port] : {std::pair{&socket_create, 0},
                              {&socket_create, 65535},
                              {&socket_create_listener, -1},
                              {&socket_create_listener, 65535}}) {
        EXPECT_EQ(make(port), nullptr);
        expect_report(log, "error (socket_create, 8108): null or invalid argument\n", EINVAL, 160);
    }
    qsocket* s = socket_create(8080);
    s->flags = SOCK_LISTENING | SOCK_READY | quorvel::SOCK_NONBLOCK;
    EXPECT_EQ(socket_wait_vectr(&s, 1), nullptr);
    expect_report(log,
                  "error (socket_wait_vectr, 9458): operation can not be performed on a "
                  "non-blocking socket\n",
                  EINVAL, 160);
    socket_destroy(&s);
    // Bound once only; a port in use fails the whole socket and leaves no handle.
    qsocket* taken = listener();
    EXPECT_EQ(socket_bind(taken), -1);
    expect_report(log, "error (socket_bind, 8309): socket already connected\n", EEXIST, 183);
    size_t before = open_fds();
    s = unbound("127.0.0.1", taken->port, SOCK_IPV6 | SOCK_REUSEADDR);
    EXPECT_EQ(socket_bind(s), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(log.text(), "error (socket_bind, 8538): " + std::string(strerror(EADDRINUSE)) + "\n");
    EXPECT_EQ(open_fds(), before);
    socket_destroy(&s);
    socket_destroy(&taken);
}

TEST(Socket, PortZeroBindsAPortTheSystemPicksOnEveryHandle)
{
    ErrorLog log;
    // Both families on every interface: the second handle must take the first one's port.
    // Bound, never listening, so nothing can connect to it. The port the system gives the
    // first family may be taken in the other one: then another try.
    qsocket* s = nullptr;
    for (int attempt = 0; attempt < 5 && s == nullptr; ++attempt) {
        s = socket_create_listener(0);
        s->flags |= SOCK_IPV4 | SOCK_IPV6;
        if (socket_bind(s) != 0) {
            EXPECT_EQ(errno, EADDRINUSE);
            socket_destroy(&s);
            log.clear();
        }
    }
    ASSERT_NE(s, nullptr);
    EXPECT_GT(socket_port(s), 0);
    for (int fd : s->fd) {
        if (fd == -1)
            continue; // no IPv6 here
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length), 0);
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port), s->port);
    }
    socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

TEST(Socket, ListenersAcceptInArrayOrderWithTheNumericPeer)
{
    ErrorLog log;
    qsocket* set[] = {listener(), listener()};
    ASSERT_TRUE(set[0] && set[1]);
    for (qsocket* s : set) { // bound to the one address given, IPv6 not bound
        sockaddr_in local{};
        socklen_t length = sizeof(local);
        ASSERT_EQ(::getsockname(s->fd[0], reinterpret_cast<sockaddr*>(&local), &length), 0);
        EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(s->fd[1], -1);
    }
    // Both connections wait before the first accept: the earlier listener goes first.
    int to_b = connect_loopback(set[1]->port), to_a = connect_loopback(set[0]->port);
    pollfd both[] = {{set[0]->fd[0], POLLIN, 0}, {set[1]->fd[0], POLLIN, 0}};
    ASSERT_EQ(::poll(both, 2, 5000), 2); // a completed connect is queued already
    qsocket* first = socket_wait_vectr(set, 2);
    qsocket* second = socket_wait_vectr(set, 2);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->port, set[0]->port);
    EXPECT_EQ(second->port, set[1]->port);
    EXPECT_STREQ(first->peer, "127.0.0.1");
    ::close(to_a);
    ::close(to_b);
    for (qsocket* s : {first, second, set[0], set[1]})
        socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

TEST(Socket, AcceptThatFindsNoConnectionReturnsAtOnce)
{
    // Handlers that wake for a connection another one took reach accept with an empty queue,
    // which must not block.
    ErrorLog log;
    qsocket* server = listener();
    auto waiter =
        std::async(std::launch::async, [&] { return socket_accept(server, server->fd[0]); });
    bool returned =
        waiter.wait_for(std::chrono::seconds(2) * TIME_SCALE) == std::future_status::ready;
    int rescue = returned ? -1 : connect_loopback(server->port); // else it waits for one
    qsocket* got = waiter.get();
    EXPECT_TRUE(returned);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(log.text(), "");
    ::close(rescue);
    socket_destroy(&got);
    socket_destroy(&server);
}

TEST(Socket, Ipv6ListenerTakesOnlyIpv6)
{
    ErrorLog log;
    qsocket* server = listener("::1");
    if (server == nullptr)
        GTEST_SKIP() << "no IPv6 loopback";
    int only = 0;
    socklen_t size = sizeof(only);
    ::getsockopt(server->fd[0], IPPROTO_IPV6, IPV6_V6ONLY, &only, &size);
    EXPECT_EQ(only, 1);
    qsocket* v4 = unbound("127.0.0.1", server->port, 0); // the IPv4 side of the port stays free
    EXPECT_EQ(socket_bind(v4), 0);
    qsocket* client = socket_open("::1", server->port, -1);
    qsocket* accepted = socket_wait_vectr(&server, 1);
    ASSERT_TRUE(client && accepted);
    EXPECT_STREQ(accepted->peer, "::1");
    for (qsocket* s : {v4, client, accepted, server})
        socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

TEST(Socket, ShutdownDrainsOnlyUnreadInputAndAtMost64KiB)
{
    ErrorLog log;
    for (bool flood : {false, true}) {
        SocketPair pair;
        std::atomic<bool> stop{false};
        std::thread peer([&] {
            char chunk[4096] = {};
            for (int i = 0; flood && i < 10000 && !stop; ++i)
                if (::send(pair.peer, chunk, sizeof(chunk), MSG_NOSIGNAL) < 0)
                    break;
        });
        qsocket conn{};
        conn.fd[0] = pair.mine;
        conn.fd[1] = -1;
        conn.timeout = 380;
        conn.flags = SOCK_CONNECTED;
        pollfd arrived{pair.mine, POLLIN, 0};
        EXPECT_EQ(flood ? ::poll(&arrived, 1, 5000) : ::send(pair.mine, "answer", 6, 0),
                  flood ? 1 : 6);
        set_debug(flood);
        int64_t start = monotonic_ms();
        EXPECT_EQ(socket_shutdown(&conn), 0);
        int64_t took = monotonic_ms() - start;
        set_debug(false);
        stop = true;
        ::close(pair.mine);
        peer.join();
        if (!flood) { // nothing waited for; the open peer still reads the output
            EXPECT_LT(took, 500 * TIME_SCALE);
            EXPECT_EQ(read_some(pair.peer, 6), "answer");
        }
    }
    long dropped = 0;
    const std::string piece = "(socket_shutdown, 9004): shutting down connection, dropping ";
    for (const std::string& line : log.lines()) {
        ASSERT_EQ(line.rfind(piece, 0), 0u) << line;
        dropped += std::stol(line.substr(piece.size()));
    }
    EXPECT_EQ(dropped, 64 * 1024);
}
