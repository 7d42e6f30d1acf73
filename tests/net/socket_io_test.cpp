#include "net/socket.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "platform/os.h"
#include "support/support.h"
#include "support/wire.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorvel;
using qtest::connection;
using qtest::read_some;
using qtest::send_all;
using Pair = qtest::SocketPair;

namespace {

// A connected pair of stream sockets: `mine` goes into a record, `peer` plays the client.

bool readable_now(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

// Bytes that tell their own offset, so a repeat or a gap shows.
std::string pattern(size_t n)
{
    std::string text(n, '\0');
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    return text;
}

int64_t elapsed_since(int64_t start)
{
    return monotonic_ms() - start;
}

} // namespace

TEST(SocketIo, ArgumentErrorsAreReportedWithTheirCodes)
{
    qtest::ErrorLog log;
    EXPECT_EQ(socket_snd(nullptr, "x", 0), 0);
    EXPECT_EQ(socket_snd(nullptr, "x", 1), -1);
    qtest::expect_report(
        log, "error (socket_snd, 5496): provided socket not connected or invalid\n", EINVAL, 160);

    quorvel::socket* idle = socket_create(8080);
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(socket_snd(idle, "x", 1), -1);
    qtest::expect_report(
        log, "error (socket_snd, 5496): provided socket not connected or invalid\n", EINVAL, 160);
    idle->flags |= SOCK_CONNECTED | SOCK_BUFFERED;
    EXPECT_EQ(socket_snd(idle, "x", 1), -1);
    qtest::expect_report(log, "error (socket_snd, 5506): null or invalid argument\n", EINVAL, 160);
    idle->flags &= ~(SOCK_CONNECTED | SOCK_BUFFERED);
    EXPECT_EQ(socket_unbufsnd(nullptr, "x", 1), -1);
    qtest::expect_report(log, "error (socket_unbufsnd, 5381): null argument passed\n", EINVAL, 160);
    EXPECT_EQ(socket_unbufsnd(idle, "x", 1), -1);
    qtest::expect_report(
        log, "error (socket_unbufsnd, 5392): provided socket not connected or invalid\n", EBADF,
        20);
    char out[4];
    EXPECT_EQ(socket_rcv(idle, out, sizeof(out)), -1);
    qtest::expect_report(
        log, "error (socket_rcv, 9923): provided socket not connected or invalid\n", EINVAL, 160);
    EXPECT_EQ(socket_unbufrcv(idle, out, sizeof(out)), -1);
    qtest::expect_report(
        log, "error (socket_unbufrcv, 9579): provided socket not connected or invalid\n", EBADF,
        20);
    EXPECT_EQ(socket_fillbuffer(idle), -1);
    qtest::expect_report(log, "error (socket_fillbuffer, 9818): null or invalid argument\n", EINVAL,
                         160);
    EXPECT_EQ(socket_getrfree(idle), -1);
    qtest::expect_report(log, "error (socket_getrfree, 8582): null or invalid argument\n", EINVAL,
                         160);
    EXPECT_EQ(socket_readable(idle), -1);
    qtest::expect_report(log, "error (socket_readable, 8627): null or invalid argument\n", EINVAL,
                         160);
    // The writability check leaves the error codes as they were.
    clear_errors();
    EXPECT_EQ(socket_writable(nullptr), -1);
    qtest::expect_report(log, "error (socket_writable, 8811): null or invalid argument\n", 0, 0);
    EXPECT_TRUE(socket_dead(nullptr));
    EXPECT_EQ(socket_flush(nullptr), -1);
    socket_destroy(&idle);
}

TEST(SocketIo, SmallWritesGatherUntilFlushOrClose)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(socket_snd(s, "HTTP/1.0 200 OK\r\n", 17), 17);
    EXPECT_EQ(socket_snd(s, "Content-Type: text/html\r\n\r\n", 27), 27);
    EXPECT_TRUE(s->flags & SOCK_OUTPUT);
    EXPECT_FALSE(s->flags & SOCK_READY);
    EXPECT_EQ(socket_getrfree(s), 44);
    EXPECT_FALSE(readable_now(pair.peer));
    ASSERT_EQ(socket_flush(s), 0);
    EXPECT_FALSE(s->flags & SOCK_OUTPUT);
    EXPECT_EQ(read_some(pair.peer, 44), "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n");

