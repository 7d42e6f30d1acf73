// Started servers on 127.0.0.1: starts and stops, the binding and handler count, the protocol
// announcement path, and destroys that must not wait on clients.
#include "http/connection.h"
#include "http/kernel.h"

#include "api/envelope.h"
#include "http/protocol.h"
#include "http/server.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support/support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

constexpr int WAIT_MS = 10000;
const std::string NAME_77(PROTOCOL_REGISTER_MAX, 'c');
std::atomic<int> flood_state{0}; // 1 while sending, -1 once a send failed

class Kernel : public ::testing::Test {
protected:
    static auto* sock(envelope* stream) { return static_cast<quorvel::socket*>(stream->object); }
    // Answers the next four bytes with themselves.
    static int echo(envelope* s)
    {
        char d[4];
        return socket_rcv(sock(s), d, 4) == 4 && socket_snd(sock(s), d, 4) == 4 ? 0 : 2;
    }
    static int fail(envelope*) { return 1; }
    // Sends far more than a client that never reads can take (bounded).
    static int flood(envelope* s)
    {
        std::string chunk(65536, 'f');
        flood_state = 1;
        for (int i = 0; i < 4096 && flood_state == 1; ++i)
            flood_state = socket_snd(sock(s), chunk.data(), 65536) < 0 ? -1 : 1;
        return 0;
    }
    // Registers the test protocols unless they are; false when a server was started in this
    // process before (ctest runs every test in a process of its own).
    static bool register_protocols()
    {
        const std::pair<std::string, quorvel_protocol_fn> rows[] = {
            {"echo", echo}, {NAME_77, echo}, {"fail", fail}, {"flood", flood}};
        bool all = true;
        for (const auto& [name, fn] : rows)
            if (protocol_lookup(name.c_str(), static_cast<uint32_t>(name.size())) != fn)
                all = quorvel_obj_create(quorvel_obj_protocol, name.c_str(), fn) != nullptr && all;
        return all;
    }
    static long threads() { return std::distance(fs::directory_iterator("/proc/self/task"), {}); }
    // Polls until `done` holds or `ms` have passed; its last value.
    template <class F>
    static bool eventually(F done, int ms = WAIT_MS)
    {
        for (int64_t deadline = monotonic_ms() + ms; !done() && monotonic_ms() < deadline;)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    }
    // Everything until the server closes the connection; none on a time-out.
    static std::optional<std::string> read_reply(int fd)
    {
        std::string data;
        char piece[4096];
        for (ssize_t n; (n = ::recv(fd, piece, sizeof(piece), 0)) != 0; data.append(piece, n))
            if (n < 0)
                return std::nullopt;
        return data;
    }
    static bool send_text(int fd, const std::string& text)
    {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    // One connection: sends `text`, then reads everything until the server closes.
    std::optional<std::string> talk(const std::string& text) const
    {
        int fd = qtest::connect_loopback(port, WAIT_MS);
        auto r = send_text(fd, text) ? read_reply(fd) : std::nullopt;
        ::close(fd);
        return r;
    }

    void SetUp() override
    {
        quorvel_init();
        // A sanitizer may start a thread of its own with the first thread: let it do so now.
        std::thread([] {}).join();
        baseline = threads();
        ASSERT_TRUE(register_protocols()) << "a server started in this process before them";
    }
    void TearDown() override
    {
        destroy();
        EXPECT_TRUE(eventually([&] { return threads() == baseline; }))
            << "a library thread outlived its server";
        quorvel_debug(0);
    }
    // A server with `handlers` handlers and one listener on 127.0.0.1 and a port the system
    // picks, started; true once it serves.
    bool serve(unsigned handlers)
    {
        server = quorvel_obj_create(quorvel_obj_server, handlers, root.path().c_str());
        port = qtest::serve_on_loopback(server, WAIT_MS);
        return port > 0;
    }
    server_record* record() { return static_cast<server_record*>(server->object); }
    // Destroys the server, within about a second whatever its clients do.
    void destroy()
    {
        int64_t began = monotonic_ms();
        EXPECT_EQ(server ? quorvel_obj_destroy(std::exchange(server, nullptr)) : 0, 0);
        EXPECT_LT(monotonic_ms() - began, 1500 * qtest::TIME_SCALE)
            << "the destroy waited on a client";
    }

    qtest::ErrorLog log;
    qtest::TempDir root;
    envelope* server = nullptr;
    int port = 0;
    long baseline = 0;
};

} // namespace

