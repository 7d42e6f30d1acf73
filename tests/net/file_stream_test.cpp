#include "net/file_stream.h"

#include "core/report.h"
#include "foundation/buffer.h"
#include "net/socket.h"
#include "platform/os.h"
#include "support/support.h"
#include "support/wire.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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
// Connections here carry a buffer of the default size unless a test asks otherwise.
quorvel::socket* connection(int fd, int32_t size = 66560, uint32_t flags = SOCK_BUFFERED)
{
    return qtest::connection(fd, size, flags);
}
} // namespace

namespace {

// A TCP connection over 127.0.0.1: a listener on a port the system picks, a client and the
// accepted end. The peer gets a receive time-out so that a silent sender fails the test.
struct TcpPair {
    int mine = -1;
    int peer = -1;
    TcpPair()
    {
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
            peer = qtest::connect_loopback(ntohs(addr.sin_port));
            if (peer != -1)
                mine = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        }
        ::close(listener);
    }
    ~TcpPair() { close_peer(); }
    void close_peer()
    {
        if (peer != -1)
            ::close(peer);
        peer = -1;
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

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Sends `text` from a thread of its own, so that a receive larger than the socket's queues
// can run on the test thread; joined at destruction.
struct Sender {
    std::thread thread;
    Sender(int fd, std::string text, bool close_after)
        : thread([fd, text = std::move(text), close_after] {
              size_t off = 0;
              while (off < text.size()) {
                  ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
                  if (n <= 0)
                      break;
                  off += static_cast<size_t>(n);
              }
              if (close_after)
                  ::shutdown(fd, SHUT_WR);
          })
    {}
    ~Sender() { thread.join(); }
};

bool sigpipe_blocked()
{
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) == 1;
}

bool sigpipe_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

// socket_streamfile: the kernel's file transmission.

TEST(StreamFile, SendsA3MiBFileWholeOverTcpAfterPendingOutput)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(3u << 20);
    std::string path = dir.write("big.bin", body);
    TcpPair pair;
    ASSERT_NE(pair.mine, -1);
    quorvel::socket* s = connection(pair.mine);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(socket_snd(s, "HEAD\r\n", 6), 6);

    std::string got;
    std::thread reader([&] {
        got = read_to_end(pair.peer);
        pair.close_peer();
    });
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), 0);
    EXPECT_EQ(errno, 0);
    // The transfer area is empty again, and the handle blocks as it did.
    EXPECT_EQ(s->buffer->write_pos, s->buffer->data);
    EXPECT_FALSE(::fcntl(s->fd[0], F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(sigpipe_blocked());
    socket_destroy(&s);
    reader.join();
    ASSERT_EQ(got.size(), body.size() + 6);
    EXPECT_EQ(got.substr(0, 6), "HEAD\r\n");
    EXPECT_TRUE(got.compare(6, std::string::npos, body) == 0);
    EXPECT_EQ(log.text(), "");
}

TEST(StreamFile, SendsExactlyTheLengthAndFailsWhenTheFileIsShorter)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(1000);
    std::string path = dir.write("small.bin", body);
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 100), 0);
    EXPECT_EQ(read_some(pair.peer, 1000, 300), body.substr(0, 100));

    // The peer was promised 2000 bytes: the call must not pass for a success.
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 2000), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(read_some(pair.peer, 2000, 300), body);

    std::string empty = dir.write("empty.bin", "");
    EXPECT_EQ(socket_streamfile(s, empty.c_str(), 0), 0);
    ::shutdown(s->fd[0], SHUT_WR);
    EXPECT_EQ(read_to_end(pair.peer), "");
    pair.close_peer();
    socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

