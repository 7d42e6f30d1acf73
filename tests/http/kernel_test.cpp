// Started servers on 127.0.0.1: the start call, the kernel's binding and handler count, the
// handlers' protocol and HTTP paths, their thread heaps, and stops that must be quick however
// the clients behave.
#include "http/kernel.h"

#include "core/envelope.h"
#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "http/protocol.h"
#include "http/server.h"
#include "net/socket.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support/support.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quorvel;

namespace {

constexpr int WAIT_MS = 10000;

// --- Protocol handlers, called on handler threads. ---

quorvel::socket* connection_of(envelope* stream)
{
    return static_cast<quorvel::socket*>(stream->object);
}

// Answers the next four bytes with themselves.
int echo(envelope* stream)
{
    char data[4];
    if (socket_rcv(connection_of(stream), data, sizeof(data)) != 4)
        return 2;
    return socket_snd(connection_of(stream), data, sizeof(data)) == 4 ? 0 : 3;
}

int fail(envelope*)
{
    return 1;
}

// Answers the heap's in-use count on entry and after leaving a block behind for the reset.
int heap_probe(envelope* stream)
{
    heap_record* heap = thread_heap_current();
    uint32_t counts[2] = {heap != nullptr ? heap->in_use : 0, 0};
    if (heap != nullptr)
        quorvel_mem_alloc(1000);
    counts[1] = heap != nullptr ? heap->in_use : 0;
    return socket_snd(connection_of(stream), counts, sizeof(counts)) == sizeof(counts) ? 0 : 2;
}

std::atomic<int> hold_entered{0};
std::atomic<int> hold_result{0};

// Waits for a byte that never comes, until the connection fails (bounded).
int hold(envelope* stream)
{
    hold_entered.store(1);
    char byte;
    for (int i = 0; i < 30; ++i) {
        if (socket_rcv(connection_of(stream), &byte, 1) < 0) {
            hold_result.store(-1);
            return 0;
        }
    }
    hold_result.store(1);
    return 0;
}

std::atomic<int> flood_entered{0};
std::atomic<int> flood_result{0};

// Sends far more than a client that never reads can take (bounded).
int flood(envelope* stream)
{
    flood_entered.store(1);
    std::array<char, 65536> chunk{};
    for (int i = 0; i < 4096; ++i) {
        if (socket_snd(connection_of(stream), chunk.data(), chunk.size()) < 0) {
            flood_result.store(-1);
            return 0;
        }
    }
    flood_result.store(1);
    return 0;
}

// Adds the two integers of an "ii" record and answers their sum as an "i" record.
int sum(envelope* stream)
{
    int32_t a = 0;
    int32_t b = 0;
    if (quorvel_unmarshal(stream, "ii", &a, &b) != 0)
        return 1;
    return quorvel_marshal(stream, "i", static_cast<int32_t>(static_cast<uint32_t>(a) + b));
}

const std::string NAME_77(PROTOCOL_REGISTER_MAX, 'c');

// Registers the test protocols once per process; false when a server was started in this
// process before they could be.
bool register_protocols()
{
    struct row {
        std::string name;
        quorvel_protocol_fn fn;
    };
    const row rows[] = {{"echo", echo}, {NAME_77, echo},  {"fail", fail}, {"heap", heap_probe},
                        {"hold", hold}, {"flood", flood}, {"sum", sum}};
    bool all = true;
    for (const row& r : rows) {
        if (protocol_lookup(r.name.c_str(), static_cast<uint32_t>(r.name.size())) == r.fn)
            continue;
        all = quorvel_obj_create(quorvel_obj_protocol, r.name.c_str(), r.fn) != nullptr && all;
    }
    return all;
}

// --- Clients. ---

int thread_count()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// Polls until the process runs `expected` threads or `ms` have passed; the last count seen.
int settle_threads(int expected, int ms = WAIT_MS)
{
    int64_t deadline = monotonic_ms() + ms;
    int n = thread_count();
    while (n != expected && monotonic_ms() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        n = thread_count();
    }
    return n;
}

bool send_text(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

struct Reply {
    std::string data;
    bool closed = false; // the server closed the connection (not a time-out)
};

// Reads until the server closes or the socket's receive time-out passes.
Reply read_to_end(int fd)
{
    Reply r;
    char piece[4096];
    for (;;) {
        ssize_t n = ::recv(fd, piece, sizeof(piece), 0);
        if (n > 0) {
            r.data.append(piece, static_cast<size_t>(n));
            continue;
        }
        r.closed = n == 0;
        return r;
    }
}

// One connection: sends `text`, then reads everything until the server closes.
Reply talk(int port, const std::string& text)
{
    int fd = qtest::connect_loopback(port, WAIT_MS);
    if (fd == -1)
        return {};
    Reply r;
    if (send_text(fd, text))
        r = read_to_end(fd);
    ::close(fd);
    return r;
}

// Polls the log until it holds `needle` or the wait runs out.
bool log_gets(const qtest::ErrorLog& log, const std::string& needle, int ms = WAIT_MS)
{
    int64_t deadline = monotonic_ms() + ms;
    while (!log.contains(needle)) {
        if (monotonic_ms() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool wait_flag(const std::atomic<int>& flag, int ms = WAIT_MS)
{
    int64_t deadline = monotonic_ms() + ms;
    while (flag.load() == 0 && monotonic_ms() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag.load() != 0;
}

size_t occurrences(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

int64_t timed_destroy(envelope* server)
{
    int64_t began = monotonic_ms();
    EXPECT_EQ(quorvel_obj_destroy(server), 0);
    return monotonic_ms() - began;
}

class Kernel : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorvel_init();
        // A sanitizer may start a thread of its own with the first thread: let it do so now.
        std::thread([] {}).join();
        baseline = thread_count();
    }
    void TearDown() override
    {
        if (server != nullptr)
            quorvel_obj_destroy(server);
        EXPECT_EQ(settle_threads(baseline), baseline) << "a library thread outlived its server";
    }

    // A server with `handlers` handlers and one listener on 127.0.0.1 and a free port.
    envelope* make(unsigned handlers)
    {
        envelope* e = quorvel_obj_create(quorvel_obj_server, handlers, root.path().c_str());
        EXPECT_NE(e, nullptr);
        if (e == nullptr)
            return nullptr;
        port = qtest::free_port();
        EXPECT_EQ(quorvel_obj_set(e, quorvel_attrib_listener_addr, port, "127.0.0.1"), 0);
        return e;
    }
    static server_record* record(envelope* e) { return static_cast<server_record*>(e->object); }

    // Makes and starts `server`; true once it serves.
    bool serve(unsigned handlers)
    {
        server = make(handlers);
        if (server == nullptr || quorvel_obj_start(server) != 0)
            return false;
        return quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS) == 0;
    }

    qtest::ErrorLog log;
    qtest::TempDir root;
    envelope* server = nullptr;
    int port = 0;
    int baseline = 0;
};

} // namespace

TEST_F(Kernel, StartRefusesWhatCannotStart)
{
    const std::string refused =
        "error (quorvel_obj_start, 16326): operation not supported for provided object\n";
    EXPECT_EQ(quorvel_obj_start(nullptr), -1);
    qtest::expect_report(log, refused, EINVAL, LAST_BAD_ARGUMENTS);
    envelope* mutex = quorvel_obj_create(quorvel_obj_mutex);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(quorvel_obj_start(mutex), -1);
    qtest::expect_report(log, refused, EINVAL, LAST_BAD_ARGUMENTS);
    quorvel_obj_destroy(mutex);

    server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
    ASSERT_NE(server, nullptr);
    log.clear();
    EXPECT_EQ(quorvel_obj_start(server), -1);
    qtest::expect_report(log, "error (quorvel_obj_start, 16335): no listeners have been defined\n",
                         EINVAL, LAST_BAD_ARGUMENTS);
    EXPECT_EQ(record(server)->kernel, nullptr);
    EXPECT_EQ(server->flags, 0u);
    EXPECT_EQ(thread_count(), baseline);

    port = qtest::free_port();
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_listener_addr, port, "127.0.0.1"), 0);
    EXPECT_EQ(quorvel_obj_start(server), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(server->flags, ENVELOPE_STARTED | ENVELOPE_LOCKED);
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS), 0);
    EXPECT_EQ(quorvel_obj_start(server), -1);
    qtest::expect_report(log, refused, EINVAL, LAST_BAD_ARGUMENTS);
}

