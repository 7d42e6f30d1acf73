#include "net/file_stream.h"

#include "foundation/buffer.h"
#include "net/accept.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "support/wire.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

using namespace quorvel;
using namespace qtest;

// Sends `text` from a thread of its own (joined at destruction) while the test receives.
static std::jthread sender(int fd, std::string text, bool close_after)
{
    return std::jthread([=] {
        send_all(fd, text);
        if (close_after)
            ::shutdown(fd, SHUT_WR);
    });
}

TEST(StreamFile, SendsA3MiBFileWholeOverTcpAndKeepsSizesBeyond4GiB)
{
    ErrorLog log;
    TempDir dir;
    std::string body = offset_bytes(3u << 20);
    std::string path = dir.write("big.bin", body);
    // 4 GiB + 100 bytes: a size cut to 32 bits would send 100 bytes and report success.
    std::string sparse = dir.write("sparse.bin", "");
    ASSERT_EQ(::truncate(sparse.c_str(), (off_t{1} << 32) + 100), 0);
    quorvel::socket* server = socket_create_listener(0);
    server->flags |= SOCK_IPV4 | SOCK_BUFFERED;
    std::strcpy(server->bind_addr, "127.0.0.1");
    ASSERT_TRUE(socket_bind(server) == 0 && socket_listen(server, 4) == 0);
    // Both forms: the kernel's transmission and the read-and-send loop.
    for (auto transfer : {socket_streamfile, socket_stream_file})
        for (bool huge : {false, true}) {
            int peer = connect_loopback(server->port);
            quorvel::socket* s = socket_wait_vectr(&server, 1);
            ASSERT_NE(s, nullptr);
            int mode = ::fcntl(s->fd[0], F_GETFL);
            ASSERT_EQ(socket_snd(s, "HEAD\r\n", 6), 6); // pending output goes first
            std::string got;
            std::thread reader([&] {
                // A peer that leaves after 1 MiB, long before the end of the huge file.
                got = huge ? read_some(peer, 1u << 20) : read_to_end(peer);
                ::close(peer);
            });
            EXPECT_EQ(transfer(s, (huge ? sparse : path).c_str(), 0), huge ? -1 : 0);
            EXPECT_EQ(::fcntl(s->fd[0], F_GETFL), mode);
            sigset_t mask, pending; // no SIGPIPE ended the process, none is blocked or pending
            pthread_sigmask(SIG_SETMASK, nullptr, &mask);
            sigpending(&pending);
            EXPECT_FALSE(sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE));
            socket_destroy(&s);
            reader.join();
            EXPECT_TRUE(huge ? got.size() == 1u << 20 : got == "HEAD\r\n" + body);
            EXPECT_TRUE(huge || log.text().empty()) << log.text();
            log.clear();
        }
    socket_destroy(&server);
}

TEST(StreamFile, SendsExactlyTheLengthFailsOnShortFilesAndTimesOut)
{
    ErrorLog log;
    TempDir dir;
    std::string body = offset_bytes(1000);
    std::string path = dir.write("small.bin", body);
    SocketPair pair;
    quorvel::socket* s = connection(pair.mine);
    for (auto transfer : {socket_streamfile, socket_stream_file}) {
        EXPECT_EQ(transfer(s, path.c_str(), 100), 0);
        EXPECT_EQ(read_some(pair.peer, 1000, 300), body.substr(0, 100));
        // The peer was promised 2000 bytes: the call must not pass for a success.
        EXPECT_EQ(transfer(s, path.c_str(), 2000), -1);
        EXPECT_EQ(read_some(pair.peer, 2000, 300), body);
        // A directory is no file to send.
        EXPECT_EQ(transfer(s, dir.path().c_str(), 0), -1);
    }
    expect_report(log,
                  "error (socket_stream_file, 11395): i/o error encountered streaming, " + path +
                      "\nerror (socket_streamfile, 11372): Is a directory\n",
                  ENODEV, 0);
    // Opening a FIFO could block forever.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(socket_streamfile(s, dir.file("fifo").c_str(), 10), -1);
    EXPECT_EQ(log.text(), "");
    // Nobody reads: the short time-out ends the transfer.
    s->timeout = 1;
    EXPECT_EQ(socket_streamfile(s, dir.write("big.bin", offset_bytes(4u << 20)).c_str(), 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_TRUE(s->flags & SOCK_TIMEDOUT);
    socket_destroy(&s);
}

TEST(ReceiveFile, ArrivesWholeAfterWhatWasBufferedOrLeavesNoFile)
{
    TempDir dir;
    // Mapped, and above the limit in chunks; whole, and cut short by a peer that closes.
    for (size_t size : {size_t{3000}, size_t{RECEIVE_MAP_LIMIT}, RECEIVE_MAP_LIMIT + 123457}) {
        for (bool cut : {false, true}) {
            SCOPED_TRACE(std::to_string(size) + (cut ? " cut" : ""));
            std::string body = offset_bytes(size);
            SocketPair pair;
            quorvel::socket* s = connection(pair.mine);
            // A failed receive leaves nothing behind, not even an older file of that name.
            std::string path = dir.write("in.bin", "older contents");
            { // a record, the file and the next message: the part already buffered comes first
                auto from = sender(pair.peer,
                                   "REC:" + (cut ? body.substr(0, size / 2) : body + "NEXT"), cut);
                char head[5] = {};
                EXPECT_EQ(socket_rcv(s, head, 4), 4);
                EXPECT_GT(s->buffer->write_pos - s->buffer->read_pos, 0);
                EXPECT_EQ(socket_receivefile(s, path.c_str(), size), cut ? -1 : 0);
                if (!cut) {
                    EXPECT_TRUE(read_file(path) == body);
                    EXPECT_EQ(socket_rcv(s, head, 4), 4);
                    EXPECT_STREQ(head, "NEXT");
                }
            }
            struct stat st {};
            EXPECT_EQ(::stat(path.c_str(), &st) == 0, !cut);
            socket_destroy(&s);
        }
    }
}
