// Slow, idle and hostile clients against a started server with one handler: they wait without
// holding it, the deadlines close them or answer them, and a stop ends everything at once.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WAIT_MS = 20000;
constexpr size_t BIG_SIZE = 8u << 20;

using clock_type = std::chrono::steady_clock;

int64_t elapsed_ms(clock_type::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count();
}

// Polls until `done` holds or the wait has passed: whether it held.
template <class F>
bool eventually(F done)
{
    for (auto began = clock_type::now(); elapsed_ms(began) < WAIT_MS; usleep(2000))
        if (done())
            return true;
    return false;
}

class Waiting : public ::testing::Test {
protected:
    qtest::ErrorLog log;
    qtest::TempDir root;
    envelope* server = nullptr;
    int port = -1;
    std::vector<int> clients;
    std::string big = qtest::offset_bytes(BIG_SIZE);

    void SetUp() override
    {
        quorvel_init();
        root.write("small.txt", "small file\n");
        root.write("big.bin", big);
    }
    void TearDown() override
    {
        stop();
        for (int fd : clients)
            ::close(fd);
        envelope* sys = quorvel_get_sys();
        quorvel_obj_set(sys, quorvel_attrib_request_timeout, 10);
        quorvel_obj_set(sys, quorvel_attrib_connection_limit, 10000);
    }
    void start()
    {
        server = quorvel_obj_create(quorvel_obj_server, 1u, root.path().c_str());
        ASSERT_NE(server, nullptr);
        port = qtest::serve_on_loopback(server, WAIT_MS);
        ASSERT_GT(port, 0);
    }
    void stop()
    {
        if (server != nullptr)
            quorvel_obj_destroy(server);
        server = nullptr;
    }
    // A connection kept until the end of the test, having sent `text`.
    int open(const std::string& text = "", int receive_buffer = 0)
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        timeval limit{WAIT_MS / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        if (!text.empty())
            qtest::send_all(fd, text);
        clients.push_back(fd);
        return fd;
    }
    // The status line of the answer to `text` on a new connection, and the whole answer.
    std::string ask(const std::string& text, std::string* answer = nullptr)
    {
        int fd = open(text);
        std::string reply = qtest::read_to_end(fd, WAIT_MS);
        if (answer != nullptr)
            *answer = reply;
        return reply.substr(0, reply.find("\r\n"));
    }
};

const std::string small_request = "GET /small.txt HTTP/1.0\r\n\r\n";
const std::string big_request = "GET /big.bin HTTP/1.0\r\n\r\n";

TEST_F(Waiting, ClientsThatWaitHoldNoHandler)
{
    start();
    // Idle connections, heads that stop half-way, and readers that take nothing of a large
    // file: with today's single handler, any one of them held would stop all service.
    for (int i = 0; i < 40; ++i)
        open();
    for (int i = 0; i < 20; ++i)
        open("GET /small.txt HTTP/1.0\r\nHost: loc");
    for (int i = 0; i < 3; ++i)
        open(big_request, 4096);
    auto began = clock_type::now();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(ask(small_request), "HTTP/1.0 200 OK") << i;
    // Well inside the one-second idle cut and the ten-second request time-out.
    EXPECT_LT(elapsed_ms(began), 900 * qtest::TIME_SCALE);
}

TEST_F(Waiting, EveryRequestGetsAnAnswer)
{
    envelope* sys = quorvel_get_sys();
    ASSERT_EQ(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 3), 0);
    start();
    // A connection that never sends is closed after a second, without an answer.
    auto began = clock_type::now();
    EXPECT_EQ(qtest::read_to_end(open(), WAIT_MS), "");
    EXPECT_LT(elapsed_ms(began), 2500 * qtest::TIME_SCALE);
    // A request that pauses longer than a second is not cut for it within its time-out.
    int paused = open("GET /small.txt HT");
    EXPECT_EQ(qtest::read_some(paused, 1, 1500), "");
    qtest::send_all(paused, "TP/1.0\r\n\r\n");
    std::string reply = qtest::read_to_end(paused, WAIT_MS);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 200 OK");

    ASSERT_EQ(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 1), 0);
    const std::string head_too_large =
        "GET /" + std::string(70000, 'a') + " HTTP/1.0\r\n\r\n"; // beyond a quarter of the heap
    EXPECT_EQ(ask(head_too_large), "HTTP/1.0 400 Bad Request");
    EXPECT_EQ(ask("GET /small.txt HTTP/1.0\nHost: bare\n\n"), "HTTP/1.0 200 OK");
    // Silent after its first bytes, mid-head or mid-body: the time-out page.
    EXPECT_EQ(ask("GET /small.txt HTTP/1.0\r\n"), "HTTP/1.0 408 Request Timeout");
    EXPECT_EQ(ask("POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc"),
              "HTTP/1.0 408 Request Timeout");
    // A body cut short by the client's half-close.
    int cut = open("POST /x HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc");
    ::shutdown(cut, SHUT_WR);
    reply = qtest::read_to_end(cut, WAIT_MS);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 400 Bad Request");
}

