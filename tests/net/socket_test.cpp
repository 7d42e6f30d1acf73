#include "net/socket.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "platform/os.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorvel;
using qsocket = quorvel::socket;

namespace {

const uint32_t BOTH = SOCK_IPV4 | SOCK_IPV6;

// A listener on `address` and a free port, bound and listening; NULL when that failed.
qsocket* listener(const char* address = "127.0.0.1", uint32_t flags = BOTH | SOCK_BUFFERED)
{
    qsocket* s = socket_create(qtest::free_port());
    if (s == nullptr)
        return nullptr;
    s->flags |= flags;
    std::snprintf(s->bind_addr, sizeof(s->bind_addr), "%s", address);
    if (socket_bind(s) != 0 || socket_listen(s, SOMAXCONN) != 0)
        socket_destroy(&s);
    return s;
}

size_t open_fds()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

bool has_fd_flag(int fd, int flag)
{
    return (::fcntl(fd, F_GETFD) & flag) != 0;
}

bool nonblocking(int fd)
{
    return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// Waits until the listener's handle reports a pending connection.
bool pending(const qsocket* s, int ms = 5000)
{
    pollfd p{s->fd[0], POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

bool has_ipv6_loopback()
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return false;
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
}

} // namespace

TEST(Socket, CreateRefusesPortsOutsideOneTo65534)
{
    qtest::ErrorLog log;
    const std::string refused = "error (socket_create, 8108): null or invalid argument\n";
    EXPECT_EQ(socket_create(0), nullptr);
    qtest::expect_report(log, refused, EINVAL, 160);
    EXPECT_EQ(socket_create(65535), nullptr);
    qtest::expect_report(log, refused, EINVAL, 160);
    EXPECT_EQ(socket_create(-1), nullptr);
    qtest::expect_report(log, refused, EINVAL, 160);

    qsocket* s = socket_create(65534);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->port, 65534);
    EXPECT_EQ(s->timeout, 380);
    EXPECT_EQ(s->opt16, 65535);
    EXPECT_EQ(s->fd[0], -1);
    EXPECT_EQ(s->fd[1], -1);
    EXPECT_EQ(s->flags, 0u);
    EXPECT_EQ(s->dup_size, 0u);
    EXPECT_EQ(s->buffer, nullptr);
    EXPECT_STREQ(s->peer, "");
    socket_destroy(&s);
    EXPECT_EQ(s, nullptr);
    socket_destroy(&s);
    socket_destroy(nullptr);
    EXPECT_EQ(log.text(), "");
}

TEST(Socket, SetattrFollowsTheValueRules)
{
    qtest::ErrorLog log;
    qsocket* s = socket_create(8080);
    EXPECT_EQ(socket_setattr(s, SOCK_IPV4, SOCK_SET), 0);
    EXPECT_EQ(socket_setattr(s, quorvel::SOCK_NONBLOCK, SOCK_SET), 0);
    EXPECT_EQ(socket_setattr(s, SOCK_IPV6, 2), 0); // neither set nor clear: nothing
    EXPECT_EQ(s->flags, SOCK_IPV4 | quorvel::SOCK_NONBLOCK);
    EXPECT_EQ(socket_setattr(s, quorvel::SOCK_NONBLOCK, SOCK_CLR), 0);
    EXPECT_EQ(s->flags, SOCK_IPV4);

    // Sizes: -1 clears only a size that is set.
    EXPECT_EQ(socket_setattr(s, SOCK_SNDBUF, -1), 0);
    EXPECT_EQ(s->flags & SOCK_SNDBUF, 0u);
    EXPECT_EQ(socket_setattr(s, SOCK_SNDBUF, 8192), 0);
    EXPECT_EQ(s->flags & SOCK_SNDBUF, SOCK_SNDBUF);
    EXPECT_EQ(s->sndbuf, 8192);
    EXPECT_EQ(socket_setattr(s, SOCK_SNDBUF, -7), 0);
    EXPECT_EQ(s->sndbuf, 8192);
    EXPECT_EQ(socket_setattr(s, SOCK_SNDBUF, -1), 0);
    EXPECT_EQ(s->flags & SOCK_SNDBUF, 0u);
    EXPECT_EQ(s->sndbuf, 0);
    EXPECT_EQ(socket_setattr(s, SOCK_RCVBUF, 4096), 0);
    EXPECT_EQ(s->rcvbuf, 4096);

    // The default time-out has no bit, so clearing it changes nothing; a set one clears to 0.
    EXPECT_EQ(socket_setattr(s, SOCK_TIMEOUT, 0), 0);
    EXPECT_EQ(s->timeout, 380);
    EXPECT_EQ(socket_setattr(s, SOCK_TIMEOUT, 5), 0);
    EXPECT_EQ(s->timeout, 5);
    EXPECT_EQ(socket_setattr(s, SOCK_TIMEOUT, SOCK_CLR), 0);
    EXPECT_EQ(s->timeout, 0);
    EXPECT_EQ(s->flags & SOCK_TIMEOUT, 0u);

    EXPECT_EQ(socket_setattr(s, SOCK_OPT16, 0x12345), 0);
    EXPECT_EQ(s->opt16, 0x2345);
    EXPECT_EQ(log.text(), "");

    EXPECT_EQ(socket_setattr(s, 0x100, 1), -1);
    qtest::expect_report(log, "error (socket_setattr, 8056): invalid attribute/argument\n", EINVAL,
                         160);
    EXPECT_EQ(socket_setattr(s, SOCK_IPV4 | SOCK_IPV6, 1), -1);
    qtest::expect_report(log, "error (socket_setattr, 8056): invalid attribute/argument\n", EINVAL,
                         160);
    EXPECT_EQ(socket_setattr(s, SOCK_FAILED, 1), -1);
    qtest::expect_report(log, "error (socket_setattr, 8056): invalid attribute/argument\n", EINVAL,
                         160);
    EXPECT_EQ(socket_setattr(nullptr, SOCK_IPV4, 1), -1);
    qtest::expect_report(log, "error (socket_setattr, 7982): null argument passed\n", EINVAL, 160);
    socket_destroy(&s);
}

TEST(Socket, ListenersAcceptInArrayOrderWithTheNumericPeer)
{
    qtest::ErrorLog log;
    qsocket* a = listener();
    qsocket* b = listener();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    htable* table = htable_create(7);
    a->table = table;
    for (qsocket* s : {a, b}) {
        EXPECT_EQ(s->flags & (SOCK_READY | SOCK_LISTENING), SOCK_READY | SOCK_LISTENING);
        EXPECT_NE(s->fd[0], -1);
        EXPECT_EQ(s->fd[1], -1); // the one address only, IPv6 not bound
        EXPECT_EQ(s->sndbuf, 66560);
        EXPECT_EQ(s->rcvbuf, 66560);
        EXPECT_TRUE(has_fd_flag(s->fd[0], FD_CLOEXEC));
        EXPECT_TRUE(nonblocking(s->fd[0]));
    }

    // Both connections wait before the first accept: the earlier listener goes first.
    int to_b = qtest::connect_loopback(b->port);
    int to_a = qtest::connect_loopback(a->port);
    ASSERT_NE(to_a, -1);
    ASSERT_NE(to_b, -1);
    ASSERT_TRUE(pending(a));
    ASSERT_TRUE(pending(b));
    qsocket* set[] = {a, b};
    qsocket* first = socket_wait_vectr(set, 2);
    qsocket* second = socket_wait_vectr(set, 2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->port, a->port);
    EXPECT_EQ(second->port, b->port);
    EXPECT_STREQ(first->peer, "127.0.0.1");
    EXPECT_EQ(first->flags & (SOCK_CONNECTED | SOCK_READY | SOCK_LISTENING),
              SOCK_CONNECTED | SOCK_READY | SOCK_LISTENING);
    EXPECT_EQ(first->fd[1], -1);
    EXPECT_TRUE(nonblocking(first->fd[0])); // every wait on a connection is a poll
    EXPECT_EQ(first->io_nonblocking, 1);
    EXPECT_TRUE(has_fd_flag(first->fd[0], FD_CLOEXEC));
    EXPECT_EQ(first->table, table);
    EXPECT_NE(first->dup_size, 0u);
    EXPECT_EQ(first->buffer->data, reinterpret_cast<char*>(first->buffer + 1));
    EXPECT_EQ(buffer_getcapacity(first->buffer), 66560u);

    // The accepted record works both ways.
    ASSERT_EQ(::send(to_a, "ping", 4, 0), 4);
    char got[5] = {};
    EXPECT_EQ(socket_rcv(first, got, 4), 4);
    EXPECT_STREQ(got, "ping");
    EXPECT_EQ(socket_snd(first, "pong", 4), 4);
    EXPECT_EQ(socket_flush(first), 0);
    char answer[5] = {};
    EXPECT_EQ(::recv(to_a, answer, 4, MSG_WAITALL), 4);
    EXPECT_STREQ(answer, "pong");
    ::close(to_a);
    socket_destroy(&first);

    // The duplicate went alone: the listener's table is untouched.
    EXPECT_EQ(htable_store(table, "k", 1, "v", 2, true, nullptr), 0);
    ::close(to_b);
    socket_destroy(&second);

    // Nothing pending: a second's wait, no connection, no line.
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_wait(a), nullptr);
    EXPECT_GE(monotonic_ms() - start, 900);
    EXPECT_EQ(log.text(), "");
    // Closing a listener has nothing to drain and does not wait.
    start = monotonic_ms();
    socket_destroy(&a);
    socket_destroy(&b);
    EXPECT_LT(monotonic_ms() - start, 500);
}

