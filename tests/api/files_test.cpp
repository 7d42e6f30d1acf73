#include "http/site.h"

#include <csignal>

using namespace quorvel;

namespace {

// A connection record over one end of a socket pair, a file in a scratch directory, and the
// error log.
struct Stream : ::testing::Test {
    qtest::ErrorLog log;
    qtest::TempDir dir;
    qtest::SocketPair pair;
    quorvel::socket* sock = qtest::connection(pair.mine);
    std::string body = pattern(1000);
    std::string path = dir.write("f.bin", body);
    ~Stream() override { socket_destroy(&sock); }
    static std::string pattern(size_t n)
    {
        std::string text(n, '\0');
        for (size_t i = 0; i < n; ++i)
            text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
        return text;
    }
    // Sends what the record still buffers, ends its direction and reads what the peer got.
    std::string finish()
    {
        socket_flush(sock);
        ::shutdown(sock->fd[0], SHUT_WR);
        return qtest::read_to_end(pair.peer);
    }
};

} // namespace

TEST_F(Stream, RefusesMissingHandlesPathsAndOtherObjects)
{
    envelope empty{quorvel_obj_stream, nullptr, 0}, stream{quorvel_obj_stream, sock, 0};
    int record = 0;
    envelope server{quorvel_obj_server, &record, 0}, log_object{quorvel_obj_log, &record, 0};
    const std::tuple<envelope*, const char*, int> rows[] = {
        {nullptr, path.c_str(), 16417},     {&empty, path.c_str(), 16417},
        {&stream, nullptr, 16417},          {&server, path.c_str(), 16463},
        {&log_object, path.c_str(), 16463},
    };
    for (auto [handle, file, line] : rows) {
        EXPECT_EQ(quorvel_file_stream(handle, file, 0, QUORVEL_STREAM_SEND), -1);
        qtest::expect_report(log,
                             "error (quorvel_file_stream, " + std::to_string(line) +
                                 "): operation not supported for provided object\n",
                             EINVAL, 160);
    }
}

TEST_F(Stream, ConnectionSendsFilesAfterPendingTextAndEncodesLines)
{
    request_data request{};
    request.sock = sock;
    envelope handle{quorvel_obj_connection, &request, 0};
    // The length is not used on a connection.
    EXPECT_EQ(quorvel_file_stream(&handle, path.c_str(), 100, 0), 0);
    // Text a callback appended and did not send yet goes before the file.
    request.out = buffer_create(512);
    ASSERT_EQ(buffer_printf(&request.out, "<pre>"), 0);
    EXPECT_EQ(quorvel_file_stream(&handle, path.c_str(), 0, QUORVEL_STREAM_SEND), 0);
    EXPECT_EQ(request.out->write_pos, request.out->data);
    buffer_destroy(&request.out);
    std::string text = dir.write("t.txt", "a<b>&c\n\xE9\n");
    EXPECT_EQ(
        quorvel_file_stream(&handle, text.c_str(), 0, QUORVEL_STREAM_ENCODE | QUORVEL_STREAM_SEND),
        0);
    EXPECT_EQ(finish(), body + "<pre>" + body + "a&#60;b&#62;&#38;c\r\n&#233;\r\n");
    EXPECT_EQ(log.text(), "");
    // A peer that has gone fails the send without SIGPIPE.
    qtest::SocketPair gone;
    request.sock = qtest::connection(gone.mine);
    gone.close_peer();
    ASSERT_EQ(std::signal(SIGPIPE, SIG_DFL), SIG_DFL);
    EXPECT_EQ(quorvel_file_stream(&handle, dir.write("big", pattern(300000)).c_str(), 0, 0), -1);
    socket_destroy(&request.sock);
}

TEST_F(Stream, StreamSelectsSendTransmitEncodeOrReceive)
{
    envelope stream{quorvel_obj_stream, sock, 0};
    std::string text = dir.write("t.txt", "1.5\n");
    const uint32_t both = QUORVEL_STREAM_SEND | QUORVEL_STREAM_TRANSMIT;
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 100, both), 0);
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 10, QUORVEL_STREAM_SEND), 0);
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 0, QUORVEL_STREAM_SEND), 0);
    // ENCODE wins over the other bits, and its lines wait in the buffer like any output.
    EXPECT_EQ(quorvel_file_stream(&stream, text.c_str(), 5, QUORVEL_STREAM_ENCODE | both), 0);
    // A sent file shorter than the length fails, in either form.
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 1001, both), -1);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(quorvel_file_stream(&stream, path.c_str(), 1001, QUORVEL_STREAM_SEND), -1);
    EXPECT_TRUE(log.contains("(socket_stream_file, 11395)"));
    log.clear();
    ASSERT_EQ(socket_flush(sock), 0);
    std::string expected = body.substr(0, 100) + body.substr(0, 10) + body + "1&#46;5\r\n" + body;
    EXPECT_EQ(qtest::read_some(pair.peer, expected.size() + body.size()), expected + body);

    // Without SEND the stream receives exactly the length into a new file.
    qtest::send_all(pair.peer, "incoming");
    std::string received = dir.file("in.bin");
    EXPECT_EQ(quorvel_file_stream(&stream, received.c_str(), 8, 0), 0);
    EXPECT_EQ(qtest::read_file(received), "incoming");
    EXPECT_EQ(quorvel_file_stream(&stream, received.c_str(), 0, 0), -1);
    qtest::expect_report(
        log, "error (socket_receivefile, 11093): provided socket not connected or invalid\n",
        EINVAL, 160);
}