TEST_F(Waiting, AnswersLeaveAtTheReadersPace)
{
    envelope* sys = quorvel_get_sys();
    ASSERT_EQ(quorvel_obj_set(sys, quorvel_attrib_request_timeout, 1), 0);
    start();
    // A reader slower than the request time-out gets the whole file, byte for byte, as long
    // as it keeps taking some.
    int slow = open(big_request, 4096);
    std::string reply;
    char piece[4096];
    for (auto began = clock_type::now(); elapsed_ms(began) < WAIT_MS;) {
        ssize_t n = ::recv(slow, piece, sizeof(piece), 0);
        if (n <= 0)
            break;
        reply.append(piece, static_cast<size_t>(n));
        if (reply.size() % (512 << 10) < sizeof(piece))
            usleep(100 * 1000);
    }
    ASSERT_GT(reply.size(), big.size());
    EXPECT_TRUE(reply.compare(reply.size() - big.size(), big.size(), big) == 0);
    // A reader that takes nothing for the request time-out is let go: its connection ends
    // short of the file.
    quorvel_debug(1);
    int stalled = open(big_request, 4096);
    EXPECT_TRUE(
        eventually([&] { return log.contains("took nothing for 1 s, connection closed"); }));
    EXPECT_LT(qtest::read_to_end(stalled, WAIT_MS).size(), big.size());
    quorvel_debug(0);
}

TEST_F(Waiting, FullRoomMakesWayForNewcomers)
{
    envelope* sys = quorvel_get_sys();
    ASSERT_EQ(quorvel_obj_set(sys, quorvel_attrib_connection_limit, 0), -1);
    ASSERT_EQ(quorvel_obj_set(sys, quorvel_attrib_connection_limit, 3), 0);
    start();
    // The reader that has waited longest goes first.
    int first = open("GET /small");
    int second = open("GET /small");
    int third = open("GET /small");
    EXPECT_EQ(ask(small_request), "HTTP/1.0 200 OK");
    EXPECT_EQ(qtest::read_to_end(first, WAIT_MS), "");
    qtest::send_all(second, ".txt HTTP/1.0\r\n\r\n");
    std::string reply = qtest::read_to_end(second, WAIT_MS);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 200 OK");
    // A reader that gives up half-way is answered as a cut request and leaves the room; its
    // end is seen here, so it no longer counts against the limit.
    ::shutdown(third, SHUT_WR);
    reply = qtest::read_to_end(third, WAIT_MS);
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.0 400 Bad Request");
    // Answers that are still leaving are not given up for a newcomer: it is refused instead.
    for (int i = 0; i < 3; ++i)
        open(big_request, 4096);
    EXPECT_TRUE(eventually([&] { return ask(small_request).empty(); }));
}

TEST_F(Waiting, StopClosesWaitingConnectionsAtOnce)
{
    start();
    std::vector<int> waiting = {open(), open("GET /small.txt HTTP/1.0\r\n"),
                                open(big_request, 4096), open(big_request, 4096)};
    EXPECT_EQ(ask(small_request), "HTTP/1.0 200 OK");
    auto began = clock_type::now();
    stop();
    EXPECT_LT(elapsed_ms(began), 1000 * qtest::TIME_SCALE);
    for (int fd : waiting) {
        std::string rest = qtest::read_to_end(fd, WAIT_MS);
        EXPECT_LT(rest.size(), big.size());
    }
}

} // namespace
