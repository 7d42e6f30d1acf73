// Answers, listings and the resolution of request paths, over socket pairs.
#include "http/response.h"

#include "core/envelope.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/strings.h"
#include "http/dirlist.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorvel;
using qtest::set_mtime;
using lines = std::vector<std::string>;
constexpr auto npos = std::string::npos;

namespace {

constexpr time_t nov6 = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT
const std::string footer =
    "<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n";
const std::string list_footer = "</table></div><hr><address>Server powered by Quorvel version "
                                "0.9.0</address></body></html>\r\n";
const std::string parent_row_end =
    "\">(Parent Directory..)</a></td><td>&nbsp;&nbsp</td><td align=\"right\">---</td><td>"
    "&nbsp;&nbsp;&nbsp</td><td align=\"right\">---</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n";

std::string error_page(uint32_t index)
{
    return std::string(status_page(index)) + footer;
}
std::string message_page(const std::string& message)
{
    return "<HTML><HEAD>\r\n<TITLE>500 Internal Server Error</TITLE>\r\n</HEAD><BODY>\r\n"
           "<H1>Internal Error</H1><font color=\"#C43100\">\r\n" +
           message + "\r\n</font>" + footer;
}

// A listing titled `title` whose column links ask for the order `toggle` next.
bool listing_head(const std::string& page, const std::string& title, char toggle)
{
    std::string t(1, toggle);
    return page.starts_with("<html><head><title>Index of " + title + "</title>") &&
           page.find("<h2>Index of " + title + "</h2>") != npos &&
           page.find("<a href=\"?n" + t + "\">Name</a></th>") != npos &&
           page.find("<a href=\"?s" + t + "\">Size</a></th>") != npos &&
           page.find("<a href=\"?m" + t + "\">Date Modified</a></th>") != npos;
}

// The entry links of a listing, in order (column and parent links left out).
lines entry_links(const std::string& page)
{
    static const std::regex row("<tr><td align=\"left\"><a href=\"([^\"]*)\">([^<]*)</a></td><td>"
                                "&nbsp;&nbsp;&nbsp;</td>");
    lines out;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), row);
         it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1]);
    return out;
}

