// Pages written by host functions on a started server: many clients at once each get their
// own large page whole, never a piece of another's.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WAIT_MS = 20000;
constexpr size_t PAGE_SIZE = 1 << 20;

// The page for the client named `who`: lines that say whose they are and where they stand.
std::string expected_page(const std::string& who)
{
    std::string page;
    for (size_t line = 0; page.size() < PAGE_SIZE; ++line)
        page += who + ":" + std::to_string(line) + "\n";
    return page;
}

// Writes the page of the client named in the query, in pieces of every kind of output call.
char* big_page(envelope* request, envelope* out)
{
    char who[64] = {};
    if (quorvel_obj_get(request, quorvel_attrib_header, "QUERY", who, int(sizeof(who))) != 0)
        return quorvel_make_return_value("no query");
    std::string page = expected_page(who);
    for (size_t at = 0, piece = 0; at < page.size(); ++piece) {
        size_t end = std::min(page.size(), page.find('\n', at) + 1);
        std::string line = page.substr(at, end - at);
        if (piece % 3 == 0)
            quorvel_printf(out, "%s", line.c_str());
        else
            quorvel_put(out, line.data(), static_cast<uint32_t>(line.size()));
        at = end;
    }
    return nullptr;
}

TEST(Pages, ConcurrentLargePagesArriveWholeAndUnmixed)
{
    qtest::ErrorLog log;
    qtest::TempDir root;
    quorvel_init();
    envelope* server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/big", QUORVEL_ENC_TEXT,
                              big_page),
              0);
    int port = qtest::serve_on_loopback(server, WAIT_MS);
    ASSERT_GT(port, 0);
    log.clear();

    constexpr int clients = 8, rounds = 3;
    std::vector<std::string> failures(clients);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (int r = 0; r < rounds && failures[c].empty(); ++r) {
                std::string who = "c" + std::to_string(c) + "r" + std::to_string(r);
                int fd = qtest::connect_loopback(port, WAIT_MS);
                qtest::send_all(fd, "GET /big?" + who + " HTTP/1.0\r\n\r\n");
                std::string reply = qtest::read_to_end(fd, WAIT_MS);
                ::close(fd);
                size_t body = reply.find("\r\n\r\n");
                if (body == std::string::npos || reply.substr(body + 4) != expected_page(who))
                    failures[c] = who + ": " + reply.substr(0, 200);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (const auto& failure : failures)
        EXPECT_EQ(failure, "");
    EXPECT_EQ(quorvel_obj_destroy(server), 0);
    EXPECT_EQ(log.text(), "");
}

} // namespace