TEST(StreamFile, RefusesBadArgumentsAndFailsSilentlyForMissingFiles)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string path = dir.write("f.txt", "data");
    Pair pair;
    quorvel::socket* s = connection(pair.mine);

    EXPECT_EQ(socket_streamfile(s, nullptr, 0), -1);
    EXPECT_EQ(socket_streamfile(s, dir.file("missing").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    // A directory or a FIFO is no file to send (opening a FIFO could block forever).
    EXPECT_EQ(socket_streamfile(s, dir.path().c_str(), 0), -1);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(socket_streamfile(s, dir.file("fifo").c_str(), 10), -1);
    EXPECT_EQ(log.text(), "");

    const std::string refused = "error (socket_streamfile, 11242): null or invalid argument\n";
    EXPECT_EQ(socket_streamfile(nullptr, path.c_str(), 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    quorvel::socket* plain = connection(::dup(pair.mine), 0, 0);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(socket_streamfile(plain, path.c_str(), 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    s->flags |= SOCK_FAILED;
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    pair.close_peer();
    socket_destroy(&plain);
    socket_destroy(&s);
}

TEST(StreamFile, SparseFileBeyond4GiBKeepsItsWholeSize)
{
    // 4 GiB + 100 bytes: a size cut to 32 bits would send 100 bytes and report success.
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string path = dir.file("sparse.bin");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(::ftruncate(fd, (off_t{1} << 32) + 100), 0);
    ::close(fd);

    for (int form = 0; form < 2; ++form) {
        TcpPair pair;
        ASSERT_NE(pair.mine, -1);
        quorvel::socket* s = connection(pair.mine);
        s->timeout = 10;
        size_t got = 0;
        std::thread reader([&] {
            got = read_some(pair.peer, 1u << 20).size();
            pair.close_peer();
        });
        int rc = form == 0 ? socket_streamfile(s, path.c_str(), 0)
                           : socket_stream_file(s, path.c_str(), 0);
        reader.join();
        // The peer left after 1 MiB, long before the end: the transfer fails, and the
        // process is still here although the peer had gone.
        EXPECT_EQ(rc, -1) << "form " << form;
        EXPECT_EQ(got, 1u << 20);
        EXPECT_FALSE(sigpipe_pending());
        EXPECT_FALSE(sigpipe_blocked());
        pair.close_peer();
        socket_destroy(&s);
    }
}

TEST(StreamFile, APeerThatHasGoneRaisesNoSigpipe)
{
    qtest::TempDir dir;
    std::string path = dir.write("f.bin", pattern(200000));
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    pair.close_peer();
    // The default action of SIGPIPE would end this process.
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_FALSE(sigpipe_pending());
    EXPECT_FALSE(sigpipe_blocked());

    // A thread that blocks SIGPIPE itself keeps its mask, and a SIGPIPE pending before the
    // call is not taken away.
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe_set, nullptr), 0);
    ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), -1);
    EXPECT_TRUE(sigpipe_blocked());
    EXPECT_TRUE(sigpipe_pending());
    timespec none{0, 0};
    EXPECT_EQ(sigtimedwait(&pipe_set, nullptr, &none), SIGPIPE);
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &pipe_set, nullptr), 0);
    pair.close_peer();
    socket_destroy(&s);
}

TEST(StreamFile, APeerThatStopsReadingTimesOut)
{
    qtest::TempDir dir;
    std::string path = dir.write("f.bin", pattern(4u << 20));
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    s->timeout = 1;
    int64_t start = monotonic_ms();
    EXPECT_EQ(socket_streamfile(s, path.c_str(), 0), -1);
    int64_t took = monotonic_ms() - start;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 10000);
    EXPECT_TRUE(s->flags & SOCK_TIMEDOUT);
    EXPECT_EQ(errno, ETIMEDOUT);
    pair.close_peer();
    socket_destroy(&s);
}

// socket_stream_file: the read-and-send loop.

TEST(StreamFileRead, SendsTheLengthOrTheWholeFileThroughTheBuffer)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(10000);
    std::string path = dir.write("f.bin", body);
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    EXPECT_EQ(socket_stream_file(s, path.c_str(), 100), 0);
    EXPECT_EQ(read_some(pair.peer, 10000, 300), body.substr(0, 100));

    // Unconsumed input is dropped, pending output leaves first, and a file larger than the
    // buffer goes out whole.
    send_all(pair.peer, "input");
    ASSERT_EQ(socket_fillbuffer(s), 5);
    EXPECT_EQ(socket_snd(s, "out:", 4), 4);
    EXPECT_EQ(socket_stream_file(s, path.c_str(), 0), 0);
    EXPECT_EQ(read_some(pair.peer, 20000, 300), "out:" + body);
    EXPECT_EQ(socket_getrfree(s), 0);
    EXPECT_EQ(log.text(), "");
    pair.close_peer();
    socket_destroy(&s);
}