TEST(Socket, ClientConnectionExchangesBytesWithAnAcceptedOne)
{
    qtest::ErrorLog log;
    qsocket* server = listener();
    ASSERT_NE(server, nullptr);
    qsocket* client = socket_open("127.0.0.1", server->port, 7);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->flags & (SOCK_CONNECTED | SOCK_BUFFERED | SOCK_NAGLE | BOTH),
              SOCK_CONNECTED | SOCK_BUFFERED | SOCK_NAGLE | BOTH);
    EXPECT_EQ(client->timeout, 7);
    EXPECT_EQ(client->opt16, 0);
    EXPECT_EQ(client->dup_size, 0u);
    EXPECT_EQ(buffer_getcapacity(client->buffer), 66560u);
    EXPECT_TRUE(has_fd_flag(client->fd[0], FD_CLOEXEC));

    qsocket* accepted = socket_wait(server);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(socket_snd(client, "GET / HTTP/1.0\r\n\r\n", 18), 18);
    ASSERT_EQ(socket_flush(client), 0);
    char request[19] = {};
    EXPECT_EQ(socket_rcv(accepted, request, 18), 18);
    EXPECT_STREQ(request, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(socket_snd(accepted, "HTTP/1.0 200 OK\r\n\r\n", 19), 19);
    EXPECT_EQ(socket_getrfree(accepted), 19); // buffered until the close
    std::thread closer([&] { socket_destroy(&accepted); });
    char late[20] = {};
    EXPECT_EQ(socket_rcv(client, late, 19), 19);
    EXPECT_STREQ(late, "HTTP/1.0 200 OK\r\n\r\n");
    socket_destroy(&client);
    closer.join();
    socket_destroy(&server);
    EXPECT_EQ(log.text(), "");
}

