// Requests a server cannot serve, on a started server on 127.0.0.1: each gets a status page
// rather than a silent close, and the server goes on serving.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <algorithm>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WAIT_MS = 10000;

// The reply to `request`, sent whole by a client that then stops sending.
std::string ask(int port, const std::string& request)
{
    int fd = qtest::connect_loopback(port, WAIT_MS);
    if (fd < 0)
        return "<no connection>";
    qtest::send_all(fd, request);
    ::shutdown(fd, SHUT_WR);
    std::string reply = qtest::read_to_end(fd, WAIT_MS);
    ::close(fd);
    return reply;
}

TEST(Malformed, EveryRequestGetsAnAnswer)
{
    qtest::ErrorLog log;
    qtest::TempDir root;
    root.write("a.txt", "plain\n");
    root.write("a+b.txt", "plus\n");
    quorvel_init();
    envelope* server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
    ASSERT_NE(server, nullptr);
    int port = qtest::serve_on_loopback(server, WAIT_MS);
    ASSERT_GT(port, 0);
    log.clear();

    const std::string post = "POST /a.txt HTTP/1.0\r\nContent-Length:";
    const std::pair<std::string, std::string> cases[] = {
        {"BREW /a.txt HTTP/1.0\r\n\r\n", "405 Method Not Allowed"},
        {"get /a.txt HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody", "405 Method Not Allowed"},
        {"GET\r\n\r\n", "400 Bad Request"},
        {"GET \n\n", "400 Bad Request"},
        {"\r\n\r\n", "400 Bad Request"},
        {post + " -1\r\n\r\n", "400 Bad Request"},
        {post + " ten\r\n\r\nten", "400 Bad Request"},
        {post + "\r\n\r\n", "400 Bad Request"},
        {"GET /a.txt HTTP/1.0\r\nContent-Length: -1\r\n\r\n", "200 OK"},
        {"GET /" + std::string(5000, 'x') + " HTTP/1.0\r\n\r\n", "400 Bad Request"},
        {"GET /a+b.txt HTTP/1.0\r\n\r\n", "200 OK"},
        {"GET /a%2Bb.txt?c+d HTTP/1.0\r\n\r\n", "200 OK"},
    };
    for (const auto& [request, line] : cases) {
        std::string reply = ask(port, request);
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 " + line + "\r\n")) << request.substr(0, 80) << "\n"
                                                                    << reply.substr(0, 200);
        size_t body = reply.find("\r\n\r\n");
        size_t length = reply.find("\r\nContent-Length: ");
        ASSERT_NE(body, std::string::npos) << reply;
        ASSERT_NE(length, std::string::npos) << reply;
        EXPECT_EQ(std::stoul(reply.substr(length + 18)), reply.size() - body - 4) << reply;
        if (line == "200 OK") {
            bool plus = request.find("a.txt") == std::string::npos;
            EXPECT_TRUE(reply.ends_with(plus ? "plus\n" : "plain\n")) << reply;
        }
    }

    EXPECT_EQ(quorvel_obj_destroy(server), 0);
    std::vector<std::string> lines = log.lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error (httpsrv_rslvpath, 14516): provided buffer is too small\n",
                         "error (parse_request_header, 13654): unknown method(BREW) requested\n",
                         "error (parse_request_header, 13654): unknown method(get) requested\n"}));
}

} // namespace
