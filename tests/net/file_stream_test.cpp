#include "net/file_stream.h"

#include "core/report.h"
#include "foundation/buffer.h"
#include "net/socket.h"
#include "platform/os.h"
#include "support/support.h"
#include "support/wire.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;
using qtest::read_some;
using qtest::read_to_end;
using qtest::send_all;
using Pair = qtest::SocketPair;

namespace {

quorvel::socket* connection(int fd, int32_t size = 66560, uint32_t flags = SOCK_BUFFERED)
{
    return qtest::connection(fd, size, flags);
}

// A TCP connection over 127.0.0.1 on a port the system picks: `mine` accepted, `peer` the
// client (closed at destruction unless closed before).
struct TcpPair : Pair {
    TcpPair()
    {
        ::close(mine);
        ::close(peer);
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof(addr);
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
        peer = qtest::connect_loopback(ntohs(addr.sin_port));
        mine = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
    }
};

// Bytes that tell their own offset, so a repeat or a gap shows.
std::string pattern(size_t n)
{
    std::string text(n, '\0');
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return text;
}

bool sigpipe(int which) // 0: blocked in this thread, 1: pending
{
    sigset_t set;
    which == 0 ? pthread_sigmask(SIG_SETMASK, nullptr, &set) : sigpending(&set);
    return sigismember(&set, SIGPIPE) == 1;
}

// Sends `text` from a thread of its own, so that a transfer larger than the socket's queues
// can run on the test thread; joined at destruction.
struct Sender {
    std::thread thread;
    Sender(int fd, std::string text, bool close_after)
        : thread([fd, text = std::move(text), close_after] {
              for (size_t off = 0; off < text.size();) {
                  ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
                  if (n <= 0)
                      break;
                  off += size_t(n);
              }
              if (close_after)
                  ::shutdown(fd, SHUT_WR);
          })
    {}
    ~Sender() { thread.join(); }
};

} // namespace

TEST(StreamFile, SendsA3MiBFileWholeOverTcpAfterPendingOutput)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(3u << 20);
    std::string path = dir.write("big.bin", body);
    // Both forms: the kernel's transmission and the read-and-send loop.
    for (auto transfer : {socket_streamfile, socket_stream_file}) {
        TcpPair pair;
        quorvel::socket* s = connection(pair.mine);
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(socket_snd(s, "HEAD\r\n", 6), 6);
        std::string got;
        std::thread reader([&] { got = read_to_end(pair.peer); });
        EXPECT_EQ(transfer(s, path.c_str(), 0), 0);
        EXPECT_FALSE(::fcntl(s->fd[0], F_GETFL) & O_NONBLOCK); // blocks as it did
        EXPECT_FALSE(sigpipe(0));
        socket_destroy(&s);
        reader.join();
        EXPECT_TRUE(got == "HEAD\r\n" + body);
    }
    EXPECT_EQ(log.text(), "");
}

TEST(StreamFile, SendsExactlyTheLengthAndFailsWhenTheFileIsShorter)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(1000);
    std::string path = dir.write("small.bin", body);
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    for (auto transfer : {socket_streamfile, socket_stream_file}) {
        EXPECT_EQ(transfer(s, path.c_str(), 100), 0);
        EXPECT_EQ(read_some(pair.peer, 1000, 300), body.substr(0, 100));
        // The peer was promised 2000 bytes: the call must not pass for a success.
        EXPECT_EQ(transfer(s, path.c_str(), 2000), -1);
        EXPECT_EQ(read_some(pair.peer, 2000, 300), body);
        // A directory is no file to send.
        EXPECT_EQ(transfer(s, dir.path().c_str(), 0), -1);
    }
    qtest::expect_report(log,
                         "error (socket_stream_file, 11395): i/o error encountered streaming, " +
                             path + "\nerror (socket_streamfile, 11372): Is a directory\n",
                         ENODEV, 0);
    // Opening a FIFO could block forever.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(socket_streamfile(s, dir.file("fifo").c_str(), 10), -1);
    quorvel::socket* plain = connection(::dup(pair.mine), 0, 0);
    EXPECT_EQ(socket_streamfile(plain, path.c_str(), 0), -1);
    qtest::expect_report(log, "error (socket_streamfile, 11242): null or invalid argument\n",
                         EINVAL, 160);
    socket_destroy(&plain);
    socket_destroy(&s);
}