TEST(Socket, AcceptThatFindsNoConnectionReturnsAtOnce)
{
    // Handlers wait on copies of one listener; all wake for a connection only one of them
    // gets. The others reach accept with an empty queue, which must not block. A copy that
    // skips the wait stands for them.
    qtest::ErrorLog log;
    qsocket* server = listener();
    ASSERT_NE(server, nullptr);
    qsocket late = *server;
    late.flags |= quorvel::SOCK_NONBLOCK;
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    qsocket* got = server;
    std::thread handler([&] {
        qsocket* c = socket_wait(&late);
        std::lock_guard<std::mutex> hold(m);
        got = c;
        finished = true;
        done.notify_all();
    });
    bool returned;
    {
        std::unique_lock<std::mutex> hold(m);
        returned = done.wait_for(hold, std::chrono::seconds(2), [&] { return finished; });
    }
    // A handler blocked in accept only comes back with a connection.
    int rescue = returned ? -1 : qtest::connect_loopback(server->port);
    handler.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(log.text(), "");
    if (rescue != -1)
        ::close(rescue);
    socket_destroy(&got);

    int client = qtest::connect_loopback(server->port);
    ASSERT_TRUE(pending(server));
    got = socket_wait(&late);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->peer, "127.0.0.1");
    ::close(client);
    socket_destroy(&got);
    socket_destroy(&server);
}

