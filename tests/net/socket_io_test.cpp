#include "net/socket.h"
#include "net/socket_io.h"

#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "platform/os.h"
#include "support/wire.h"

#include <future>

using namespace quorvel;
using namespace qtest;

TEST(SocketIo, SendingDiscardsUnreadInputAndReceivingSendsPendingOutput)
{
    ErrorLog log;
    SocketPair pair;
    quorvel::socket* s = connection(pair.mine);
    send_all(pair.peer, "abcdef");
    char got[4] = {};
    EXPECT_EQ(socket_rcv(s, got, 2), 2);
    EXPECT_EQ(socket_snd(s, "xyz", 3), 3);
    EXPECT_EQ(s->buffer->write_pos - s->buffer->data, 3); // "cdef" went with the switch to output
    send_all(pair.peer, "123");
    EXPECT_EQ(socket_rcv(s, got, 3), 3);
    EXPECT_STREQ(got, "123");
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
    SocketPair pair;
    int big = 1 << 20;
    ASSERT_EQ(::setsockopt(pair.peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big)), 0);
    quorvel::socket* s = connection(pair.mine, 4096);
    heap_record* heap = thread_heap_current();
    buffer* inline_buffer = s->buffer;
    // Each larger request fully arrived is taken whole; the grown area replaces the last one.
    for (size_t size : {50000, 70000}) {
        std::string request = offset_bytes(size);
        ASSERT_EQ(::send(pair.peer, request.data(), size, MSG_DONTWAIT), ssize_t(size));
        EXPECT_EQ(socket_fillbuffer(s), int(size));
        EXPECT_EQ(s->buffer, inline_buffer);
        EXPECT_EQ(s->grown, s->buffer->data);
        EXPECT_EQ(std::string(s->buffer->data, size), request);
        EXPECT_EQ(s->buffer->data[size], '\0');
    }
    // One block and one grown area, both gone with the record.
    EXPECT_GT(heap->in_use, 0u);
    socket_destroy(&s);
    EXPECT_EQ(heap->in_use, 0u);
    thread_heap_detach();
}

TEST(SocketIo, PeerClosingEarlyFailsAtOnceWithoutASignal)
{
    ErrorLog log;
    SocketPair pair;
    quorvel::socket* raw = connection(::dup(pair.mine), 4096, 0);
    quorvel::socket* out = connection(::dup(pair.mine));
    quorvel::socket* s = connection(pair.mine);
    send_all(pair.peer, "abcd");
    pair.close_peer();
    char got[11] = "ZZZZZZZZZZ";
    EXPECT_EQ(socket_unbufrcv(raw, got, 10), -1); // takes what came and zeroes the rest
    EXPECT_EQ(std::string(got, 10), std::string("abcd\0\0\0\0\0\0", 10));
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_fillbuffer(s), -1);
    EXPECT_LT(monotonic_ms() - start, 500 * TIME_SCALE);
    EXPECT_TRUE(s->flags & SOCK_FAILED);
    EXPECT_EQ(log.text(), "");
    // Output to the gone peer fails with EPIPE instead of ending the process.
    EXPECT_EQ(socket_snd(out, "lost", 4), 4);
    EXPECT_EQ(socket_flush(out), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(log.text(), "error (socket_unbufsnd, 5441): " + std::string(strerror(EPIPE)) + "\n");
    for (quorvel::socket* r : {raw, out, s})
        socket_destroy(&r);
}

TEST(SocketIo, SilenceAndDeadlinesEndReceiving)
{
    ErrorLog log;
    const std::string timed_out = "error (socket_fillbuffer, 9865): connection timed out\n";
    SocketPair pair;
    quorvel::socket* s = connection(pair.mine);
    // Four bytes arrive, the rest never does: a second's silence ends it, without a line.
    send_all(pair.peer, "abcd");
    char out[10];
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_rcv(s, out, sizeof(out)), 4);
    EXPECT_GE(monotonic_ms() - start, 900);
    EXPECT_FALSE(s->flags & (SOCK_FAILED | SOCK_TIMEDOUT)); // idle, not failed
    EXPECT_EQ(log.text(), "");

    // A deadline cuts the one-second wait short and fails the connection.
    start = monotonic_ms();
    s->deadline_ms = start + 300;
    EXPECT_EQ(socket_fillbuffer(s), -1);
    EXPECT_GE(monotonic_ms() - start, 250);
    EXPECT_EQ(s->flags & (SOCK_FAILED | SOCK_TIMEDOUT), SOCK_FAILED | SOCK_TIMEDOUT);
    EXPECT_EQ(log.text(), timed_out);
    log.clear();
    socket_destroy(&s);

    SocketPair zero; // a time-out set to 0 fails input even when bytes are waiting
    s = connection(zero.mine);
    s->flags |= SOCK_TIMEOUT;
    ASSERT_EQ(socket_setattr(s, SOCK_TIMEOUT, SOCK_CLR), 0);
    send_all(zero.peer, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(socket_fillbuffer(s), -1);
    EXPECT_EQ(log.text(), timed_out);
    socket_destroy(&s);
}

TEST(SocketIo, FailedFlushDropsWhatLeftAndSendsTheRestExactlyOnce)
{
    ErrorLog log;
    SocketPair pair;
    int small = 16384;
    ASSERT_EQ(::setsockopt(pair.mine, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    quorvel::socket* s = connection(pair.mine, 262144);
    s->timeout = 1;
    std::string body = offset_bytes(200000);
    ASSERT_EQ(socket_snd(s, body.data(), 200000), 200000);
    // Nobody reads: part of the buffer leaves, then the wait for room runs out.
    EXPECT_EQ(socket_flush(s), -1);
    EXPECT_TRUE(s->flags & SOCK_TIMEDOUT);
    auto left = static_cast<int>(s->buffer->write_pos - s->buffer->data);
    EXPECT_GT(left, 0);
    EXPECT_LT(left, 200000);
    EXPECT_EQ(std::string(s->buffer->data, size_t(left)), body.substr(200000 - left));
    // Once the peer reads again, the rest follows and nothing comes twice.
    auto received = std::async(std::launch::async, [&] { return read_some(pair.peer, 300000); });
    s->timeout = 10;
    EXPECT_EQ(socket_flush(s), 0);
    socket_destroy(&s);
    EXPECT_TRUE(received.get() == body);
    EXPECT_EQ(log.text(), "");
}