// One answer as the client saw it.
struct Reply {
    int rc = -2;
    std::string text;
    std::string body() const { return text.substr(text.find("\r\n\r\n") + 4); }
    // The head's lines, the Date line replaced by "Date: *" once its form has been checked.
    lines head() const
    {
        static const std::regex date("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] "
                                     "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                                     "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT");
        lines out;
        std::string h = text.substr(0, text.find("\r\n\r\n") + 2);
        for (size_t at = 0, end; (end = h.find("\r\n", at)) != npos; at = end + 2) {
            out.push_back(h.substr(at, end - at));
            if (out.back().starts_with("Date: ")) {
                EXPECT_TRUE(std::regex_match(out.back(), date)) << out.back();
                out.back() = "Date: *";
            }
        }
        return out;
    }
};

int calls = 0;
std::string target_seen;
char* print_fn(envelope* request, envelope* out)
{
    ++calls;
    EXPECT_EQ(out->object, request->object);
    buffer_printf(&static_cast<request_data*>(request->object)->out, "%s", "hello");
    return nullptr;
}
char* failing_fn(envelope* request, envelope*)
{
    ++calls; // output still waiting in the send buffer is replaced by the error page
    socket_snd(static_cast<request_data*>(request->object)->sock, "partial", 7);
    return quorvel_make_return_value("database <down>");
}
char* handler_fn(envelope* request, envelope*, const char* target)
{
    ++calls;
    target_seen = target;
    buffer_printf(&static_cast<request_data*>(request->object)->out, "%s", "handled\n");
    return nullptr;
}
char* failing_handler_fn(envelope*, envelope*, const char*)
{
    ++calls;
    return quorvel_make_return_value("no converter");
}

// A root "www" with files, a directory, MIME rows and mapped functions beside a canary file
// outside it; each request arrives over a socket pair on a record made like an accepted one.
class Site : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls = 0;
        std::filesystem::create_directories(root + "/docs");
        dir.write("www/empty.txt", "");
        dir.write("www/x.hnd", "handled by a function");
        dir.write("www/y.fail", "failing");
        for (const char* path : {"/a.txt", "/empty.txt", "/docs"})
            set_mtime(root + path, nov6);
        server.root = root.data();
        std::strcpy(server.index, "/index.html");
        server.flags = SERVER_DIRLIST;
        for (htable** t : tables())
            *t = htable_create(100);
        for (auto [ext, type, fn] : {std::tuple{"html", "text/html", quorvel_mime_fn{}},
                                     {"txt", "text/plain", nullptr},
                                     {"unknown_txt", "text/plain", nullptr},
                                     {"unknown", "application/octet-stream", nullptr},
                                     {"jpg", "image/jpeg", nullptr},
                                     {"hnd", "text/plain", handler_fn},
                                     {"fail", "text/plain", failing_handler_fn}}) {
            mime_record row{fn, const_cast<char*>(type), 1};
            htable_store(server.mime_table, ext, static_cast<uint32_t>(std::strlen(ext)), &row,
                         sizeof(row), true, nullptr);
        }
        for (auto [path, fn] :
             {std::pair{"/fn", &print_fn}, {"/fail", &failing_fn}, {"/null", nullptr}})
            map(server.get_uris, path, fn);
    }
    void TearDown() override
    {
        for (htable** t : tables())
            htable_destroy(t);
    }
    std::vector<htable**> tables()
    {
        return {&server.mime_table, &server.get_uris, &server.post_uris, &server.content_cache};
    }
    void map(htable* table, const std::string& key, quorvel_uri_fn fn, bool typed = true)
    {
        static mime_record html{nullptr, const_cast<char*>("text/html"), 1};
        uri_record record{fn, typed ? &html : nullptr};
        htable_store(table, key.data(), static_cast<uint32_t>(key.size()), &record, sizeof(record),
                     true, nullptr);
    }
    void store(const std::string& path, const std::string& bytes)
    {
        htable_store(server.content_cache, path.data(), static_cast<uint32_t>(path.size()),
                     bytes.data(), static_cast<uint32_t>(bytes.size()), true, nullptr);
    }
    request_data* receive(qtest::SocketPair& pair, const std::string& bytes, int32_t size = 4096)
    {
        qtest::send_all(pair.peer, bytes);
        ::shutdown(pair.peer, SHUT_WR);
        quorvel::socket* sock = qtest::connection(pair.mine, size);
        std::strcpy(sock->peer, peer.c_str()); // the address the access rules see
        request_data* r = http_request(&server, sock, 65536);
        EXPECT_NE(r, nullptr) << bytes;
        return r;
    }
    // Reads `request` from the wire, lets `tweak` change the record, answers it and closes.
    Reply exchange(const std::string& request,
                   const std::function<void(request_data*)>& tweak = nullptr, int32_t size = 4096,
                   const std::function<int(request_data*)>& respond = http_responce)
    {
        qtest::SocketPair pair;
        Reply reply;
        request_data* r = receive(pair, request, size);
        if (r == nullptr)
            return reply;
        if (tweak)
            tweak(r);
        std::thread reader([&] { reply.text = qtest::read_to_end(pair.peer); });
        reply.rc = respond(r);
        request_destroy(&r);
        reader.join();
        return reply;
    }
    Reply get(const std::string& path, const std::string& headers = "")
    {
        return exchange("GET " + path + " HTTP/1.0\r\n" + headers + "\r\n");
    }
    Reply failed(uint32_t status)
    {
        return exchange("GET /a.txt HTTP/1.0\r\n\r\n", [&](request_data* q) {
            q->flags |= REQUEST_FAILED;
            q->status = status;
        });
    }
    std::string status(const std::string& path, const std::string& method = "GET ")
    {
        return exchange(method + path + " HTTP/1.0\r\n" + authorization + "\r\n").head()[0];
    }

    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string root = dir.file("www"), canary = dir.write("secret.txt", "canary");
    std::string text = dir.write("www/a.txt", std::string("line one\r\nline\0two\n", 19));
    std::string authorization, peer = "127.0.0.1";
    server_record server{};
};

} // namespace