TEST(StreamFile, SparseFileBeyond4GiBKeepsItsWholeSize)
{
    // 4 GiB + 100 bytes: a size cut to 32 bits would send 100 bytes and report success.
    qtest::TempDir dir;
    std::string path = dir.write("sparse.bin", "");
    ASSERT_EQ(::truncate(path.c_str(), (off_t{1} << 32) + 100), 0);
    for (auto transfer : {socket_streamfile, socket_stream_file}) {
        TcpPair pair;
        quorvel::socket* s = connection(pair.mine);
        s->timeout = 10;
        size_t got = 0;
        std::thread reader([&] {
            got = read_some(pair.peer, 1u << 20).size();
            pair.close_peer();
        });
        int rc = transfer(s, path.c_str(), 0);
        reader.join();
        // The peer left after 1 MiB: the transfer fails, and no SIGPIPE ends the process.
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(got, 1u << 20);
        EXPECT_FALSE(sigpipe(1));
        socket_destroy(&s);
    }
}

TEST(StreamFile, APeerThatHasGoneOrStopsReading)
{
    qtest::TempDir dir;
    std::string path = dir.write("f.bin", pattern(4u << 20));
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    s->timeout = 1;
    // Nobody reads: the short time-out ends the transfer.
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), -1);
    EXPECT_TRUE(s->flags & SOCK_TIMEDOUT);
    EXPECT_EQ(errno, ETIMEDOUT);

    // A thread that blocks SIGPIPE itself keeps its mask, and a pending SIGPIPE stays.
    quorvel::socket* timed_out = s;
    s = connection(::dup(pair.mine));
    pair.close_peer();
    socket_destroy(&timed_out);
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr), 0);
    ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_TRUE(sigpipe(0) && sigpipe(1));
    timespec none{0, 0};
    EXPECT_EQ(sigtimedwait(&pipe_set, nullptr, &none), SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &pipe_set, nullptr), 0);
    socket_destroy(&s);
}

TEST(ReceiveFile, FileArrivesWholeAfterWhatWasBuffered)
{
    qtest::TempDir dir;
    std::string path = dir.file("in.bin");
    // Through the mapping and, above its limit, in chunks through the buffer.
    for (size_t size : {size_t{3000}, size_t{RECEIVE_MAP_LIMIT}, RECEIVE_MAP_LIMIT + 123457}) {
        SCOPED_TRACE(size);
        std::string body = pattern(size);
        Pair pair;
        quorvel::socket* s = connection(pair.mine);
        {
            // A record, the file and the next message in one stream; the first receive pulls
            // part of the file into the buffer, and that part must come first.
            Sender sender(pair.peer, "REC:" + body + "NEXT", false);
            char head[5] = {};
            ASSERT_EQ(socket_rcv(s, head, 4), 4);
            ASSERT_GT(s->buffer->write_pos - s->buffer->read_pos, 0);
            EXPECT_EQ(socket_receivefile(s, path.c_str(), size), 0);
            EXPECT_TRUE(qtest::read_file(path) == body);
            EXPECT_EQ(socket_rcv(s, head, 4), 4);
            EXPECT_STREQ(head, "NEXT");
        }
        socket_destroy(&s);
    }
}