TEST_F(Kernel, StartsAndStopsAHundredTimesWithHandlersCappedAtTheProcessorCount)
{
    quorvel_debug(1); // for the "cores detected" line
    const long cpus = get_cpu_count();
    const int64_t began = monotonic_ms();
    for (int i = 0; i < 100 && monotonic_ms() - began < 90000; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(serve(16));
        EXPECT_EQ(record()->handler_count, std::min(cpus, 16L));
        EXPECT_EQ(threads(), baseline + 1 + std::min(cpus, 16L));
        if (i % 10 == 0) { // a request is answered and the connection closed
            auto reply = talk("GET /index.html HTTP/1.0\r\n\r\n");
            EXPECT_EQ(reply.value_or("<left open>").substr(0, 9), "HTTP/1.0 ");
        }
        destroy();
        ASSERT_TRUE(eventually([&] { return threads() == baseline; }));
    }
    EXPECT_LT(monotonic_ms() - began, 90000) << "a hundred starts and stops did not finish";
    EXPECT_EQ(
        log.contains("(quorvel_kernel, 15705): " + std::to_string(cpus) + " cores detected\n"),
        cpus < 16);
    EXPECT_FALSE(log.contains("error (")) << log.text();
}

TEST_F(Kernel, ListenersOnPortZeroServeOnThePortsTheSystemGave)
{
    server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
    ASSERT_NE(server, nullptr);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_listener_addr, 0, "127.0.0.1"), 0);
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_listener_addr, 1), 0); // not bound yet
    // A reader on another thread while the kernel binds: each read is the configured port or
    // the bound one, and the sanitizer build sees any unordered access.
    std::atomic<bool> reading{true};
    std::vector<int> seen;
    std::thread reader([&] {
        while (reading && seen.size() < 100000)
            seen.push_back(quorvel_obj_get(server, quorvel_attrib_listener_addr, 0));
    });
    ASSERT_EQ(quorvel_obj_start(server), 0);
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS), 0);
    reading = false;
    reader.join();
    const int ports[] = {quorvel_obj_get(server, quorvel_attrib_listener_addr, 0),
                         quorvel_obj_get(server, quorvel_attrib_listener_addr, 1)};
    EXPECT_TRUE(ports[0] > 0 && ports[1] > 0 && ports[0] != ports[1]);
    EXPECT_TRUE(
        std::all_of(seen.begin(), seen.end(), [&](int p) { return p == 0 || p == ports[0]; }));
    // Each port is the one its handle holds, and the handlers' copies serve it.
    for (int i = 0; i < 2; ++i) {
        sockaddr_in bound{};
        socklen_t length = sizeof(bound);
        ASSERT_EQ(::getsockname(record()->listeners[i]->fd[0], reinterpret_cast<sockaddr*>(&bound),
                                &length),
                  0);
        EXPECT_EQ(ntohs(bound.sin_port), ports[i]);
        port = ports[i];
        EXPECT_EQ(talk("GET / HTTP/1.0\r\n\r\n").value_or("").substr(0, 9), "HTTP/1.0 ");
    }
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_listener_addr, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(log.contains("error (quorvel_obj_get:: quorvel_attrib_listener_addr, 18529): no "
                             "listener 2, the server has 2\n"));
}

TEST_F(Kernel, AFailedBindEndsTheStartWithItsCauseInErrnoAndNoHandler)
{
    // Another socket holds the port first: one of the test's own, on a port the system gave.
    int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int busy = ntohs(address.sin_port);
    // The port in use, and an address of no interface here (a documentation network).
    const std::tuple<const char*, int, int, std::string> rows[] = {
        {"127.0.0.1", busy, EADDRINUSE, "Address already in use"},
        {"192.0.2.1", 0, EADDRNOTAVAIL, "Cannot assign requested address"},
    };
    for (const auto& [where, on, cause, text] : rows) {
        SCOPED_TRACE(where);
        log.clear();
        server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_listener_addr, on, where), 0);
        EXPECT_EQ(quorvel_obj_start(server), 0);
        errno = 0;
        EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS), 1);
        EXPECT_EQ(errno, cause);
        // Every waiter learns the cause, also one that asks again without waiting.
        errno = 0;
        EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, 0), 1);
        EXPECT_EQ(errno, cause);
        EXPECT_TRUE(log.contains("error (socket_bind, 8538): " + text)) << log.text();
        for (uint32_t i = 0; i < record()->handler_count; ++i)
            EXPECT_EQ(record()->handlers[i], nullptr);
        // The kernel ends on the failure; nothing of the server runs any more.
        EXPECT_TRUE(eventually([&] { return threads() == baseline; }));
        destroy();
    }
    ::close(taken);
}