TEST_F(Site, HeaderLinesInOrderAndTheBodyByteForByte)
{
    const std::string modified = "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT";
    struct row {
        std::string path, attributes;
        lines expected;
    } rows[] = {
        {"/a.txt", "", {"Content-Type: text/plain", modified, "Content-Length: 19"}},
        // Empty files and directories go without a length.
        {"/empty.txt", "", {"Content-Type: text/plain", modified}},
        {"/docs", "", {"Content-Type: text/html", modified}},
        // Attributes follow the length; Cache-Control drops Last-Modified.
        {"/a.txt",
         "Cache-Control: max-age=60\r\n",
         {"Content-Type: text/plain", "Content-Length: 19", "Cache-Control: max-age=60"}},
        {"/a.txt",
         "Set-Cookie: id=7\r\nX-A: 1\r\n",
         {"Content-Type: text/plain", modified, "Content-Length: 19", "Set-Cookie: id=7",
          "X-A: 1"}},
    };
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
    // A directory has a modification time too.
    EXPECT_EQ(get("/docs", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n").head(),
              not_modified);
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

TEST(HttpDate, Rfc1123InUtcWithSixtyFourBitTimesAndABoundedOutput)
{
    char out[HTTP_DATE_SIZE];
    EXPECT_STREQ(format_http_date(nov6, out, sizeof(out)), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_STREQ(format_http_date(4102444800, out, sizeof(out)), "Fri, 01 Jan 2100 00:00:00 GMT");
    EXPECT_STREQ(format_http_date(-1, out, sizeof(out)), "Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(format_http_date(INT64_MAX, out, sizeof(out)), nullptr);
    EXPECT_EQ(format_http_future(INT64_MAX, out, sizeof(out)), nullptr);
    // A text that does not fit is refused, not cut.
    EXPECT_EQ(format_http_date(nov6, out, 29), nullptr);
    EXPECT_STREQ(out, "");
}

TEST_F(Site, ErrorPagesCarryTheirExactLengthAndTheFooter)
{
    for (auto [path, index] :
         {std::pair{"/missing.txt", 16}, {"/a..b", 6}, {"/docs/.htaccess", 7}}) {
        SCOPED_TRACE(path); // 404, 401, 403
        std::string page = error_page(index);
        lines expected{"HTTP/1.0 " + std::string(status_line(index)),
                       "Date: *",
                       "Server: Quorvel/1.0",
                       "Content-Type: text/html",
                       "Content-Length: " + std::to_string(page.size()),
                       "Connection: close"};
        Reply r = get(path);
        EXPECT_EQ(r.head(), expected);
        EXPECT_EQ(r.body(), page);
        // A failed HEAD: the error page's header without the page.
        EXPECT_TRUE(exchange(std::string("HEAD ") + path + " HTTP/1.0\r\n\r\n")
                        .text.ends_with("Connection: close\r\n\r\n"));
    }
    // 401 Authorization required carries the Basic challenge before Content-Type.
    EXPECT_EQ(
        failed(STATUS_AUTH_REQUIRED).head(),
        (lines{"HTTP/1.0 401 Authorization required", "Date: *", "Server: Quorvel/1.0",
               "WWW-Authenticate: Basic realm=\"File Download Authorization\"",
               "Content-Type: text/html",
               "Content-Length: " + std::to_string(error_page(17).size()), "Connection: close"}));
    // Every row of the table; an index beyond it answers 500.
    for (uint32_t index = 0; index < STATUS_COUNT + 2; ++index) {
        Reply r = failed(index);
        uint32_t shown = index < STATUS_COUNT ? index : 14;
        EXPECT_EQ(r.head()[0], "HTTP/1.0 " + std::string(status_line(shown))) << index;
        EXPECT_EQ(r.body(), error_page(shown)) << index;
        EXPECT_EQ(r.head()[index == STATUS_AUTH_REQUIRED ? 5 : 4],
                  "Content-Length: " + std::to_string(r.body().size()))
            << index;
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
    // Stored HTML goes out unchanged with includes on; a buffer of a few bytes changes nothing.
    const std::string html = "<p><!--#echo var=\"DATE_LOCAL\" --></p>" + std::string(9000, '%');
    store("/page.html", html);
    server.flags |= SERVER_SSI;
    EXPECT_TRUE(exchange("GET /page.html HTTP/1.0\r\n\r\n", nullptr, 7).body() == html);
    // An entry without bytes answers with the internal-error page.
    EXPECT_EQ(exchange("GET /stored HTTP/1.0\r\n\r\n", [](request_data* q) { q->target = nullptr; })
                  .body(),
              message_page("URL mapped function is NULL"));

    // The header ends with its empty line and one more line end opens the body; output that
    // does not end a line gets a line end.
    Reply r = get("/fn");
    EXPECT_EQ(r.head(), (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                               "Content-Type: text/html"}));
    EXPECT_EQ(r.body(), "\r\nhello\r\n");
    // A MIME handler gets the file's path as its target, unless the plain file is asked for;
    // HEAD does not run it.
    EXPECT_EQ(get("/x.hnd").body(), "\r\nhandled\n");
    EXPECT_EQ(target_seen, root + "/x.hnd");
    EXPECT_EQ(
        exchange("GET /x.hnd HTTP/1.0\r\n\r\n", [](request_data* q) { q->no_mime_handler = 1; })
            .body(),
        "handled by a function");
    EXPECT_TRUE(exchange("HEAD /x.hnd HTTP/1.0\r\n\r\n").text.ends_with("text/plain\r\n\r\n"));
    EXPECT_EQ(calls, 2);
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
    EXPECT_EQ(exchange("GET /a.txt HTTP/1.0\r\n\r\n",
                       [&](request_data* q) {
                           remove(q);
                           ::close(q->file_fd);
                           q->file_open = 0;
                       })
                  .body(),
              error_page(16));

    std::string big(1 << 20, 'b');
    dir.write("www/big.bin", big);
    store("/large", big);
    for (const char* path : {"/big.bin", "/large"}) {
        qtest::SocketPair pair;
        request_data* q = receive(pair, std::string("GET ") + path + " HTTP/1.0\r\n\r\n");
        ASSERT_NE(q, nullptr);
        pair.close_peer();
        EXPECT_EQ(http_responce(q), -1) << path;
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

TEST_F(Site, ListingsHaveTitleParentRowSortedLinksAndTheFooter)
{
    set_mtime(dir.write("www/sorted/a.txt", std::string(10, 'a')), 1000);
    set_mtime(dir.write("www/sorted/big.bin", std::string(2048, 'b')), 3000);
    set_mtime(dir.write("www/sorted/c.txt", std::string(500, 'c')), 2000);
    dir.write("www/sorted/docs/in.txt", "in");
    // The root (no index file): titled ROOT, no parent row; the same with a root ending in '/'.
    std::string top = get("/").body();
    EXPECT_TRUE(listing_head(top, "ROOT", 'm')) << top;
    EXPECT_TRUE(top.ends_with(list_footer));
    EXPECT_EQ(top.find("(Parent Directory..)"), npos);
    EXPECT_EQ(entry_links(top),
              (lines{"/docs", "/sorted", "/a.txt", "/empty.txt", "/x.hnd", "/y.fail"}));
    std::string slashed = root + "/";
    server.root = slashed.data();
    EXPECT_EQ(get("/").body(), top);
    server.root = root.data();
    // Below the root, the parent row links the directory above.
    std::string sub = get("/sorted").body();
    EXPECT_NE(sub.find("</th><tr><td align=\"left\"><a href=\"/" + parent_row_end), npos);
    EXPECT_NE(sub.find("<td align=\"right\">2.0 kB</td>"), npos);
    EXPECT_NE(sub.find("<td align=\"right\">Directory</td>"), npos);
    EXPECT_NE(get("/sorted/docs/").body().find("<a href=\"/sorted" + parent_row_end), npos);
    // The query sorts, directories first; a column sorted ascending offers descending next.
    const std::tuple<std::string, char, lines> orders[] = {
        {"", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"?nm", 'a', {"docs", "c.txt", "big.bin", "a.txt"}},
        {"?sa", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"?sm", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
        {"?ma", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"?mm&x=1", 'a', {"docs", "big.bin", "c.txt", "a.txt"}}};
    for (const auto& [query, toggle, names] : orders) {
        SCOPED_TRACE(query);
        std::string page = get("/sorted" + query).body();
        EXPECT_TRUE(listing_head(page, "/sorted", toggle));
        lines expected;
        for (const auto& name : names)
            expected.push_back("/sorted/" + name);
        EXPECT_EQ(entry_links(page), expected);
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(Site, ListingsEscapeHostileNamesHideAccessFilesAndStopWhenThePeerGoes)
{
    const std::string hostile = "www/h<&>\"/";
    dir.write(hostile + "x<y>&\"'.txt", "x");
    dir.write(hostile + "<script>alert(1)<", "x");
    for (const char* name : {".htaccess", ".htpasswd", ".htgroup", ".HTACCESS", "in/x"})
        dir.write(hostile + name, "x");
    // Streamed directly: the access file would otherwise guard the directory.
    auto listing = [&](const std::string& path) {
        return exchange("GET / HTTP/1.0\r\n\r\n", nullptr, 4096,
                        [&](request_data* q) { return stream_http_dir(q, (root + path).c_str()); });
    };
    Reply r = listing("/h<&>\"");
    EXPECT_EQ(r.rc, static_cast<int>(list_footer.size()));
    EXPECT_TRUE(listing_head(r.text, "/h&lt;&amp;&gt;&quot;", 'm')) << r.text;
    const std::string dir_link = "/h%3C%26%3E%22";
    EXPECT_EQ(entry_links(r.text), (lines{dir_link + "/in", dir_link + "/.HTACCESS",
                                          dir_link + "/%3Cscript%3Ealert%281%29%3C",
                                          dir_link + "/x%3Cy%3E%26%22%27.txt"}));
    EXPECT_NE(r.text.find(">x&lt;y&gt;&amp;&quot;&#39;.txt</a>"), npos);
    EXPECT_NE(r.text.find(">&lt;script&gt;alert(1)&lt;</a>"), npos);
    for (const char* absent : {"<script>", ".htaccess", ".htpasswd", ".htgroup"})
        EXPECT_EQ(r.text.find(absent), npos) << absent;
    EXPECT_NE(listing("/h<&>\"/in").text.find("<a href=\"" + dir_link + parent_row_end), npos);

    // Nothing is sent for a directory that cannot be read; stat's errno names the cause.
    r = listing("/missing");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(log.text(),
              "error (stream_http_dir, 10782): " + std::string(std::strerror(ENOENT)) + "\n");
    log.clear();
    EXPECT_EQ(stream_http_dir(nullptr, root.c_str()), -1);
    qtest::expect_report(log, "error (stream_http_dir, 10774): null argument passed\n", EINVAL,
                         160);
    // The peer is gone: the rows stop at the first failed send.
    for (int i = 0; i < 200; ++i)
        dir.write("www/many/f" + std::to_string(1000 + i), "");
    qtest::SocketPair pair;
    request_data* q = receive(pair, "GET / HTTP/1.0\r\n\r\n");
    pair.close_peer();
    EXPECT_EQ(stream_http_dir(q, (root + "/many").c_str()), -1);
    request_destroy(&q);
}

TEST(SplitUri, KeysAreBoundedInLength)
{
    uri_parts parts;
    uri_keys keys;
    // 259 bytes still split, 260 do not; a key too long is skipped and the others stay.
    for (auto [path, first, second] :
         {std::tuple<std::string, std::string, std::string>{"/" + std::string(259, 'a'), "", ""},
          {"/" + std::string(79, 'n'), "", "*" + std::string(79, 'n') + ".*"},
          {"/cgi/run.x", "*run", "*run.*"}}) {
        split_uri(path.c_str(), &parts);
        make_uri_keys(&parts, &keys);
        EXPECT_EQ(keys.key[0], first) << path;
        EXPECT_EQ(keys.key[1], second) << path;
    }
}

TEST_F(Site, IndexFilesDirectoriesAndMimeTypes)
{
    const std::string not_found = "HTTP/1.0 404 File not found";
    dir.write("www/index.html", "<p>home</p>");
    dir.write("www/sub/index.html", "x");
    EXPECT_EQ(get("/").body(), "<p>home</p>");
    EXPECT_TRUE(listing_head(get("/sub").body(), "/sub", 'm')); // never its index file
    // The fallback is for the index name only, and only onto a directory.
    for (const char* path :
         {"/sub/x/index.html", "/sub/old-index.html", "/sub/index.html/index.html"})
        EXPECT_EQ(status(path), not_found) << path;
    server.flags = 0; // and without listings, no index file is no page
    std::filesystem::remove(root + "/index.html");
    EXPECT_EQ(status("/"), not_found);
    log.clear();
    EXPECT_EQ(status("/sub"), not_found);
    EXPECT_EQ(log.text(), "error (httpsrv_rslvpath, 14585): " + root + "/sub is not a file\n");

    const std::tuple<const char*, std::string, const char*> files[] = {
        {"/style.min.css", "body { color: red; }\r\n\t", "text/plain"},
        {"/blob.min.css", std::string("\x89PNG\0", 5), "application/octet-stream"},
        {"/FILE.HTML", "<p>x</p>", "text/plain"},
        {"/photo.jpg", "not really a jpeg", "image/jpeg"},
        {"/empty", "", "application/octet-stream"},
        {"/high", "caf\xC3\xA9", "application/octet-stream"},
        {"/del", "\x7F", "application/octet-stream"},
        {"/long", std::string(256, 'a') + "\x01", "text/plain"},
        {"/html", "\x01", "text/html"}};
    for (const auto& [path, contents, type] : files) {
        dir.write(std::string("www") + path, contents);
        EXPECT_EQ(get(path).head()[3], std::string("Content-Type: ") + type) << path;
    }
    // Without the last fallback row nothing can type the answer.
    htable_destroy(&server.mime_table);
    server.mime_table = htable_create(10);
    EXPECT_EQ(status("/blob.min.css"), "HTTP/1.0 500 Internal Server Error");
}

TEST_F(Site, MappedPathsByMethod)
{
    const std::string hello = "\r\nhello\r\n", failure = message_page("database <down>");
    dir.write("www/f.html", "file");
    map(server.get_uris, "/f.html", print_fn);
    map(server.get_uris, "/cgi/*", failing_fn);
    map(server.get_uris, "*run", print_fn);
    map(server.post_uris, "/form", print_fn, false);
    EXPECT_EQ(get("/f.html").body(), hello);
    EXPECT_EQ(get("/cgi/run.x").body(), hello); // "*run" is tried before "/cgi/*"
    EXPECT_EQ(get("/cgi/other.x").body(), failure);
    // HEAD is always a file; a path registered only for POST answers GET from the files.
    EXPECT_EQ(exchange("HEAD /f.html HTTP/1.0\r\n\r\n").head()[5], "Content-Length: 4");
    EXPECT_EQ(status("/cgi/run.x", "HEAD "), "HTTP/1.0 404 File not found");
    EXPECT_EQ(status("/form"), "HTTP/1.0 404 File not found");
    Reply post = exchange("POST /form HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(post.head()[3], "Content-Type: application/octet-stream");
    EXPECT_EQ(post.body(), hello);
    // A mapped path may hold "..": it reaches its function.
    EXPECT_EQ(get("/cgi/a..b").body(), failure);
    // A path too long to split is still looked up whole.
    std::string path = "/" + std::string(200, 'd') + "/" + std::string(100, 'f') + ".txt";
    dir.write("www" + path, "long");
    EXPECT_EQ(get(path).body(), "long");
    map(server.get_uris, path, failing_fn);
    EXPECT_EQ(get(path).body(), failure);
}

TEST_F(Site, RequestsNeverLeaveTheRootNorReachAccessFiles)
{
    dir.write("www/index.html", "home");
    dir.write("www/sub/a.txt", "a");
    dir.write("www/sub/.htpasswd", "alice:secret\n");
    dir.write("www/.htdir/x", "");
    const std::string refused = "HTTP/1.0 401 Unauthorized", forbidden = "HTTP/1.0 403 Forbidden";
    const std::pair<std::string, std::string> attempts[] = {
        {"/../secret.txt", refused},
        {"/sub/../../secret.txt", refused},
        {"/sub\\..\\..\\secret.txt", refused},
        {"/%2e%2e/secret.txt", refused},
        {"/sub/%2e%2e%2f%2e%2e%2fsecret.txt", refused},
        {"/sub/..", refused},
        {"/sub/a.txt%00/../../secret.txt", refused},
        {canary, "HTTP/1.0 404 File not found"},
        {"//" + canary.substr(1), "HTTP/1.0 404 File not found"},
        {"/sub/.htpasswd", forbidden},
        {"\\sub\\.htpasswd", forbidden},
        {"/.htdir/.", forbidden},
        {"/sub/.htmissing", forbidden}};
    for (const auto& [path, line] : attempts) {
        Reply r = get(path);
        EXPECT_EQ(r.head()[0], line) << path;
        EXPECT_EQ(r.body().find("canary"), npos) << path;
    }
    log.clear();
    get("/../secret.txt");
    EXPECT_EQ(log.text(), "error (httpsrv_rslvpath, 14503): invalid path \"/../secret.txt\", "
                          "\"..\" not allowed\n");
    // A backslash is a separator; a name without '/' is the index.
    EXPECT_EQ(get("\\sub\\a.txt").body(), "a");
    EXPECT_EQ(get("secret.txt").body(), "home");
}

TEST_F(Site, ResolverRefusals)
{
    char out[RESOLVED_PATH_SIZE];
    uint32_t code = 0;
    int is_dir = 1;
    EXPECT_EQ(httpsrv_rslvpath(out, nullptr, &server, sizeof(out), &code, &is_dir), -1);
    qtest::expect_report(log, "error (httpsrv_rslvpath, 14492): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);
    // Root, path, separator and terminator must fit exactly.
    std::string path = "/" + std::string(RESOLVED_PATH_SIZE - root.size() - 2, 'x');
    EXPECT_EQ(httpsrv_rslvpath(out, path.c_str(), &server, sizeof(out), &code, &is_dir), -1);
    EXPECT_EQ(code, STATUS_NOT_FOUND);
    path += "x";
    log.clear();
    EXPECT_EQ(httpsrv_rslvpath(out, path.c_str(), &server, sizeof(out), &code, &is_dir),
              static_cast<int>(root.size() + path.size()));
    qtest::expect_report(log, "error (httpsrv_rslvpath, 14516): provided buffer is too small\n",
                         ENOSPC, LAST_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(status(path), "HTTP/1.0 500 Internal Server Error");
    EXPECT_EQ(map_local_path(&server, "a\\b", out, sizeof(out)), 0);
    EXPECT_EQ(out, root + "/a/b");
    EXPECT_EQ(map_local_path(&server, "/a/../b", out, sizeof(out)), -1);
    // A FIFO is refused at once instead of blocking the handler.
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
    EXPECT_EQ(status("/pipe"), "HTTP/1.0 401 Unauthorized");
    // File sizes beyond four gigabytes, where sparse files exist.
    std::error_code error;
    std::filesystem::resize_file(dir.write("www/big.bin", ""), 5ull << 30, error);
    EXPECT_TRUE(error || exchange("HEAD /big.bin HTTP/1.0\r\n\r\n").head()[5] ==
                             "Content-Length: 5368709120");
    if (::geteuid() == 0)
        return; // permissions do not bind the superuser
    ::chmod((root + "/docs").c_str(), 0);
    EXPECT_EQ(status("/docs"), "HTTP/1.0 401 Unauthorized");
    ::chmod((root + "/docs").c_str(), 0700);
}

TEST_F(Site, AccessFilesTheNearestGovernsItsTree)
{
    const std::string ok = "HTTP/1.0 200 OK", refused = "HTTP/1.0 401 Authorization required";
    std::string passwords = dir.write("passwd", "alice:secret\nbob:hunter2\n");
    dir.write("www/docs/deep/x.txt", "x");
    // An access file above the root does not govern the tree below it.
    dir.write(".htaccess", "deny from \n");
    EXPECT_EQ(status("/docs/deep/x.txt"), ok);
    // Below one, files and listings need a known user with the right password, sent as Basic.
    dir.write("www/.htaccess", "AuthUserFile " + passwords + "\nrequire valid-user\n");
    for (std::string credentials :
         {"", "Bearer YWxpY2U6c2VjcmV0", "Basic YWxpY2U6d3Jvbmc=", "Basic Ym9iOmh1bnRlcjI="}) {
        authorization = credentials.empty() ? "" : "Authorization: " + credentials + "\r\n";
        for (const char* path : {"/docs/deep/x.txt", "/docs/deep/", "/"})
            EXPECT_EQ(status(path), credentials.ends_with("I=") ? ok : refused)
                << path << credentials;
    }
    EXPECT_EQ(status("/.htaccess"), "HTTP/1.0 403 Forbidden");
    // A nearer file replaces the root's rules for its tree; a directory has its own.
    dir.write("www/docs/.htaccess", "allow from 10.\n");
    EXPECT_EQ(status("/docs/deep/x.txt"), refused);
    EXPECT_EQ(status("/docs"), refused);
    EXPECT_EQ(status("/a.txt"), ok);
    peer = "10.9.8.7";
    EXPECT_EQ(status("/docs/deep/x.txt"), ok);
}

TEST_F(Site, AccessFilesAllowDenyAndGroupRules)
{
    std::string passwords = dir.write("passwd", "alice:secret\nbob:hunter2\n");
    std::string groups = dir.write("groups", "staff: carol\nadmin: alice\nusers: bob, alice\n");
    const std::string files = "AuthUserFile " + passwords + "\nAuthGroupFile " + groups + "\n";
    const std::string alice = "YWxpY2U6c2VjcmV0",
                      bob = "Ym9iOmh1bnRlcjI=", nobody = "bm9ib2R5Omh1bnRlcjI=";
    const std::tuple<std::string, std::string, std::string, bool> rows[] = {
        // The header is demanded whenever an access file exists, even for an address rule.
        {"allow from 127.0.0.1\n", "127.0.0.1", "", false},
        {"allow from 127.0.0.1\n", "::ffff:127.0.0.1", nobody, true},
        {"allow from 127.0.0.1\n", "127.0.0.10", nobody, false},
        // An empty deny, "all" and anything that is no address prefix refuse everyone.
        {"deny from \n", "127.0.0.1", nobody, false},
        {"deny from all\n", "127.0.0.1", nobody, false},
        {"deny from localhost\n", "127.0.0.1", nobody, false},
        {"deny from 10. \n", "10.1.2.3", nobody, false},
        {"deny from 10. \n", "110.1.2.3", nobody, true},
        // A refusing line stops the reading; a later deny still refuses.
        {"deny from 110.1\nallow from 110.1\n", "110.1.2.3", nobody, false},
        {"allow from 110.1\ndeny from 110.1.2\n", "110.1.2.3", nobody, false},
        {files + "require group admins\n", "127.0.0.1", alice, false},
        {files + "require group admins admin\n", "127.0.0.1", alice, true},
        {files + "require group users\n", "127.0.0.1", bob, true},
        {files + "require group admin\n", "127.0.0.1", bob, false},
        {"AuthGroupFile " + groups + "\nAuthUserFile " + passwords + "\nrequire group admin\n",
         "127.0.0.1", alice, false}, // groups only count after the users
        // Every file may end its lines with CR LF.
        {"AuthUserFile " + dir.write("p2", "alice:secret\r\n") + "\r\nAuthGroupFile " +
             dir.write("g2", "admin: bob alice\r\n") +
             "\r\n\r\nrequire group admin\r\nallow from 127.0.0.1\r\n",
         "127.0.0.1", alice, true},
        // What cannot be read might hide a refusing rule: a line too long for the reader.
        {"allow from 127.0.0.1\n#" + std::string(3000, 'x') + "\n", "127.0.0.1", alice, false}};
    dir.write("www/r/a", "a");
    for (const auto& [rules, address, credentials, expected] : rows) {
        dir.write("www/r/.htaccess", rules);
        peer = address;
        authorization = credentials.empty() ? "" : "Authorization: Basic " + credentials + "\r\n";
        EXPECT_EQ(status("/r/a"),
                  expected ? "HTTP/1.0 200 OK" : "HTTP/1.0 401 Authorization required")
            << rules << address << credentials;
    }
    // An access "file" that is a directory or a dangling link refuses too.
    std::filesystem::create_directories(root + "/d/.htaccess");
    dir.write("www/d/a", "a");
    dir.write("www/e/a", "a");
    std::filesystem::create_symlink(dir.file("gone"), root + "/e/.htaccess");
    for (const char* path : {"/d/a", "/e/a"})
        EXPECT_EQ(status(path), "HTTP/1.0 401 Authorization required") << path;
}