    // Closing sends what is still buffered, then the peer sees the end.
    EXPECT_EQ(socket_snd(s, "<p>bye</p>", 10), 10);
    socket_destroy(&s);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(read_some(pair.peer, 100), "<p>bye</p>");
    EXPECT_EQ(log.text(), "");
}

TEST(SocketIo, SendingMoreThanTheCapacitySendsFullBuffersAndKeepsTheTail)
{
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    std::string body = pattern(10000);
    EXPECT_EQ(socket_snd(s, "head", 4), 4);
    EXPECT_EQ(socket_snd(s, body.data(), 10000), 10000);
    // 10004 bytes: two full buffers left, 1812 wait for the next flush.
    EXPECT_EQ(socket_getrfree(s), 10004 - 8192);
    EXPECT_EQ(read_some(pair.peer, 8192), ("head" + body).substr(0, 8192));
    EXPECT_FALSE(readable_now(pair.peer));
    ASSERT_EQ(socket_flush(s), 0);
    EXPECT_EQ(read_some(pair.peer, 1812), ("head" + body).substr(8192));
    socket_destroy(&s);
}

TEST(SocketIo, SendingDiscardsUnreadInputAndReceivingSendsPendingOutput)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    send_all(pair.peer, "abcdef");
    EXPECT_EQ(socket_fillbuffer(s), 6);
    char two[3] = {};
    EXPECT_EQ(socket_rcv(s, two, 2), 2);
    EXPECT_STREQ(two, "ab");

    EXPECT_EQ(socket_snd(s, "xyz", 3), 3);
    EXPECT_EQ(socket_getrfree(s), 3); // "cdef" went with the switch to output
    send_all(pair.peer, "123");
    char three[4] = {};
    EXPECT_EQ(socket_rcv(s, three, 3), 3);
    EXPECT_STREQ(three, "123");
    EXPECT_TRUE(s->flags & SOCK_READY);
    EXPECT_FALSE(s->flags & SOCK_OUTPUT);
    EXPECT_EQ(read_some(pair.peer, 3), "xyz");

    // A refill called directly sends pending output too instead of wiping it.
    EXPECT_EQ(socket_snd(s, "late", 4), 4);
    send_all(pair.peer, "!");
    EXPECT_EQ(socket_fillbuffer(s), 1);
    EXPECT_EQ(read_some(pair.peer, 4), "late");

    // An unbuffered send after buffered input never sends that input back.
    send_all(pair.peer, "input");
    EXPECT_EQ(socket_fillbuffer(s), 5);
    EXPECT_EQ(socket_unbufsnd(s, "raw", 3), 3);
    EXPECT_EQ(socket_flush(s), 0);
    EXPECT_EQ(read_some(pair.peer, 8, 300), "raw");
    socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

TEST(SocketIo, RefillTakesALargeArrivedRequestAtOnceAndGrowsApartFromTheBlock)
{
    ASSERT_EQ(quorvel_init(), 0);
    ASSERT_EQ(thread_heap_attach(262144), 0);
    Pair pair;
    int big = 1 << 20;
    ASSERT_EQ(::setsockopt(pair.peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big)), 0);
    quorvel::socket* s = connection(pair.mine, 4096);
    ASSERT_NE(s, nullptr);
    heap_record* heap = thread_heap_current();
    ASSERT_NE(heap, nullptr);
    buffer* inline_buffer = s->buffer;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(inline_buffer) % 16, 0u);
    EXPECT_EQ(s->buffer->data, reinterpret_cast<char*>(s->buffer + 1));

    std::string request = pattern(50000);
    ASSERT_EQ(::send(pair.peer, request.data(), request.size(), MSG_DONTWAIT), 50000);
    EXPECT_EQ(socket_fillbuffer(s), 50000);
    EXPECT_EQ(s->buffer, inline_buffer);
    EXPECT_EQ(buffer_getcapacity(s->buffer), 50000u);
    EXPECT_EQ(s->grown, s->buffer->data);
    EXPECT_EQ(std::string(s->buffer->data, 50000), request);
    EXPECT_EQ(s->buffer->data[50000], '\0');

    // The grown area serves later refills and is replaced when a larger request comes.
    send_all(pair.peer, "next");
    EXPECT_EQ(socket_fillbuffer(s), 4);
    EXPECT_STREQ(s->buffer->data, "next");
    std::string larger = pattern(70000);
    ASSERT_EQ(::send(pair.peer, larger.data(), larger.size(), MSG_DONTWAIT), 70000);
    EXPECT_EQ(socket_fillbuffer(s), 70000);
    EXPECT_EQ(s->grown, s->buffer->data);
    char first[5] = {};
    EXPECT_EQ(socket_rcv(s, first, 4), 4);
    EXPECT_EQ(std::string(first), larger.substr(0, 4));

    // One block and one grown area, both gone with the record.
    EXPECT_GT(heap->in_use, 0u);
    socket_destroy(&s);
    EXPECT_EQ(heap->in_use, 0u);
    thread_heap_detach();
}