TEST(ReceiveFile, APeerThatSendsTooLittleAndClosesLeavesNoFile)
{
    qtest::TempDir dir;
    for (size_t size : {size_t{5000}, size_t{RECEIVE_MAP_LIMIT + 10}}) {
        SCOPED_TRACE(size);
        Pair pair;
        quorvel::socket* s = connection(pair.mine, 4096);
        // An older file of that name goes too: a failed receive leaves nothing behind.
        std::string path = dir.write("in.bin", "older contents");
        {
            Sender sender(pair.peer, pattern(size / 2), true);
            EXPECT_EQ(socket_receivefile(s, path.c_str(), size), -1);
        }
        struct stat st {};
        EXPECT_NE(::stat(path.c_str(), &st), 0);
        EXPECT_TRUE(s->flags & SOCK_FAILED);
        socket_destroy(&s);
    }
}

TEST(ReceiveFile, RefusesZeroLengthSslAndLargeFilesWithoutABuffer)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string path = dir.file("in.bin");
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    quorvel::socket* plain = connection(::dup(pair.mine), 0, 0);
    const struct {
        quorvel::socket* rec;
        uint64_t size;
        int ssl;
    } rows[] = {{s, 0, 0}, {s, 10, 1}, {plain, RECEIVE_MAP_LIMIT, 0}};
    for (const auto& row : rows) {
        row.rec->ssl = row.ssl;
        EXPECT_EQ(socket_receivefile(row.rec, path.c_str(), row.size), -1);
        qtest::expect_report(
            log, "error (socket_receivefile, 11093): provided socket not connected or invalid\n",
            EINVAL, 160);
    }
    s->ssl = 0;
    // A small file without a buffer goes straight into the mapping.
    send_all(pair.peer, "0123456789");
    EXPECT_EQ(socket_receivefile(plain, path.c_str(), 10), 0);
    EXPECT_EQ(qtest::read_file(path), "0123456789");
    socket_destroy(&plain);
    socket_destroy(&s);
}

// Encodes a file holding `text` and returns what the peer received.
static std::string encode(const std::string& text, int* rc = nullptr)
{
    qtest::TempDir dir;
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    int result = quorvel_file_uuencode(s, dir.write("t.txt", text).c_str());
    if (rc != nullptr)
        *rc = result == 0 ? 0 : errno;
    EXPECT_EQ(socket_flush(s), 0);
    socket_destroy(&s);
    return read_to_end(pair.peer);
}

TEST(Uuencode, EscapesAndCutsLinesAsPublished)
{
    std::string refs;
    for (int i = 0; i < 426; ++i)
        refs += "&#255;";
    const std::string full(511, 'y');
    const struct {
        std::string in, out;
    } rows[] = {
        {"a<b>&c\n", "a&#60;b&#62;&#38;c\r\n"},
        {"\xE9\n", "&#233;\r\n"},
        {"x/y*z+1-2#3 \\\t.;\"'\n", "x/y*z+1-2#3 \\\t&#46;&#59;&#34;&#39;\r\n"},
        // Line ends of either kind, a last line without one, a NUL or CR cutting a line.
        {"ab\r\ncd\r\n\r\nlast", "ab\r\ncd\r\n\r\nlast\r\n"},
        {std::string("a\0b\nc\rd\n", 8), "a\r\nc\r\n"},
        {"", ""},
        // Pieces of 511 characters; a line of exactly 511 is one line.
        {std::string(600, 'x') + "\nz\n",
         std::string(511, 'x') + "\r\n" + std::string(89, 'x') + "\r\nz\r\n"},
        {full + "\n" + full + "\r\n" + full, full + "\r\n" + full + "\r\n" + full + "\r\n"},
        // 426 references of 6 bytes with CR LF and the terminator fill 2559 bytes.
        {std::string(426, '\xFF') + "\n", refs + "\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.in);
        EXPECT_EQ(encode(row.in), row.out);
    }
    // 427 do not fit; the lines before it have been sent.
    qtest::ErrorLog log;
    int rc = 0;
    EXPECT_EQ(encode("ok\n" + std::string(427, '\xFF') + "\n", &rc), "ok\r\n");
    EXPECT_EQ(rc, ENOSPC);
    EXPECT_EQ(log.text(), "error (quorvel_file_uuencode, 5605): internal buffer too small\n");
    EXPECT_EQ(quorvel_file_uuencode(nullptr, "unused"), -1);
}