TEST(StreamFileRead, ReportsMissingFilesShortFilesAndBadArguments)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string path = dir.write("f.bin", pattern(1000));
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);

    EXPECT_EQ(socket_stream_file(s, path.c_str(), 2000), -1);
    qtest::expect_report(
        log, "error (socket_stream_file, 11395): i/o error encountered streaming, " + path + "\n",
        EIO, 0);
    EXPECT_EQ(read_some(pair.peer, 2000, 300).size(), 1000u);

    std::string missing = dir.file("missing");
    EXPECT_EQ(socket_stream_file(s, missing.c_str(), 0), -1);
    qtest::expect_report(log, "error (socket_streamfile, 11372): No such file or directory\n",
                         ENODEV, 0);
    EXPECT_EQ(socket_stream_file(s, dir.path().c_str(), 0), -1);
    qtest::expect_report(log, "error (socket_streamfile, 11372): Is a directory\n", ENODEV, 0);

    const std::string refused = "error (socket_streamfile, 11351): null or invalid argument\n";
    EXPECT_EQ(socket_stream_file(nullptr, path.c_str(), 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    EXPECT_EQ(socket_stream_file(s, nullptr, 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    quorvel::socket* plain = connection(::dup(pair.mine), 0, 0);
    EXPECT_EQ(socket_stream_file(plain, path.c_str(), 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    pair.close_peer();
    socket_destroy(&plain);
    socket_destroy(&s);
}

// socket_receivefile.

TEST(ReceiveFile, SmallFileArrivesWholeThroughTheMapping)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(5000);
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    send_all(pair.peer, body);
    std::string path = dir.file("in.bin");
    EXPECT_EQ(socket_receivefile(s, path.c_str(), body.size()), 0);
    EXPECT_EQ(qtest::read_file(path), body);
    EXPECT_TRUE(s->flags & SOCK_READY);
    EXPECT_EQ(log.text(), "");
    pair.close_peer();
    socket_destroy(&s);
}

TEST(ReceiveFile, LargeFileArrivesWholeInChunks)
{
    qtest::TempDir dir;
    std::string body = pattern(RECEIVE_MAP_LIMIT + 123457);
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    std::string path = dir.file("in.bin");
    {
        Sender sender(pair.peer, body, false);
        EXPECT_EQ(socket_receivefile(s, path.c_str(), body.size()), 0);
    }
    EXPECT_TRUE(qtest::read_file(path) == body);
    // The buffer served as the transfer area and is empty and zeroed again.
    EXPECT_EQ(s->buffer->write_pos, s->buffer->data);
    EXPECT_EQ(std::count(s->buffer->data, s->buffer->data + s->buffer->capacity, '\0'),
              static_cast<long>(s->buffer->capacity));
    pair.close_peer();
    socket_destroy(&s);
}

TEST(ReceiveFile, BytesAlreadyBufferedComeFirstAndWhatFollowsStays)
{
    qtest::TempDir dir;
    for (size_t size : {size_t{3000}, size_t{RECEIVE_MAP_LIMIT}}) {
        SCOPED_TRACE(size);
        std::string body = pattern(size);
        Pair pair;
        quorvel::socket* s = connection(pair.mine);
        std::string path = dir.file("in.bin");
        // A record, the file and the next message in one stream; the first receive pulls
        // part of the file into the buffer.
        {
            Sender sender(pair.peer, "REC:" + body + "NEXT", false);
            char head[5] = {};
            ASSERT_EQ(socket_rcv(s, head, 4), 4);
            ASSERT_STREQ(head, "REC:");
            ASSERT_GT(s->buffer->write_pos - s->buffer->read_pos, 0);
            EXPECT_EQ(socket_receivefile(s, path.c_str(), size), 0);
            EXPECT_TRUE(qtest::read_file(path) == body);
            char next[5] = {};
            EXPECT_EQ(socket_rcv(s, next, 4), 4);
            EXPECT_STREQ(next, "NEXT");
        }
        pair.close_peer();
        socket_destroy(&s);
    }

    // The whole file and more already waiting: the file comes from the buffer alone.
    Pair pair;
    quorvel::socket* s = connection(pair.mine);
    send_all(pair.peer, "abcdefghij");
    char first[2] = {};
    ASSERT_EQ(socket_rcv(s, first, 1), 1);
    std::string path = dir.file("tiny.bin");
    EXPECT_EQ(socket_receivefile(s, path.c_str(), 4), 0);
    EXPECT_EQ(qtest::read_file(path), "bcde");
    char rest[6] = {};
    EXPECT_EQ(socket_rcv(s, rest, 5), 5);
    EXPECT_STREQ(rest, "fghij");
    pair.close_peer();
    socket_destroy(&s);
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
        EXPECT_FALSE(exists(path));
        EXPECT_TRUE(s->flags & SOCK_FAILED);
        pair.close_peer();
        socket_destroy(&s);
    }
}

TEST(ReceiveFile, RefusesZeroLengthUnconnectedAndSslSockets)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string path = dir.file("in.bin");
    const std::string refused =
        "error (socket_receivefile, 11093): provided socket not connected or invalid\n";
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    EXPECT_EQ(socket_receivefile(s, path.c_str(), 0), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    EXPECT_EQ(socket_receivefile(nullptr, path.c_str(), 10), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    EXPECT_EQ(socket_receivefile(s, nullptr, 10), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    s->ssl = 1;
    EXPECT_EQ(socket_receivefile(s, path.c_str(), 10), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    s->ssl = 0;
    quorvel::socket* plain = connection(::dup(pair.mine), 0, 0);
    // Without a buffer a large file has no transfer area.
    EXPECT_EQ(socket_receivefile(plain, path.c_str(), RECEIVE_MAP_LIMIT), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    // A small one goes straight into the mapping.
    send_all(pair.peer, "0123456789");
    EXPECT_EQ(socket_receivefile(plain, path.c_str(), 10), 0);
    EXPECT_EQ(qtest::read_file(path), "0123456789");
    EXPECT_FALSE(exists(dir.file("never")));
    pair.close_peer();
    socket_destroy(&plain);
    socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

// quorvel_file_uuencode.

namespace {

// Encodes a file holding `text` and returns what the peer received.
std::string encode(const std::string& text, int* rc = nullptr, int* err = nullptr)
{
    qtest::TempDir dir;
    std::string path = dir.write("t.txt", text);
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    int result = quorvel_file_uuencode(s, path.c_str());
    if (err != nullptr)
        *err = errno;
    if (rc != nullptr)
        *rc = result;
    // The output waits in the buffer; end it so that the peer can read to the end.
    EXPECT_EQ(socket_flush(s), 0);
    ::shutdown(s->fd[0], SHUT_WR);
    std::string out = read_to_end(pair.peer);
    pair.close_peer();
    socket_destroy(&s);
    return out;
}

} // namespace

TEST(Uuencode, EscapesEverythingButLettersDigitsAndAFewSigns)
{
    EXPECT_EQ(encode("a<b>&c\n"), "a&#60;b&#62;&#38;c\r\n");
    EXPECT_EQ(encode("\n"), "\r\n");
    EXPECT_EQ(encode("\xE9\n"), "&#233;\r\n");
    EXPECT_EQ(encode("x/y*z+1-2#3 \\\t.;\"'\n"), "x/y*z+1-2#3 \\\t&#46;&#59;&#34;&#39;\r\n");
    // Line ends of either kind, a last line without one, and a NUL or CR cutting a line.
    EXPECT_EQ(encode("ab\r\ncd\r\n\r\nlast"), "ab\r\ncd\r\n\r\nlast\r\n");
    EXPECT_EQ(encode(std::string("a\0b\nc\rd\n", 8)), "a\r\nc\r\n");
    EXPECT_EQ(encode(""), "");
}

TEST(Uuencode, LongLinesArriveInPiecesOf511Characters)
{
    std::string line(600, 'x');
    EXPECT_EQ(encode(line + "\nz\n"),
              std::string(511, 'x') + "\r\n" + std::string(89, 'x') + "\r\nz\r\n");
    // A line of exactly 511 characters is one line, whichever line end follows it.
    std::string full(511, 'y');
    EXPECT_EQ(encode(full + "\n" + full + "\r\n" + full),
              full + "\r\n" + full + "\r\n" + full + "\r\n");
    EXPECT_EQ(encode(std::string(1022, 'w') + "\n"),
              std::string(511, 'w') + "\r\n" + std::string(511, 'w') + "\r\n");
}

TEST(Uuencode, ALineWhoseReferencesDoNotFitIsRefused)
{
    qtest::ErrorLog log;
    // 426 references of 6 bytes fill 2556 bytes; with CR LF and the terminator that is 2559.
    int rc = 0;
    std::string expected;
    for (int i = 0; i < 426; ++i)
        expected += "&#255;";
    EXPECT_EQ(encode(std::string(426, '\xFF') + "\n", &rc), expected + "\r\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(log.text(), "");

    // 427 do not fit; the lines before it have been sent.
    int err = 0;
    std::string out = encode("ok\n" + std::string(427, '\xFF') + "\n", &rc, &err);
    EXPECT_EQ(err, ENOSPC);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, "ok\r\n");
    EXPECT_EQ(log.text(), "error (quorvel_file_uuencode, 5605): internal buffer too small\n");
}

TEST(Uuencode, AMissingFileFailsSilently)
{
    qtest::ErrorLog log;
    Pair pair;
    quorvel::socket* s = connection(pair.mine, 4096);
    EXPECT_EQ(quorvel_file_uuencode(s, "/nonexistent/quorvel/file"), -1);
    EXPECT_EQ(quorvel_file_uuencode(s, nullptr), -1);
    EXPECT_EQ(quorvel_file_uuencode(nullptr, "unused"), -1);
    EXPECT_EQ(log.text(), "");
    pair.close_peer();
    socket_destroy(&s);
}
