// Server-side includes on a started server: a stored page and a cached file built with the
// output of a file, a host function and a command, and a page that includes itself answered
// with the error page while the handlers keep serving.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int WAIT_MS = 20000;

char* greet(envelope*, envelope* out)
{
    quorvel_printf(out, "hello <!--#echo var=\"QUERY\" -->\n");
    return nullptr;
}

TEST(SsiOnTheWire, StoredPagesAreBuiltAndSelfInclusionEndsInTheErrorPage)
{
    qtest::ErrorLog log;
    qtest::TempDir root;
    root.write("parts/head.html", "<h1><!--#echo var=\"x-title\" --></h1>\n");
    root.write("cached.html", "cached <!--#include file=\"parts/head.html\" -->");
    root.write("loop.html", "<!--#include virtual=\"/loop.html\" -->\n");
    quorvel_init();
    envelope* server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_ssi, 1), 0);
    ASSERT_EQ(
        quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/greet", QUORVEL_ENC_TEXT, greet),
        0);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/home.html",
                              "<!--#include file=\"parts/head.html\" -->\n"
                              "<!--#include virtual=\"/greet\" -->\n"
                              "<!--#exec cmd=\"echo 1.0\" -->",
                              2),
              0);
    for (const char* file : {"/cached.html", "/loop.html"}) {
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri_cache, QUORVEL_GET, file, file + 1, 2),
                  0);
    }
    int port = qtest::serve_on_loopback(server, WAIT_MS);
    ASSERT_GT(port, 0);
    log.clear();

    auto ask = [port](const std::string& request) {
        int fd = qtest::connect_loopback(port, WAIT_MS);
        qtest::send_all(fd, request);
        std::string reply = qtest::read_to_end(fd, WAIT_MS);
        ::close(fd);
        return reply;
    };
    const std::string home = "<h1>&lt;Hi&gt;</h1>\n\nhello you\n\n1&#46;0\n";
    const std::string loop = "<html><body><pre>quorvel error: invalid ssi instruction\n"
                             "<!--#include virtual=\"/loop.html\" -->\n...</pre></body></html>\r\n";
    for (int round = 0; round < 2; ++round) {
        std::string reply = ask("GET /home.html?you HTTP/1.0\r\nX-Title: <Hi>\r\n\r\n");
        EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK\r\n")) << reply;
        EXPECT_NE(reply.find("Content-Length: " + std::to_string(home.size()) + "\r\n"),
                  std::string::npos);
        EXPECT_TRUE(reply.ends_with("\r\n\r\n" + home)) << reply;
        EXPECT_TRUE(
            ask("GET /cached.html HTTP/1.0\r\n\r\n").ends_with("\r\n\r\ncached <h1></h1>\n"));
        EXPECT_TRUE(ask("GET /loop.html HTTP/1.0\r\n\r\n").ends_with("\r\n\r\n" + loop));
    }
    EXPECT_EQ(quorvel_obj_destroy(server), 0);
    const std::string limit = "error (quorvel_ssi_parsincl, 12284): includes and conditionals "
                              "nested more than 16 deep\n";
    EXPECT_EQ(log.text(), limit + limit);
}

} // namespace