TEST_F(Kernel, StartsAndStopsAHundredTimes)
{
    const int64_t began = monotonic_ms();
    int64_t slowest = 0;
    for (int i = 0; i < 100 && monotonic_ms() - began < 90000; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(serve(2));
        EXPECT_EQ(thread_count(), baseline + 1 + static_cast<int>(record(server)->handler_count));
        if (i % 10 == 0) {
            Reply r = talk(port, "GET / HTTP/1.0\r\n\r\n");
            EXPECT_TRUE(r.closed);
        }
        slowest = std::max(slowest, timed_destroy(server));
        server = nullptr;
        ASSERT_EQ(settle_threads(baseline), baseline);
    }
    EXPECT_LT(monotonic_ms() - began, 90000) << "a hundred starts and stops took too long";
    EXPECT_LT(slowest, 1500);
    EXPECT_FALSE(log.contains("error (")) << log.text();
}

TEST_F(Kernel, APortInUseFailsTheStartAndStartsNoHandler)
{
    int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    server = make(2);
    ASSERT_NE(server, nullptr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(taken, 1), 0);

    EXPECT_EQ(quorvel_obj_start(server), 0);
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS), 1);
    EXPECT_EQ(record(server)->status.load(), 1u);
    EXPECT_TRUE(log.contains("could not bind to port " + std::to_string(port)) ||
                log.contains("error (socket_bind, 8538): Address already in use"));
    for (uint32_t i = 0; i < record(server)->handler_count; ++i)
        EXPECT_EQ(record(server)->handlers[i], nullptr);
    // The kernel ends on the failure; nothing of the server runs any more.
    EXPECT_EQ(settle_threads(baseline), baseline);
    EXPECT_LT(timed_destroy(server), 1000);
    server = nullptr;
    ::close(taken);
}