TEST(SocketIo, PeerClosingBeforeSendingFailsTheRefillAtOnce)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    pair.close_peer();
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_fillbuffer(s), -1);
    EXPECT_LT(elapsed_since(start), 500);
    EXPECT_TRUE(s->flags & SOCK_FAILED);
    EXPECT_TRUE(socket_dead(s));
    EXPECT_EQ(log.text(), "");
    socket_destroy(&s);
}

TEST(SocketIo, SilenceForASecondEndsReceivingWithoutAMessage)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    send_all(pair.peer, "abcd");
    char out[10];
    int64_t start = monotonic_ms();
    // Four bytes arrive, the rest never does: the count delivered, not a failure.
    EXPECT_EQ(socket_rcv(s, out, sizeof(out)), 4);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_GE(elapsed_since(start), 900);
    start = monotonic_ms();
    EXPECT_EQ(socket_fillbuffer(s), -1);
    EXPECT_GE(elapsed_since(start), 900);
    EXPECT_LT(elapsed_since(start), 3000);
    EXPECT_EQ(errno, 0);
    EXPECT_FALSE(s->flags & (SOCK_FAILED | SOCK_TIMEDOUT));
    // A live, idle peer is "dead" to the refill loop but not failed.
    EXPECT_TRUE(socket_dead(s));
    EXPECT_FALSE(s->flags & SOCK_FAILED);
    send_all(pair.peer, "x");
    EXPECT_FALSE(socket_dead(s));
    EXPECT_EQ(socket_fillbuffer(s), 1); // the peeked byte is still there
    EXPECT_EQ(log.text(), "");
    socket_destroy(&s);
}

TEST(SocketIo, ZeroTimeoutFailsInputEvenWhenBytesArePending)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    s->flags |= SOCK_TIMEOUT;
    s->timeout = 5;
    ASSERT_EQ(socket_setattr(s, SOCK_TIMEOUT, SOCK_CLR), 0);
    EXPECT_EQ(s->timeout, 0);
    send_all(pair.peer, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(socket_fillbuffer(s), -1);
    EXPECT_EQ(log.text(), "error (socket_fillbuffer, 9865): connection timed out\n");
    EXPECT_EQ(s->flags & (SOCK_FAILED | SOCK_TIMEDOUT), SOCK_FAILED | SOCK_TIMEDOUT);
    socket_destroy(&s);
}