TEST(Socket, BindAndListenRefuseWhatTheStateForbids)
{
    qtest::ErrorLog log;
    qsocket* s = socket_create(qtest::free_port());
    s->flags |= SOCK_IPV4;
    std::strcpy(s->bind_addr, "127.0.0.1");
    EXPECT_EQ(socket_listen(s, 5), -1);
    qtest::expect_report(log, "error (socket_listen, 8174): null or invalid argument\n", EINVAL,
                         160);

    s->ssl = 1;
    EXPECT_EQ(socket_bind(s), -1);
    qtest::expect_report(
        log, "error (socket_bind, 8298): SSL support requested but not initialized\n", EINVAL, 160);
    s->ssl = 0;

    ASSERT_EQ(socket_bind(s), 0);
    EXPECT_EQ(socket_bind(s), -1);
    qtest::expect_report(log, "error (socket_bind, 8309): socket already connected\n", EEXIST, 183);
    ASSERT_EQ(socket_listen(s, 5), 0);
    EXPECT_EQ(socket_listen(s, 5), -1);
    qtest::expect_report(log, "error (socket_listen, 8184): socket already connected\n", EEXIST,
                         183);
    EXPECT_EQ(socket_connect(s, "127.0.0.1", 80), -1);
    qtest::expect_report(log, "error (socket_connect, 9142): socket already connected\n", EEXIST,
                         183);
    socket_destroy(&s);

    EXPECT_EQ(socket_bind(nullptr), -1);
    qtest::expect_report(log, "error (socket_bind, 8286): null or invalid argument\n", EINVAL, 160);
    s = socket_create(8080);
    std::strcpy(s->bind_addr, "not-an-address");
    EXPECT_EQ(socket_bind(s), -1);
    EXPECT_TRUE(std::regex_match(
        log.text(), std::regex(R"(error \(socket_bind, 8345\): getaddrinfo failed error: -\d+\n)")))
        << log.text();
    log.clear();
    socket_destroy(&s);
}