TEST_F(Kernel, HandlersAreCappedAtTheProcessorCount)
{
    quorvel_debug(1);
    ASSERT_TRUE(serve(16));
    long cpus = get_cpu_count();
    uint32_t expected = cpus < 16 ? static_cast<uint32_t>(cpus) : 16;
    server_record* s = record(server);
    EXPECT_EQ(s->handler_count, expected);
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(s->handlers[i] != nullptr, i < expected) << i;
    EXPECT_EQ(thread_count(), baseline + 1 + static_cast<int>(expected));
    EXPECT_TRUE(log.contains("(quorvel_kernel, 15668): primary thread coming up...\n"));
    EXPECT_TRUE(log.contains("(quorvel_kernel, 15674): configuring 1 listeners ...\n"));
    EXPECT_EQ(
        log.contains("(quorvel_kernel, 15705): " + std::to_string(cpus) + " cores detected\n"),
        cpus < 16);
    EXPECT_TRUE(log.contains("(quorvel_kernel, 15728): all handlers started\n"));
    quorvel_debug(0);
}

TEST_F(Kernel, ProtocolAnnouncementsReachTheirHandlerOrAreClosed)
{
    if (!register_protocols())
        GTEST_SKIP() << "a server was started in this process before the protocols existed";
    quorvel_debug(1);
    ASSERT_TRUE(serve(2));
    const std::string lookup = "user defined protocol encountered";

    Reply r = talk(port, "&echo;abcd");
    EXPECT_EQ(r.data, "abcd");
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(log.contains("(quorvel_http_handler, 15576): handler echo found\n"));

    r = talk(port, "&" + NAME_77 + ";wxyz");
    EXPECT_EQ(r.data, "wxyz");

    log.clear();
    r = talk(port, "&nope;abcd");
    EXPECT_EQ(r.data, "");
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(log.contains("(quorvel_http_handler, 15600): handler nope not found\n"));

    // 79 characters are read as a name (none is registered under it); 80 are not.
    const std::string name79(PROTOCOL_NAME_MAX, 'b');
    log.clear();
    r = talk(port, "&" + name79 + ";abcd");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data, "");
    EXPECT_TRUE(log.contains("handler " + name79 + " not found\n"));

    log.clear();
    r = talk(port, "&" + std::string(PROTOCOL_NAME_MAX + 1, 'b') + ";abcd");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data, "");
    r = talk(port, "&echo");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data, "");
    r = talk(port, std::string("&ec\0ho;abcd", 11));
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data, "");
    EXPECT_EQ(occurrences(log.text(), lookup), 0u);

    log.clear();
    r = talk(port, "&fail;");
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(log.contains("error (quorvel_http_handler, 15593): handler error(fail) - 1\n"));
    EXPECT_EQ(occurrences(log.text(), lookup), 1u);

    // The rest of the connection may come later: the handler reads on.
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(send_text(fd, "&echo;ab"));
    pollfd wait{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&wait, 1, 200), 0); // nothing comes back before the rest is sent
    ASSERT_TRUE(send_text(fd, "cd"));
    r = read_to_end(fd);
    ::close(fd);
    EXPECT_EQ(r.data, "abcd");
    EXPECT_TRUE(r.closed);
    quorvel_debug(0);
}