TEST(SocketIo, DeadlineBoundsEveryInputWait)
{
    qtest::ErrorLog log;
    const std::string timed_out = "error (socket_fillbuffer, 9865): connection timed out\n";

    // A peer that trickles a byte every 50 ms keeps each refill busy but not the request.
    Pair trickle;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread client([&] {
        std::unique_lock<std::mutex> hold(m);
        for (int i = 0; i < 100 && !stop; ++i) {
            if (::send(trickle.peer, "x", 1, MSG_NOSIGNAL) != 1)
                break;
            cv.wait_for(hold, std::chrono::milliseconds(50), [&] { return stop; });
        }
    });
    quorvel::socket* s = connection(trickle.mine);
    int64_t start = monotonic_ms();
    s->deadline_ms = start + 600;
    int total = 0;
    int result = 0;
    for (int i = 0; i < 200; ++i) {
        result = socket_fillbuffer(s);
        if (result < 0)
            break;
        total += result;
    }
    int64_t took = elapsed_since(start);
    {
        std::lock_guard<std::mutex> hold(m);
        stop = true;
    }
    cv.notify_all();
    client.join();
    EXPECT_EQ(result, -1);
    EXPECT_GT(total, 3);
    EXPECT_GE(took, 550);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(s->flags & (SOCK_FAILED | SOCK_TIMEDOUT), SOCK_FAILED | SOCK_TIMEDOUT);
    EXPECT_EQ(log.text(), timed_out);
    log.clear();
    socket_destroy(&s);

    // A silent peer: the deadline cuts the one-second wait short and fails the connection.
    Pair silent;
    s = connection(silent.mine);
    start = monotonic_ms();
    s->deadline_ms = start + 300;
    EXPECT_EQ(socket_fillbuffer(s), -1);
    took = elapsed_since(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 900);
    EXPECT_TRUE(s->flags & SOCK_TIMEDOUT);
    EXPECT_EQ(log.text(), timed_out);
    socket_destroy(&s);
}

TEST(SocketIo, UnbufferedReceiveTakesExactlyTheLengthOrZeroesTheRest)
{
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096, 0);
    ASSERT_EQ(s->buffer, nullptr);
    std::thread client([&] {
        send_all(pair.peer, "hel");
        send_all(pair.peer, "lo!abcd");
        pair.close_peer();
    });
    char out[10];
    EXPECT_EQ(socket_unbufrcv(s, out, 6), 6);
    EXPECT_EQ(std::string(out, 6), "hello!");
    client.join();
    std::memset(out, 'Z', sizeof(out));
    EXPECT_EQ(socket_unbufrcv(s, out, 10), -1);
    EXPECT_TRUE(s->flags & SOCK_FAILED);
    EXPECT_EQ(std::string(out, 10), std::string("abcd\0\0\0\0\0\0", 10));
    socket_destroy(&s);
}

TEST(SocketIo, FailedFlushDropsWhatLeftAndSendsTheRestExactlyOnce)
{
    qtest::ErrorLog log;
    Pair pair;
    int small = 16384;
    ASSERT_EQ(::setsockopt(pair.mine, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    quorvel::socket* s = connection(pair.mine, 262144);
    s->timeout = 1;
    std::string body = pattern(200000);
    ASSERT_EQ(socket_snd(s, body.data(), 200000), 200000);

    // Nobody reads: part of the buffer leaves, then the wait for room runs out.
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_flush(s), -1);
    EXPECT_GE(elapsed_since(start), 900);
    EXPECT_TRUE(s->flags & SOCK_TIMEDOUT);
    EXPECT_TRUE(s->flags & SOCK_OUTPUT);
    int left = socket_getrfree(s);
    EXPECT_GT(left, 0);
    EXPECT_LT(left, 200000);
    EXPECT_EQ(std::string(s->buffer->data, static_cast<size_t>(left)), body.substr(200000 - left));

    // Once the peer reads again, the rest follows and nothing comes twice.
    std::string received;
    std::thread reader([&] { received = read_some(pair.peer, 300000, 10000); });
    s->timeout = 10;
    EXPECT_EQ(socket_flush(s), 0);
    socket_destroy(&s);
    reader.join();
    EXPECT_EQ(received.size(), 200000u);
    EXPECT_TRUE(received == body);
    EXPECT_EQ(log.text(), "");
}

TEST(SocketIo, FlushToAPeerThatClosedFailsWithoutASignal)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    pair.close_peer();
    EXPECT_EQ(socket_snd(s, "lost", 4), 4);
    EXPECT_EQ(socket_flush(s), -1);
    EXPECT_EQ(log.text(),
              std::string("error (socket_unbufsnd, 5441): ") + std::strerror(EPIPE) + "\n");
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(socket_getrfree(s), 4); // nothing left, so everything is still pending
    socket_destroy(&s);
}