TEST_F(Kernel, ProtocolAnnouncementsReachTheirHandlerOrAreClosed)
{
    quorvel_debug(1);
    ASSERT_TRUE(serve(1)); // one handler takes every connection
    const std::string name79(PROTOCOL_ANNOUNCE_MAX, 'b');
    // Sent, answered, and logged by the exchange (empty: no protocol was looked up).
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"&echo;abcd", "abcd", "(quorvel_http_handler, 15576): handler echo found\n"},
        {"&" + NAME_77 + ";wxyz", "wxyz", "handler " + NAME_77 + " found\n"},
        {"&nope;abcd", "", "(quorvel_http_handler, 15600): handler nope not found\n"},
        {"&" + name79 + ";abcd", "", "handler " + name79 + " not found\n"}, // read as a name
        {"&" + name79 + "b;abcd", "", ""},                                  // 80 characters are not
        {"&" + name79 + "bb", "", ""}, // no ';' where a name could end
        {"&fail;", "", "error (quorvel_http_handler, 15593): handler error(fail) - 1\n"},
    };
    for (const auto& [sent, answer, line] : rows) {
        SCOPED_TRACE(sent.substr(0, 12));
        log.clear();
        EXPECT_EQ(talk(sent), answer);
        if (line.empty())
            EXPECT_FALSE(log.contains("user defined protocol encountered")) << log.text();
        else
            EXPECT_TRUE(eventually([&, &line = line] { return log.contains(line); }));
    }
    // The announcement may come in pieces, and the rest of the connection later: the handler
    // reads on.
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_TRUE(send_text(fd, "&ec"));
    ASSERT_TRUE(send_text(fd, "ho;ab"));
    ASSERT_TRUE(eventually([&] { return log.contains("handler echo found"); }));
    ASSERT_TRUE(send_text(fd, "cd"));
    EXPECT_EQ(read_reply(fd), "abcd");
    ::close(fd);
}

TEST_F(Kernel, DestroyDoesNotWaitForClientsThatHoldTheirConnections)
{
    quorvel_debug(1);
    ASSERT_TRUE(serve(2));
    // One connection waits for the rest of its head, a handler is blocked sending to a client
    // that does not read.
    int http = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_TRUE(send_text(http, "GET / HTTP/1.0\r\n"));
    int stuck = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_TRUE(send_text(stuck, "&flood;"));
    ASSERT_TRUE(eventually([&] { return flood_state == 1; }));
    destroy(); // checks that it returned within about a second
    EXPECT_TRUE(read_reply(http).has_value());
    EXPECT_EQ(flood_state, -1);
    ::close(http);
    ::close(stuck);
}

TEST_F(Kernel, DestroyWhileConnectionsComeAndGo)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(serve(2));
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        std::thread clients[4];
        for (std::thread& client : clients)
            client = std::thread([&] {
                for (int i = 0; i < 2000 && !stop; ++i) {
                    int fd = qtest::connect_loopback(port, 1000);
                    if (fd == -1)
                        return;
                    if (send_text(fd, i % 2 ? "&echo;abcd" : "GET / HTTP/1.0\r\n\r\n") &&
                        read_reply(fd).value_or("").starts_with(i % 2 ? "abcd" : "HTTP/1.0 "))
                        ++answered;
                    ::close(fd);
                }
            });
        EXPECT_TRUE(eventually([&] { return answered >= 20; }));
        destroy(); // its time and the threads left behind are checked
        stop = true;
        for (std::thread& client : clients)
            client.join();
        ASSERT_TRUE(eventually([&] { return threads() == baseline; }));
    }
}
