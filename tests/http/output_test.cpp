#include "core/envelope.h"
#include "core/report.h"
#include "foundation/buffer.h"
#include "http/request.h"
#include "net/socket.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support/support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;

namespace {

// One end of a socket pair inside a connection record, made as an accepted one is; the
// other end plays the client.
struct Connection {
    int peer = -1;
    quorvel::socket* sock = nullptr;
    Connection()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        peer = fds[1];
        quorvel::socket proto{};
        proto.port = 80;
        proto.fd[0] = fds[0];
        proto.fd[1] = -1;
        proto.timeout = SOCKET_DEFAULT_TIMEOUT;
        proto.sndbuf = 4096;
        proto.rcvbuf = 4096;
        proto.flags = SOCK_BUFFERED | SOCK_CONNECTED;
        sock = socket_dup(&proto);
    }
    ~Connection()
    {
        close_peer();
        socket_destroy(&sock);
    }
    void close_peer()
    {
        if (peer != -1)
            ::close(peer);
        peer = -1;
    }
    // Sends what the record still buffers and ends its direction, so the peer reads to the end.
    std::string finish()
    {
        socket_flush(sock);
        ::shutdown(sock->fd[0], SHUT_WR);
        std::string got;
        char chunk[8192];
        int64_t end = monotonic_ms() + 10000;
        for (;;) {
            int64_t left = end - monotonic_ms();
            pollfd p{peer, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            ssize_t n = ::recv(peer, chunk, sizeof(chunk), 0);
            if (n <= 0)
                break;
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
};

std::string pattern(size_t n)
{
    std::string text(n, '\0');
    for (size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return text;
}

} // namespace

TEST(FileStream, RefusesMissingHandlesPathsAndOtherObjects)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string path = dir.write("f.txt", "x");
    const std::string missing =
        "error (quorvel_file_stream, 16417): operation not supported for provided object\n";
    EXPECT_EQ(quorvel_file_stream(nullptr, path.c_str(), 0, 0), -1);
    qtest::expect_report(log, missing, EINVAL, 160);
    envelope empty{quorvel_obj_stream, nullptr, 0};
    EXPECT_EQ(quorvel_file_stream(&empty, path.c_str(), 0, 0), -1);
    qtest::expect_report(log, missing, EINVAL, 160);
    Connection c;
    envelope stream{quorvel_obj_stream, c.sock, 0};
    EXPECT_EQ(quorvel_file_stream(&stream, nullptr, 0, QUORVEL_STREAM_SEND), -1);
    qtest::expect_report(log, missing, EINVAL, 160);

    // A server (or any other object) has no connection to stream over.
    int record = 0;
    for (uint32_t type : {quorvel_obj_server, quorvel_obj_log, quorvel_obj_buffer}) {
        envelope other{type, &record, 0};
        EXPECT_EQ(quorvel_file_stream(&other, path.c_str(), 0, QUORVEL_STREAM_SEND), -1);
        qtest::expect_report(
            log,
            "error (quorvel_file_stream, 16463): operation not supported for provided object\n",
            EINVAL, 160);
    }
}

TEST(FileStream, ConnectionSendsTheWholeFileAfterPendingPageText)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(1000);
    std::string path = dir.write("page.bin", body);
    Connection c;
    request_data request{};
    request.sock = c.sock;
    envelope handle{quorvel_obj_connection, &request, 0};

    // Selector 0 with a length of 100: the length is not used on a connection.
    EXPECT_EQ(quorvel_file_stream(&handle, path.c_str(), 100, 0), 0);
    // Text a callback appended and did not send yet goes before the file.
    request.out = buffer_create(512);
    ASSERT_NE(request.out, nullptr);
    ASSERT_EQ(buffer_printf(&request.out, "<pre>"), 0);
    EXPECT_EQ(quorvel_file_stream(&handle, path.c_str(), 0, QUORVEL_STREAM_SEND), 0);
    EXPECT_EQ(buffer_getinuse(request.out), 0u);
    EXPECT_EQ(c.finish(), body + "<pre>" + body);
    buffer_destroy(&request.out);
    EXPECT_EQ(log.text(), "");
}

TEST(FileStream, ConnectionEncodesTextLines)
{
    qtest::TempDir dir;
    std::string path = dir.write("t.txt", "a<b>&c\n\xE9\n");
    Connection c;
    request_data request{};
    request.sock = c.sock;
    envelope handle{quorvel_obj_connection, &request, 0};
    EXPECT_EQ(
        quorvel_file_stream(&handle, path.c_str(), 0, QUORVEL_STREAM_ENCODE | QUORVEL_STREAM_SEND),
        0);
    EXPECT_EQ(c.finish(), "a&#60;b&#62;&#38;c\r\n&#233;\r\n");
}

TEST(FileStream, ConnectionWhosePeerHasGoneFailsWithoutSigpipe)
{
    qtest::TempDir dir;
    std::string path = dir.write("f.bin", pattern(300000));
    Connection c;
    request_data request{};
    request.sock = c.sock;
    envelope handle{quorvel_obj_connection, &request, 0};
    c.close_peer();
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    EXPECT_EQ(quorvel_file_stream(&handle, path.c_str(), 0, 0), -1);
    EXPECT_NE(errno, 0);
}

TEST(FileStream, StreamSelectsSendTransmitEncodeOrReceive)
{
    qtest::ErrorLog log;
    qtest::TempDir dir;
    std::string body = pattern(1000);
    std::string path = dir.write("f.bin", body);
    std::string text = dir.write("t.txt", "1.5\n");
    Connection c;
    envelope stream{quorvel_obj_stream, c.sock, 0};

    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 100,
                                  QUORVEL_STREAM_SEND | QUORVEL_STREAM_TRANSMIT),
              0);
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 10, QUORVEL_STREAM_SEND), 0);
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 0, QUORVEL_STREAM_SEND), 0);
    // ENCODE wins over the other bits, and its lines wait in the buffer like any output.
    EXPECT_EQ(
        quorvel_file_stream(&stream, text.c_str(), 5,
                            QUORVEL_STREAM_ENCODE | QUORVEL_STREAM_SEND | QUORVEL_STREAM_TRANSMIT),
        0);
    // A sent file shorter than the length fails, in either form.
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 1001,
                                  QUORVEL_STREAM_SEND | QUORVEL_STREAM_TRANSMIT),
              -1);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 1001, QUORVEL_STREAM_SEND), -1);
    EXPECT_TRUE(log.contains("(socket_stream_file, 11395)"));
    log.clear();

    // Without SEND the stream receives: exactly the length, into a new file.
    std::string expected =
        body.substr(0, 100) + body.substr(0, 10) + body + "1&#46;5\r\n" + body + body;
    std::string got;
    {
        std::thread reader([&] {
            char chunk[4096];
            while (got.size() < expected.size()) {
                pollfd p{c.peer, POLLIN, 0};
                if (::poll(&p, 1, 10000) <= 0)
                    break;
                ssize_t n = ::recv(c.peer, chunk, sizeof(chunk), 0);
                if (n <= 0)
                    break;
                got.append(chunk, static_cast<size_t>(n));
            }
        });
        ASSERT_EQ(socket_flush(c.sock), 0);
        reader.join();
    }
    EXPECT_EQ(got, expected);
    ASSERT_EQ(::send(c.peer, "incoming", 8, 0), 8);
    std::string received = dir.file("in.bin");
    EXPECT_EQ(quorvel_file_stream(&stream, received.c_str(), 8, 0), 0);
    EXPECT_EQ(qtest::read_file(received), "incoming");
    EXPECT_EQ(quorvel_file_stream(&stream, received.c_str(), 0, 0), -1);
    qtest::expect_report(
        log, "error (socket_receivefile, 11093): provided socket not connected or invalid\n",
        EINVAL, 160);
}
