#include "quorvel.h"
#include "support/wire.h"

using namespace qtest;

TEST(Stream, RefusalsThenTheLongestNameSentAtDestruction)
{
    ErrorLog log;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); // the "server"
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(a);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd, 8);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    int port = ntohs(a.sin_port);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", "p", port, 5), nullptr);
    log.clear(); // the line is the one Objects.WhatWorksBeforeAndAfterInit checks
    quorvel_init();
    std::string name(78, 'n');
    for (auto [host, line] : {std::pair{"127.0.0.1", "16208): protocol name too long\n"},
                              {nullptr, "16205): null argument passed\n"}}) {
        EXPECT_EQ(quorvel_obj_create(quorvel_obj_stream, host, name.c_str(), port, 5), nullptr);
        expect_report(log, std::string("error (quorvel_obj_create::quorvel_obj_stream, ") + line,
                      EINVAL, 160);
    }
    EXPECT_EQ(::accept(fd, nullptr, nullptr), -1); // none of them connected

    name.pop_back();
    envelope* stream = quorvel_obj_create(quorvel_obj_stream, "127.0.0.1", name.c_str(), port, -1);
    ASSERT_NE(stream, nullptr);
    int peer = ::accept(fd, nullptr, nullptr);
    ::close(fd);
    // The reader closes at the end of the bytes, so the close does not wait for it.
    std::string got;
    std::thread reader([&] { got = read_to_end(peer), ::close(peer); });
    EXPECT_EQ(quorvel_obj_destroy(stream), 0);
    reader.join();
    EXPECT_EQ(got, "&" + name + ";");
}