TEST(Socket, PortInUseFailsTheWholeListenerAndLeavesNoHandle)
{
    qtest::ErrorLog log;
    qsocket* taken = listener();
    ASSERT_NE(taken, nullptr);
    size_t before = open_fds();
    qsocket* s = socket_create(taken->port);
    s->flags |= BOTH | SOCK_REUSEADDR;
    std::strcpy(s->bind_addr, "127.0.0.1");
    EXPECT_EQ(socket_bind(s), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    // bind sets errno, so the line carries the system's reason.
    EXPECT_EQ(log.text(),
              std::string("error (socket_bind, 8538): ") + std::strerror(EADDRINUSE) + "\n");
    EXPECT_TRUE(s->flags & SOCK_FAILED);
    EXPECT_FALSE(s->flags & SOCK_READY);
    EXPECT_EQ(s->fd[0], -1);
    EXPECT_EQ(s->fd[1], -1);
    EXPECT_EQ(open_fds(), before);
    log.clear();
    // A failed socket stays failed.
    EXPECT_EQ(socket_bind(s), -1);
    qtest::expect_report(log, "error (socket_bind, 8286): null or invalid argument\n", EINVAL, 160);
    socket_destroy(&s);
    socket_destroy(&taken);
}

TEST(Socket, ConnectToARefusingPortFailsWithoutLeakingAHandle)
{
    qtest::ErrorLog log;
    int port = qtest::free_port();
    size_t before = open_fds();
    EXPECT_EQ(socket_open("127.0.0.1", port, 5), nullptr);
    EXPECT_EQ(errno, ECONNREFUSED);
    qsocket* s = socket_create(port);
    s->flags |= BOTH;
    // Every address of the name is tried, each handle closed when it refuses.
    EXPECT_EQ(socket_connect(s, "localhost", port), -1);
    EXPECT_TRUE(s->flags & SOCK_FAILED);
    EXPECT_EQ(s->fd[0], -1);
    EXPECT_EQ(open_fds(), before);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(socket_connect(s, nullptr, port), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(log.text(), "");
    socket_destroy(&s);
}

TEST(Socket, Ipv6ListenerTakesOnlyIpv6)
{
    if (!has_ipv6_loopback())
        GTEST_SKIP() << "no IPv6 loopback";
    qtest::ErrorLog log;
    qsocket* server = listener("::1");
    ASSERT_NE(server, nullptr);
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    ASSERT_EQ(::getsockname(server->fd[0], reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_EQ(local.ss_family, AF_INET6);
    int only = 0;
    socklen_t size = sizeof(only);
    ::getsockopt(server->fd[0], IPPROTO_IPV6, IPV6_V6ONLY, &only, &size);
    EXPECT_EQ(only, 1);
    EXPECT_EQ(server->fd[1], -1);

    // The IPv4 side of the port stays free for a listener of its own.
    qsocket* v4 = socket_create(server->port);
    v4->flags |= SOCK_IPV4;
    std::strcpy(v4->bind_addr, "127.0.0.1");
    EXPECT_EQ(socket_bind(v4), 0);
    socket_destroy(&v4);

    qsocket* client = socket_open("::1", server->port, -1);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->timeout, 380);
    qsocket* accepted = socket_wait(server);
    ASSERT_NE(accepted, nullptr);
    EXPECT_STREQ(accepted->peer, "::1");
    socket_destroy(&client);
    socket_destroy(&accepted);
    socket_destroy(&server);
    EXPECT_EQ(log.text(), "");
}

TEST(Socket, ShutdownWithNothingUnreadClosesAtOnce)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    qsocket conn{};
    conn.fd[0] = fds[0];
    conn.fd[1] = -1;
    conn.timeout = 380;
    conn.flags = SOCK_CONNECTED;
    ASSERT_EQ(::send(fds[0], "answer", 6, MSG_NOSIGNAL), 6);
    // The peer stays open: nothing is waited for, and it still reads the output, then the end.
    int64_t start = monotonic_ms();
    socket_close(&conn);
    EXPECT_LT(monotonic_ms() - start, 500);
    char got[16] = {};
    EXPECT_EQ(::recv(fds[1], got, sizeof(got), 0), 6);
    EXPECT_EQ(::recv(fds[1], got, sizeof(got), 0), 0);
    ::close(fds[1]);
}

TEST(Socket, ShutdownDrainsAtMostASecondAnd64KiB)
{
    qtest::ErrorLog log;
    set_debug(true);
    // A peer that never stops sending: the drain ends at 64 KiB.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        char chunk[4096] = {};
        for (int i = 0; i < 10000 && !stop; ++i) {
            pollfd p{fds[1], POLLOUT, 0};
            if (::poll(&p, 1, 100) == 1 && ::send(fds[1], chunk, sizeof(chunk), MSG_NOSIGNAL) < 0)
                break;
        }
    });
    qsocket conn{};
    conn.fd[0] = fds[0];
    conn.fd[1] = -1;
    conn.timeout = 380;
    conn.flags = SOCK_CONNECTED;
    // Only a connection with unread input is drained: wait until the flood has begun.
    pollfd arrived{fds[0], POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 5000), 1);
    errno = EINTR;
    set_last_error(77);
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_shutdown(&conn), 0);
    EXPECT_LT(monotonic_ms() - start, 1500);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(last_error(), 77u);
    EXPECT_EQ(conn.timeout, 1);
    stop = true;
    ::close(fds[0]);
    flood.join();
    ::close(fds[1]);
    long dropped = 0;
    std::regex piece(
        R"(\(socket_shutdown, 9004\): shutting down connection, dropping (\d+) bytes...\n)");
    for (const std::string& line : log.lines()) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, piece)) << line;
        EXPECT_LE(std::stol(m[1]), 100);
        dropped += std::stol(m[1]);
    }
    EXPECT_EQ(dropped, 64 * 1024);
    log.clear();
    set_debug(false);

    // A peer that trickles: the drain ends after a second.
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    stop = false;
    std::thread trickle([&] {
        for (int i = 0; i < 300 && !stop; ++i) {
            if (::send(fds[1], "x", 1, MSG_NOSIGNAL) != 1)
                break;
            ::poll(nullptr, 0, 10);
        }
    });
    conn.fd[0] = fds[0];
    ASSERT_EQ(::poll(&arrived, 1, 5000), 1);
    start = monotonic_ms();
    EXPECT_EQ(socket_shutdown(&conn), 0);
    int64_t took = monotonic_ms() - start;
    stop = true;
    ::close(fds[0]);
    trickle.join();
    ::close(fds[1]);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 1500);
}

