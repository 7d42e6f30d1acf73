#include "http/response.h"

#include "foundation/strings.h"
#include "http/date.h"
#include "site.h"

using namespace qtest;

TEST_F(Site, HeaderLinesInOrderAndTheBodyByteForByte)
{
    const std::string modified = "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT";
    std::tuple<std::string, std::string, lines> rows[] = {
        {"/a.txt", "", {"Content-Type: text/plain", modified, "Content-Length: 19"}},
        // Empty files and directories go without a length; a listing has no date.
        {"/empty.txt", "", {"Content-Type: text/plain", modified}},
        {"/docs", "", {"Content-Type: text/html"}},
        // Attributes follow the length; Cache-Control drops Last-Modified.
        {"/a.txt",
         "Cache-Control: max-age=60\r\n",
         {"Content-Type: text/plain", "Content-Length: 19", "Cache-Control: max-age=60"}},
        {"/a.txt",
         "Set-Cookie: id=7\r\nX-A: 1\r\n",
         {"Content-Type: text/plain", modified, "Content-Length: 19", "Set-Cookie: id=7",
          "X-A: 1"}}};
    for (auto& [path, attributes, expected] : rows) {
        SCOPED_TRACE(path + attributes);
        expected.insert(expected.begin(), {"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0"});
        expected.push_back("Connection: close");
        // HEAD carries the header GET would carry, and no body.
        for (std::string method : {"GET ", "HEAD "}) {
            Reply r = exchange(method + path + " HTTP/1.0\r\n\r\n", [&](request_data* q) {
                if (!attributes.empty())
                    q->attributes = str_dup(attributes.c_str());
            });
            EXPECT_EQ(r.rc, 0);
            EXPECT_EQ(r.head(), expected);
            EXPECT_TRUE(method == "GET " || r.body().empty());
        }
    }
    EXPECT_EQ(get("/a.txt").body(), std::string("line one\r\nline\0two\n", 19));
    // A body many times the connection's buffer, over a buffer of a few bytes too.
    std::string big;
    for (int i = 0; big.size() < 300000; ++i)
        big += std::to_string(i) + (i % 7 == 0 ? std::string(1, '\0') : "\n");
    dir.write("www/big.bin", big);
    for (int32_t size : {4096, 7}) {
        Reply b = exchange("GET /big.bin HTTP/1.0\r\n\r\n", nullptr, size);
        EXPECT_EQ(b.head()[5], "Content-Length: " + std::to_string(big.size()));
        EXPECT_TRUE(b.body() == big) << size;
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(Site, NotModifiedInEachDateFormWithBoundsOnEveryField)
{
    const lines not_modified{"HTTP/1.0 304 Not modified", "Date: *", "Server: Quorvel/1.0"};
    // Equal or later in any of the three forms: not modified; earlier or malformed: the file.
    for (std::string since :
         {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
          "Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:38 GMT; length=19",
          "Sunday,\t06-Nov-1994 08:49:37 GMT", "Sun Nov 6 08:49:37 GMT 1994",
          "Sat, 01 Jan 1995 00:00:00 GMT", "-Sun, 06 Nov 1994 08:49:36 GMT",
          "-Sunday, 06-Nov-94 08:48:37 GMT", "-Sun Nov  5 08:49:37 1994",
          "-Sat, 06 Oct 1994 23:59:59 GMT", "-garbage", "-Sun, 06 nov 1994 08:49:37 GMT",
          "-Sun, 32 Nov 1994 08:49:37 GMT", "-Sun, 06 Nov 1994 24:49:37 GMT",
          "-Sun, 06 Nov 94 08:49:37 GMT", "-Sun, 6-Nov-94 08:49:37 GMT", "-Sun Nov  6 08:49:37 GMT",
          "-Sun, 99999999999999999999 Nov 1994 08:49:37 GMT"}) {
        SCOPED_TRACE(since);
        bool unchanged = since[0] != '-';
        for (std::string method : {"GET", "HEAD"}) {
            Reply r = exchange(method + " /a.txt HTTP/1.0\r\nIf-Modified-Since: " +
                               since.substr(unchanged ? 0 : 1) + "\r\n\r\n");
            EXPECT_EQ(r.head(), unchanged ? not_modified : get("/a.txt").head());
            EXPECT_EQ(r.text.ends_with("Quorvel/1.0\r\n\r\n"), unchanged);
        }
    }
    // A listing changes without its directory's time: it is always sent.
    Reply listing = get("/docs", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n");
    EXPECT_EQ(listing.head()[0], "HTTP/1.0 200 OK");
    EXPECT_TRUE(listing_head(listing.body(), "/docs", 'm'));
    // A day 08 is not octal; two-digit years below 70 are 20xx.
    std::tm nov8{}, y2009{};
    for (auto [when, tm] : {std::pair{nov6 + 2 * 86400, &nov8}, {time_t(1257497377), &y2009}})
        ::gmtime_r(&when, tm); // 08 Nov 1994 and 06 Nov 2009, 08:49:37 GMT
    EXPECT_EQ(is_not_modified(&nov8, "Tuesday, 08-Nov-94 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&nov8, "Monday, 07-Nov-94 08:49:37 GMT"), 0);
    EXPECT_EQ(is_not_modified(&y2009, "Friday, 06-Nov-09 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&y2009, "Thursday, 05-Nov-09 08:49:37 GMT"), 0);
    EXPECT_EQ(is_not_modified(nullptr, "Sun, 06 Nov 1994 08:49:37 GMT"), 0);
    EXPECT_EQ(is_not_modified(&nov8, ("Sun, " + std::string(100000, '9')).c_str()), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Site, ErrorPagesCarryTheirExactLengthAndTheFooter)
{
    auto head_of = [](uint32_t index) {
        lines head{"HTTP/1.0 " + std::string(status_line(index)),
                   "Date: *",
                   "Server: Quorvel/1.0",
                   "Content-Type: text/html",
                   "Content-Length: " + std::to_string(error_page(index).size()),
                   "Connection: close"};
        // The Basic challenge and the methods a 405 allows go before Content-Type.
        if (index == STATUS_AUTH_REQUIRED)
            head.insert(head.begin() + 3,
                        "WWW-Authenticate: Basic realm=\"File Download Authorization\"");
        if (index == STATUS_METHOD_NOT_ALLOWED)
            head.insert(head.begin() + 3, "Allow: GET, HEAD, POST");
        return head;
    };
    for (auto [path, index] :
         {std::pair{"/missing.txt", 16}, {"/a..b", 6}, {"/docs/.htaccess", 7}}) {
        SCOPED_TRACE(path); // 404, 401, 403
        Reply r = get(path);
        EXPECT_EQ(r.head(), head_of(index));
        EXPECT_EQ(r.body(), error_page(index));
        // A failed HEAD: the error page's header without the page.
        EXPECT_TRUE(exchange(std::string("HEAD ") + path + " HTTP/1.0\r\n\r\n")
                        .text.ends_with("Connection: close\r\n\r\n"));
    }
    // Every row of the table, 401 Authorization required among them; an index beyond it: 500.
    for (uint32_t index = 0; index < STATUS_COUNT + 2; ++index) {
        Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", [&](request_data* q) {
            q->flags |= REQUEST_FAILED;
            q->status = index;
        });
        uint32_t shown = index < STATUS_COUNT ? index : 14;
        EXPECT_EQ(r.head(), head_of(shown)) << index;
        EXPECT_EQ(r.body(), error_page(shown)) << index;
    }
    // send_error_page replaces unsent output and shows the message.
    Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", nullptr, 4096, [](request_data* q) {
        EXPECT_EQ(socket_snd(q->sock, "stale output", 12), 12);
        return send_error_page(q, 0, "it <broke> 100%");
    });
    EXPECT_EQ(r.rc, static_cast<int>(footer.size())); // the last send: the footer
    EXPECT_EQ(r.head()[4], "Content-Length: " + std::to_string(r.body().size()));
    EXPECT_EQ(r.body(), message_page("it <broke> 100%"));
    request_data none{};
    log.clear();
    EXPECT_EQ(send_error_page(&none, 0, nullptr), -1);
    EXPECT_EQ(http_responce(nullptr), -1);
    qtest::expect_report(log, "error (http_responce, 14802): null argument passed\n", EINVAL, 160);
}

TEST_F(Site, StoredContentFunctionsAndHandlers)
{
    const std::string bytes("100% <b>%s%n%d</b>\0after the NUL\0", 34);
    store("/stored", bytes);
    EXPECT_EQ(get("/stored").head()[3], "Content-Type: application/octet-stream");
    EXPECT_EQ(get("/stored").body(), bytes);
    // Stored HTML is built with includes on (an unset variable echoes nothing); a buffer of a
    // few bytes changes nothing.
    const std::string html = "<p><!--#echo var=\"DATE_LOCAL\" --></p>" + std::string(9000, '%');
    store("/page.html", html);
    server.flags |= SERVER_SSI;
    EXPECT_TRUE(exchange("GET /page.html HTTP/1.0\r\n\r\n", nullptr, 7).body() ==
                "<p></p>" + std::string(9000, '%'));
    // An entry without bytes answers with the internal-error page.
    EXPECT_EQ(exchange("GET /stored HTTP/1.0\r\n\r\n", [](request_data* q) { q->target = nullptr; })
                  .body(),
              message_page("URL mapped function is NULL"));

    // The header ends with its empty line and the body is exactly the producer's bytes.
    Reply r = get("/fn");
    EXPECT_EQ(r.head(), (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                               "Content-Type: text/html"}));
    EXPECT_EQ(r.body(), "hello");
    // A MIME handler gets the file's path as its target, unless the plain file is asked for;
    // HEAD runs it for the header and drops its page.
    EXPECT_EQ(get("/x.hnd").body(), "handled\n");
    EXPECT_EQ(target_seen, root + "/x.hnd");
    EXPECT_EQ(
        exchange("GET /x.hnd HTTP/1.0\r\n\r\n", [](request_data* q) { q->no_mime_handler = 1; })
            .body(),
        "handled by a function");
    EXPECT_TRUE(exchange("HEAD /x.hnd HTTP/1.0\r\n\r\n").text.ends_with("text/plain\r\n\r\n"));
    EXPECT_EQ(calls, 3);
    // Errors: the direct-mode header and the unsent output are replaced by the page; a failing
    // handler's answer counts as failed.
    EXPECT_EQ(get("/fail").body(), message_page("database <down>"));
    EXPECT_EQ(get("/null").body(), message_page("URL mapped function is NULL"));
    Reply handler = get("/y.fail");
    EXPECT_EQ(handler.rc, -1);
    EXPECT_EQ(handler.body(), message_page("no converter"));
}

TEST_F(Site, FileRemovedWhilePendingPeerGoneAndAThreadHeap)
{
    // Resolution opened the file: the answer sends what was found.
    std::string before = qtest::read_file(text);
    auto remove = [&](request_data*) { std::filesystem::remove(text); };
    EXPECT_EQ(exchange("GET /a.txt HTTP/1.0\r\n\r\n", remove).body(), before);
    dir.write("www/a.txt", before);
    // Closed again before the answer: not found.
    auto closed = [&](request_data* q) { remove(q), ::close(q->file_fd), q->file_open = 0; };
    EXPECT_EQ(exchange("GET /a.txt HTTP/1.0\r\n\r\n", closed).body(), error_page(16));

    std::string big(1 << 20, 'b');
    dir.write("www/big.bin", big);
    store("/large", big);
    for (const char* path : {"/big.bin", "/large"}) {
        qtest::SocketPair pair;
        request_data* q = receive(pair, std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        ASSERT_NE(q, nullptr);
        pair.close_peer();
        // The answer is queued behind its head; sending it fails.
        EXPECT_EQ(http_responce(q), 0) << path;
        EXPECT_EQ(socket_flush(q->sock), -1) << path;
        request_destroy(&q);
    }
    std::thread worker([&] {
        ASSERT_EQ(thread_heap_attach(262144), 0);
        EXPECT_EQ(get("/large").body().size(), big.size());
        EXPECT_EQ(get("/fail").head()[0], "HTTP/1.0 500 Internal Server Error");
        EXPECT_EQ(get("/missing").head()[0], "HTTP/1.0 404 File not found");
        thread_heap_detach();
    });
    worker.join();
}