TEST_F(Kernel, StreamObjectsTalkToTheirProtocol)
{
    if (!register_protocols())
        GTEST_SKIP() << "a server was started in this process before the protocols existed";
    ASSERT_TRUE(serve(2));
    for (int i = 0; i < 20; ++i) {
        envelope* stream = quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", "sum", port, 5);
        ASSERT_NE(stream, nullptr);
        int32_t total = 0;
        EXPECT_EQ(quorvel_marshal(stream, "ii", i, 1000 * i), 0);
        EXPECT_EQ(quorvel_unmarshal(stream, "i", &total), 0);
        EXPECT_EQ(total, 1001 * i);
        EXPECT_EQ(quorvel_obj_destroy(stream), 0);
    }
    EXPECT_FALSE(log.contains("error (")) << log.text();
}

TEST_F(Kernel, ProtocolsRegisteredAfterAStartAreRefused)
{
    ASSERT_TRUE(serve(1));
    log.clear();
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_protocol, "late", echo), nullptr);
    qtest::expect_report(log,
                         "error (quorvel_obj_create::quorvel_obj_protocol, 16244): protocols must "
                         "be registered before the first server start\n",
                         EINVAL, LAST_BAD_ARGUMENTS);
}

TEST_F(Kernel, AnAmpersandIsHttpWhenNoProtocolExists)
{
    if (protocol_table_exists())
        GTEST_SKIP() << "protocols were registered in this process";
    quorvel_debug(1);
    ASSERT_TRUE(serve(1));
    Reply r = talk(port, "&echo; / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data, "");
    EXPECT_TRUE(log.contains("unknown method(&echo;) requested"));
    EXPECT_FALSE(log.contains("user defined protocol"));
    quorvel_debug(0);
}

TEST_F(Kernel, AnHttpRequestIsAnsweredAndTheConnectionClosed)
{
    quorvel_debug(1);
    ASSERT_TRUE(serve(2));
    Reply r = talk(port, "GET /index.html HTTP/1.0\r\nHost: h\r\n\r\n");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data.rfind("HTTP/1.0 ", 0), 0u) << r.data;
    EXPECT_TRUE(log.contains("(parse_request_header, 13669): URI: /index.html\n"));
    EXPECT_TRUE(
        log.contains("(quorvel_http_handler, 15616): destroying responce data structure\n"));
    EXPECT_TRUE(
        log_gets(log, "(quorvel_http_handler, 15619): responce data structure destroyed\n"));

    log.clear();
    r = talk(port, "BREW /pot HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.data, "");
    EXPECT_TRUE(log.contains("(quorvel_http_handler, 15623): warning, could not generate request "
                             "data\n"));
    // A client that connects and goes away is simply dropped.
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_NE(fd, -1);
    ::close(fd);
    r = talk(port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(r.closed);
    quorvel_debug(0);
}

TEST_F(Kernel, TheThreadHeapIsResetBetweenConnections)
{
    if (!register_protocols())
        GTEST_SKIP() << "a server was started in this process before the protocols existed";
    ASSERT_TRUE(serve(1)); // one handler takes every connection
    uint32_t first[2] = {};
    uint32_t second[2] = {};
    Reply r = talk(port, "&heap;");
    ASSERT_EQ(r.data.size(), sizeof(first));
    std::memcpy(first, r.data.data(), sizeof(first));
    r = talk(port, "&heap;");
    ASSERT_EQ(r.data.size(), sizeof(second));
    std::memcpy(second, r.data.data(), sizeof(second));
    ASSERT_GT(first[0], 0u) << "the connection's record comes from the thread heap";
    EXPECT_GT(first[1], first[0]);
    // The block left behind by the first connection is gone.
    EXPECT_EQ(second[0], first[0]);
}

TEST_F(Kernel, DestroyCutsAProtocolHandlerWaitingOnItsClient)
{
    if (!register_protocols())
        GTEST_SKIP() << "a server was started in this process before the protocols existed";
    ASSERT_TRUE(serve(2));
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(send_text(fd, "&hold;"));
    ASSERT_TRUE(wait_flag(hold_entered));
    EXPECT_LT(timed_destroy(server), 1500);
    server = nullptr;
    EXPECT_EQ(hold_result.load(), -1);
    EXPECT_TRUE(read_to_end(fd).closed);
    ::close(fd);
}

TEST_F(Kernel, DestroyCutsAHandlerBlockedInASend)
{
    if (!register_protocols())
        GTEST_SKIP() << "a server was started in this process before the protocols existed";
    ASSERT_TRUE(serve(2));
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(send_text(fd, "&flood;"));
    ASSERT_TRUE(wait_flag(flood_entered));
    EXPECT_LT(timed_destroy(server), 1500);
    server = nullptr;
    EXPECT_EQ(flood_result.load(), -1);
    ::close(fd);
}

TEST_F(Kernel, DestroyCutsAnHttpClientThatHoldsItsConnection)
{
    quorvel_debug(1);
    ASSERT_TRUE(serve(2));
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(send_text(fd, "GET / HTTP/1.0\r\n"));
    ASSERT_TRUE(log_gets(log, "(handler_thread, 15530): received connection..\n"));
    EXPECT_LT(timed_destroy(server), 1500);
    server = nullptr;
    EXPECT_TRUE(read_to_end(fd).closed);
    ::close(fd);
    quorvel_debug(0);
}

TEST_F(Kernel, DestroyUnderLoadIsQuickAndClean)
{
    if (!register_protocols())
        GTEST_SKIP() << "a server was started in this process before the protocols existed";
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(serve(2));
        std::atomic<bool> stop{false};
        std::atomic<int> answered{0};
        std::thread clients[4];
        for (std::thread& t : clients)
            t = std::thread([&] {
                for (int i = 0; i < 2000 && !stop.load(); ++i) {
                    int fd = qtest::connect_loopback(port, 1000);
                    if (fd == -1)
                        return;
                    if (send_text(fd, i % 2 ? "&echo;abcd" : "GET / HTTP/1.0\r\n\r\n") &&
                        read_to_end(fd).data == (i % 2 ? "abcd" : ""))
                        answered.fetch_add(1);
                    ::close(fd);
                }
            });
        // Destroy while connections come and go.
        int64_t deadline = monotonic_ms() + WAIT_MS;
        while (answered.load() < 20 && monotonic_ms() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_GE(answered.load(), 20);
        EXPECT_LT(timed_destroy(server), 1500);
        server = nullptr;
        stop.store(true);
        for (std::thread& t : clients)
            t.join();
        ASSERT_EQ(settle_threads(baseline), baseline);
    }
}

TEST_F(Kernel, TheRequestDeadlineCountsFromTheAccept)
{
    ASSERT_EQ(quorvel_obj_set(quorvel_get_sys(), quorvel_attrib_request_timeout, 1), 0);
    ASSERT_TRUE(serve(1));
    int fd = qtest::connect_loopback(port, WAIT_MS);
    ASSERT_NE(fd, -1);
    int64_t began = monotonic_ms();
    // A client that keeps trickling never finishes its head: the deadline ends it.
    bool closed = false;
    for (int i = 0; i < 40 && !closed; ++i) {
        send_text(fd, i == 0 ? "GET / HTTP/1.0\r\nX: " : "x");
        pollfd wait{fd, POLLIN, 0};
        closed = ::poll(&wait, 1, 200) == 1;
    }
    int64_t took = monotonic_ms() - began;
    EXPECT_TRUE(closed);
    EXPECT_TRUE(read_to_end(fd).closed);
    ::close(fd);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(log_gets(log, "error (socket_fillbuffer, 9865): connection timed out\n"));
    set_request_timeout_seconds(DEFAULT_REQUEST_TIMEOUT_SECONDS);
}

TEST_F(Kernel, EveryBubbleNameIsTriedAndTheScanGoesOn)
{
    qtest::TempDir bubbles;
    bubbles.write("a.bbl", "x");
    bubbles.write("b.bbl.old", "x");
    bubbles.write("c.txt", "x");
    quorvel_debug(1);
    server = make(1);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_bubbles, bubbles.path().c_str()), 0);
    EXPECT_EQ(quorvel_obj_start(server), 0);
    EXPECT_TRUE(log.contains("(quorvel_obj_start, 16347): checking for bubbles in " +
                             bubbles.path() + "...\n"));
    EXPECT_TRUE(log.contains("error (quorvel_obj_start, 16376): could not load bubble a.bbl\n"));
    EXPECT_TRUE(
        log.contains("error (quorvel_obj_start, 16376): could not load bubble b.bbl.old\n"));
    EXPECT_FALSE(log.contains("c.txt"));
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS), 0);
    quorvel_debug(0);
}

TEST_F(Kernel, AMissingBubbleDirectoryIsReportedAndTheStartGoesOn)
{
    server = make(1);
    ASSERT_NE(server, nullptr);
    const std::string missing = root.file("gone");
    std::filesystem::create_directory(missing);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_bubbles, missing.c_str()), 0);
    std::filesystem::remove(missing);
    log.clear();
    EXPECT_EQ(quorvel_obj_start(server), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(log.text(), "error (quorvel_obj_start, 16355): No such file or directory\n");
    EXPECT_EQ(quorvel_obj_get(server, quorvel_attrib_status, WAIT_MS), 0);
}