TEST(Socket, WaitingRefusesUnusableListeners)
{
    qtest::ErrorLog log;
    qsocket* s = socket_create(8080);
    qsocket* set[] = {s};
    qsocket* which = s;
    EXPECT_EQ(socket_readable_vectr(set, 1, &which), -1);
    EXPECT_EQ(which, nullptr);
    qtest::expect_report(log, "error (socket_readable_vectr, 8716): socket not connected\n", EINVAL,
                         160);
    s->flags |= SOCK_LISTENING | SOCK_FAILED;
    EXPECT_EQ(socket_readable_vectr(set, 1, &which), -1);
    qtest::expect_report(
        log, "error (socket_readable_vectr, 8722): see previous error logged against socket\n",
        EINVAL, 160);
    s->flags = SOCK_LISTENING;
    EXPECT_EQ(socket_wait_vectr(set, 1), nullptr);
    qtest::expect_report(
        log, "error (socket_wait_vectr, 9449): provided socket not connected or invalid\n", EINVAL,
        160);
    s->flags = SOCK_LISTENING | SOCK_READY | quorvel::SOCK_NONBLOCK;
    EXPECT_EQ(socket_wait_vectr(set, 1), nullptr);
    qtest::expect_report(
        log,
        "error (socket_wait_vectr, 9458): operation can not be performed on a non-blocking "
        "socket\n",
        EINVAL, 160);
    s->flags = SOCK_READY;
    EXPECT_EQ(socket_wait(s), nullptr);
    qtest::expect_report(
        log, "error (socket_wait, 9346): provided socket not connected or invalid\n", EINVAL, 160);
    EXPECT_EQ(socket_dup(nullptr), nullptr);
    qtest::expect_report(log, "error (socket_dup, 8897): null argument passed\n", EINVAL, 160);
    socket_destroy(&s);
}

TEST(Socket, DefaultBufferSizeIsALibrarySetting)
{
    EXPECT_EQ(default_tcp_buffer_size(), 66560);
    EXPECT_EQ(set_default_tcp_buffer_size(0), -1);
    EXPECT_EQ(set_default_tcp_buffer_size(16384), 0);
    qsocket* s = listener("127.0.0.1", SOCK_IPV4 | SOCK_BUFFERED);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sndbuf, 16384);
    EXPECT_EQ(s->rcvbuf, 16384);
    socket_destroy(&s);
    // A size of the socket's own wins over the default.
    s = socket_create(qtest::free_port());
    s->flags |= SOCK_IPV4;
    std::strcpy(s->bind_addr, "127.0.0.1");
    socket_setattr(s, SOCK_RCVBUF, 32768);
    ASSERT_EQ(socket_bind(s), 0);
    EXPECT_EQ(s->sndbuf, 16384);
    EXPECT_EQ(s->rcvbuf, 32768);
    socket_destroy(&s);
    EXPECT_EQ(set_default_tcp_buffer_size(DEFAULT_TCP_BUFFER_SIZE), 0);
}
