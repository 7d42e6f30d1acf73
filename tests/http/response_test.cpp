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
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorvel;
using qtest::set_mtime;
using lines = std::vector<std::string>;

namespace {

constexpr time_t nov6 = 784111777; // Sun, 06 Nov 1994 08:49:37 GMT

const std::string footer =
    "<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n";
const std::string list_footer =
    "</table></div><hr><address>Server powered by Quorvel version 0.9.0</address></body>"
    "</html>\r\n";
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

// A listing page's head for `title`, its column links asking for `toggle`.
std::string page_head(const std::string& title, char toggle)
{
    std::string t(1, toggle);
    return "<html><head><title>Index of " + title +
           "</title><style type=\"text/css\">a:link {color: blue;text-decoration:none;}"
           "a:visited {color: purple;text-decoration:none;}a:active {background-color: "
           "yellow;text-decoration:none;}a:hover {color:red;text-decoration:none;}</style>"
           "</head><body><h2>Index of " +
           title +
           "</h2><pre><hr><div style=\"overflow:auto;  width: 100%; height: 80%; padding:0px; "
           "margin: 0px\"> <table width=\"100%\" cellpadding=\"0\"><tr><th align=\"left\"><a "
           "href=\"?n" +
           t + "\">Name</a></th><th>&nbsp;&nbsp;&nbsp;</th><th align=\"right\"><a href=\"?s" + t +
           "\">Size</a></th><th>&nbsp;&nbsp;&nbsp;</th><th align=\"right\"><a href=\"?m" + t +
           "\">Date Modified</a></th></tr><th>&nbsp;&nbsp;&nbsp;</th>";
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
        for (size_t at = 0, end; (end = h.find("\r\n", at)) != std::string::npos; at = end + 2) {
            std::string line = h.substr(at, end - at);
            if (line.starts_with("Date: ")) {
                EXPECT_TRUE(std::regex_match(line, date)) << line;
                line = "Date: *";
            }
            out.push_back(line);
        }
        return out;
    }
};

int calls = 0;
std::string target_seen;

char* print_fn(envelope* request, envelope* out)
{
    ++calls;
    EXPECT_EQ(request->type, static_cast<uint32_t>(quorvel_obj_connection));
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

// A root with files, a directory, MIME rows, mapped functions and stored content; each
// request arrives over a socket pair on a record made like an accepted one.
class Answer : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls = 0;
        root = dir.file("www");
        std::filesystem::create_directories(root + "/docs");
        text = dir.write("www/a.txt", std::string("line one\r\nline\0two\n", 19));
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
                                     {"unknown", "application/octet-stream", nullptr},
                                     {"hnd", "text/plain", handler_fn},
                                     {"fail", "text/plain", failing_handler_fn}}) {
            mime_record row{fn, const_cast<char*>(type), 1};
            htable_store(server.mime_table, ext, static_cast<uint32_t>(std::strlen(ext)), &row,
                         sizeof(row), true, nullptr);
        }
        static mime_record html{nullptr, const_cast<char*>("text/html"), 1};
        for (auto [path, fn] :
             {std::pair{"/fn", &print_fn}, {"/fail", &failing_fn}, {"/null", nullptr}}) {
            uri_record record{fn, &html};
            htable_store(server.get_uris, path, static_cast<uint32_t>(std::strlen(path)), &record,
                         sizeof(record), true, nullptr);
        }
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
    void store(const std::string& path, const std::string& bytes)
    {
        htable_store(server.content_cache, path.data(), static_cast<uint32_t>(path.size()),
                     bytes.data(), static_cast<uint32_t>(bytes.size()), true, nullptr);
    }
    request_data* receive(qtest::SocketPair& pair, const std::string& bytes, int32_t size)
    {
        qtest::send_all(pair.peer, bytes);
        ::shutdown(pair.peer, SHUT_WR);
        request_data* r = http_request(&server, qtest::connection(pair.mine, size), 65536);
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

    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string root, text;
    server_record server{};
};

} // namespace

TEST_F(Answer, HeaderLinesInOrderAndTheBodyByteForByte)
{
    const std::string head = "HTTP/1.0 200 OK|Server: Quorvel/1.0|Content-Type: ";
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
        Reply r = exchange("GET " + path + " HTTP/1.0\r\n\r\n", [&](request_data* q) {
            if (!attributes.empty())
                q->attributes = str_dup(attributes.c_str());
        });
        EXPECT_EQ(r.rc, 0);
        expected.insert(expected.begin(), {"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0"});
        expected.push_back("Connection: close");
        EXPECT_EQ(r.head(), expected);
        // HEAD carries the same header and no body.
        Reply h = exchange("HEAD " + path + " HTTP/1.0\r\n\r\n", [&](request_data* q) {
            if (!attributes.empty())
                q->attributes = str_dup(attributes.c_str());
        });
        EXPECT_EQ(h.head(), expected);
        EXPECT_EQ(h.body(), "");
    }
    EXPECT_EQ(get("/a.txt").body(), std::string("line one\r\nline\0two\n", 19));
    EXPECT_EQ(get("/empty.txt").body(), "");

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

TEST_F(Answer, NotModifiedInEachDateForm)
{
    const lines not_modified{"HTTP/1.0 304 Not modified", "Date: *", "Server: Quorvel/1.0"};
    const std::pair<const char*, bool> dates[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", true},
        {"Sunday, 06-Nov-94 08:49:37 GMT", true},
        {"Sun Nov  6 08:49:37 1994", true},
        {"Mon, 07 Nov 1994 00:00:00 GMT", true},
        {"Sun, 06 Nov 1994 08:49:38 GMT; length=19", true},
        {"Sun, 06 Nov 1994 08:49:36 GMT", false},
        {"Sunday, 06-Nov-94 08:48:37 GMT", false},
        {"Sun Nov  5 08:49:37 1994", false},
        {"garbage", false},
        {"Sun, 06 Nov 1994", false},
        {"Sun, 06 nov 1994 08:49:37 GMT", false},
    };
    for (auto [since, not_mod] : dates) {
        SCOPED_TRACE(since);
        for (const char* method : {"GET", "HEAD"}) {
            Reply r = exchange(std::string(method) +
                               " /a.txt HTTP/1.0\r\nIf-Modified-Since: " + since + "\r\n\r\n");
            EXPECT_EQ(r.rc, 0);
            if (not_mod) {
                EXPECT_EQ(r.head(), not_modified);
                EXPECT_TRUE(r.text.ends_with("Server: Quorvel/1.0\r\n\r\n"));
            } else {
                EXPECT_EQ(r.head()[0], "HTTP/1.0 200 OK");
            }
        }
    }
    // A directory has a modification time too.
    EXPECT_EQ(get("/docs", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n").head(),
              not_modified);
    EXPECT_EQ(log.text(), "");
}

TEST(IsNotModified, FieldByFieldWithBoundsOnEveryNumber)
{
    std::tm nov6_tm{}, nov8{}, y2009{};
    time_t when = nov6 + 2 * 86400, later = 1257497377; // Fri, 06 Nov 2009 08:49:37 GMT
    ::gmtime_r(&nov6, &nov6_tm);
    ::gmtime_r(&when, &nov8);
    ::gmtime_r(&later, &y2009);
    std::tm* file = &nov6_tm;
    const std::tuple<std::tm*, const char*, int> rows[] = {
        {file, "Sun,   6 Nov 1994 08:49:37 GMT", 1},
        {file, "Sat, 01 Jan 1995 00:00:00 GMT", 1},
        {file, "Sat, 06 Oct 1994 23:59:59 GMT", 0},
        {file, "Sunday,\t06-Nov-1994 08:49:37 GMT", 1},
        {file, "Sun Nov 6 08:49:37 GMT 1994", 1},
        {&nov8, "Tuesday, 08-Nov-94 08:49:37 GMT", 1}, // a day 08 is not octal
        {&nov8, "Monday, 07-Nov-94 08:49:37 GMT", 0},
        {&y2009, "Friday, 06-Nov-09 08:49:37 GMT", 1}, // two-digit years below 70 are 20xx
        {&y2009, "Thursday, 05-Nov-09 08:49:37 GMT", 0},
        {file, "", 0},
        {file, "Sun,06 Nov 1994 08:49:37 GMT", 0},
        {file, "Sun, 06 November 1994 08:49:37 GMT", 0},
        {file, "Sun, 32 Nov 1994 08:49:37 GMT", 0},
        {file, "Sun, 06 Nov 1994 24:49:37 GMT", 0},
        {file, "Sun, 06 Nov 94 08:49:37 GMT", 0},
        {file, "Sun, 06 Nov 19940 08:49:37 GMT", 0},
        {file, "Sun, 6-Nov-94 08:49:37 GMT", 0},
        {file, "Sun, 06-Nov-94 8:49", 0},
        {file, "Sun Nov  6 08:49:37 GMT", 0},
        {file, "Sun, 99999999999999999999 Nov 1994 08:49:37 GMT", 0},
        {nullptr, "Sun, 06 Nov 1994 08:49:37 GMT", 0},
        {file, nullptr, 0},
    };
    for (auto [tm, since, expected] : rows)
        EXPECT_EQ(is_not_modified(tm, since), expected) << (since ? since : "<null>");
    std::string huge = "Sun, " + std::string(100000, '9');
    EXPECT_EQ(is_not_modified(file, huge.c_str()), 0);
}

TEST(HttpDate, Rfc1123InUtcWithSixtyFourBitTimesAndABoundedOutput)
{
    auto date_of = [](int64_t when) -> std::string {
        char out[HTTP_DATE_SIZE];
        const char* text = format_http_date(when, out, sizeof(out));
        return text == nullptr ? "<none>" : text;
    };
    EXPECT_EQ(date_of(nov6), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(date_of(4102444800), "Fri, 01 Jan 2100 00:00:00 GMT"); // past 2038
    EXPECT_EQ(date_of(-1), "Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(date_of(INT64_MAX), "<none>");
    // A text that does not fit is refused, not cut.
    char small[29];
    EXPECT_EQ(format_http_date(nov6, small, sizeof(small)), nullptr);
    EXPECT_STREQ(small, "");
    char out[HTTP_DATE_SIZE];
    time_t before = ::time(nullptr);
    std::string later = format_http_future(3600, out, sizeof(out));
    EXPECT_TRUE(later == date_of(before + 3600) || later == date_of(::time(nullptr) + 3600));
    EXPECT_EQ(format_http_future(INT64_MAX, out, sizeof(out)), nullptr);
}

TEST_F(Answer, ErrorPagesCarryTheirExactLengthAndTheFooter)
{
    const std::pair<std::string, uint32_t> requests[] = {{"/missing.txt", 16},    // 404
                                                         {"/a..b", 6},            // 401
                                                         {"/docs/.htaccess", 7}}; // 403
    for (const auto& [path, index] : requests) {
        SCOPED_TRACE(path);
        std::string page = error_page(index);
        lines expected{"HTTP/1.0 " + std::string(status_line(index)),
                       "Date: *",
                       "Server: Quorvel/1.0",
                       "Content-Type: text/html",
                       "Content-Length: " + std::to_string(page.size()),
                       "Connection: close"};
        Reply r = get(path);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.head(), expected);
        EXPECT_EQ(r.body(), page);
        // A failed HEAD: the error page's header without the page.
        Reply h = exchange("HEAD " + path + " HTTP/1.0\r\n\r\n");
        EXPECT_EQ(h.head(), expected);
        EXPECT_EQ(h.body(), "");
    }
    EXPECT_EQ(status_line(16), std::string("404 File not found"));

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
}

TEST_F(Answer, SendErrorPageReplacesUnsentOutputAndShowsTheMessage)
{
    Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", nullptr, 4096, [](request_data* q) {
        EXPECT_EQ(socket_snd(q->sock, "stale output", 12), 12);
        return send_error_page(q, 0, "it <broke> 100%");
    });
    std::string page = message_page("it <broke> 100%");
    EXPECT_EQ(r.rc, static_cast<int>(footer.size())); // the last send: the footer
    EXPECT_EQ(r.head(),
              (lines{"HTTP/1.0 500 Internal Server Error", "Date: *", "Server: Quorvel/1.0",
                     "Content-Type: text/html", "Content-Length: " + std::to_string(page.size()),
                     "Connection: close"}));
    EXPECT_EQ(r.body(), page);
    Reply plain = exchange("GET /a.txt HTTP/1.0\r\n\r\n", nullptr, 4096,
                           [](request_data* q) { return send_error_page(q, 8, nullptr); });
    EXPECT_EQ(plain.body(), error_page(8));

    request_data none{};
    EXPECT_EQ(send_error_page(&none, 0, nullptr), -1);
    EXPECT_EQ(http_responce(nullptr), -1);
    qtest::expect_report(log, "error (http_responce, 14802): null argument passed\n", EINVAL, 160);
}

TEST_F(Answer, StoredContentIsSentByteForByte)
{
    const std::string bytes("100% <b>%s%n%d</b>\0after the NUL\0", 34);
    store("/stored", bytes);
    Reply r = get("/stored");
    EXPECT_EQ(r.head(), (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                               "Content-Type: application/octet-stream", "Content-Length: 34",
                               "Connection: close"}));
    EXPECT_EQ(r.body(), bytes);
    // Stored HTML goes out unchanged, even with includes switched on.
    const std::string html = "<p><!--#echo var=\"DATE_LOCAL\" --></p>";
    store("/page.html", html);
    server.flags |= SERVER_SSI;
    EXPECT_EQ(get("/page.html").body(), html);
    // Larger than the connection's buffer, over a buffer of a few bytes.
    std::string large(100000, '%');
    large[5000] = '\0';
    store("/large", large);
    for (int32_t size : {4096, 7})
        EXPECT_TRUE(exchange("GET /large HTTP/1.0\r\n\r\n", nullptr, size).body() == large);
    // An entry without bytes answers with the internal-error page.
    Reply lost =
        exchange("GET /stored HTTP/1.0\r\n\r\n", [](request_data* q) { q->target = nullptr; });
    EXPECT_EQ(lost.body(), message_page("URL mapped function is NULL"));
    EXPECT_EQ(log.text(), "");
}

TEST_F(Answer, FunctionsAndHandlersWriteAfterTheHeaderAndTheirErrorsBecomePages)
{
    // The header ends with its empty line and one more line end opens the body; output that
    // does not end a line gets a line end.
    Reply r = get("/fn");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.head(), (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                               "Content-Type: text/html"}));
    EXPECT_EQ(r.body(), "\r\nhello\r\n");
    // A MIME handler gets the file's path as its target, unless the plain file is asked for.
    Reply handled = get("/x.hnd");
    EXPECT_EQ(target_seen, root + "/x.hnd");
    EXPECT_EQ(handled.body(), "\r\nhandled\n");
    EXPECT_EQ(
        exchange("GET /x.hnd HTTP/1.0\r\n\r\n", [](request_data* q) { q->no_mime_handler = 1; })
            .body(),
        "handled by a function");
    // HEAD does not run the handler.
    EXPECT_TRUE(exchange("HEAD /x.hnd HTTP/1.0\r\n\r\n").text.ends_with("text/plain\r\n\r\n"));
    EXPECT_EQ(calls, 2);

    // The direct-mode header and the function's unsent output are replaced.
    Reply failing = get("/fail");
    EXPECT_EQ(failing.head()[0], "HTTP/1.0 500 Internal Server Error");
    EXPECT_EQ(failing.body(), message_page("database <down>"));
    EXPECT_EQ(get("/null").body(), message_page("URL mapped function is NULL"));
    // A failing handler: the page is sent, and the answer counts as failed.
    Reply handler = get("/y.fail");
    EXPECT_EQ(handler.rc, -1);
    EXPECT_EQ(handler.body(), message_page("no converter"));
}

TEST_F(Answer, FileRemovedAfterResolvingOrPeerGone)
{
    // Resolution opened the file: the answer sends what was found.
    std::string before = qtest::read_file(text);
    EXPECT_EQ(exchange("GET /a.txt HTTP/1.0\r\n\r\n",
                       [&](request_data*) { std::filesystem::remove(text); })
                  .body(),
              before);
    // Closed again before the answer: not found.
    dir.write("www/a.txt", before);
    Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", [&](request_data* q) {
        std::filesystem::remove(text);
        ::close(q->file_fd);
        q->file_open = 0;
    });
    EXPECT_EQ(r.body(), error_page(16));

    std::string big(1 << 20, 'b');
    dir.write("www/big.bin", big);
    store("/large", big);
    for (const char* path : {"/big.bin", "/large"}) {
        qtest::SocketPair pair;
        request_data* q = receive(pair, std::string("GET ") + path + " HTTP/1.0\r\n\r\n", 4096);
        ASSERT_NE(q, nullptr);
        pair.close_peer();
        EXPECT_EQ(http_responce(q), -1) << path;
        request_destroy(&q);
    }
}

TEST_F(Answer, WorksOnAHandlerThreadHeap)
{
    store("/stored", std::string("a\0b", 3));
    std::thread worker([&] {
        ASSERT_EQ(thread_heap_attach(262144), 0);
        EXPECT_EQ(get("/a.txt").body().size(), 19u);
        EXPECT_EQ(get("/stored").body(), std::string("a\0b", 3));
        EXPECT_EQ(get("/fail").head()[0], "HTTP/1.0 500 Internal Server Error");
        EXPECT_EQ(get("/missing").head()[0], "HTTP/1.0 404 File not found");
        thread_heap_detach();
    });
    worker.join();
}

TEST_F(Answer, ListingsHaveTitleParentRowSortedLinksAndTheFooter)
{
    set_mtime(dir.write("www/sorted/a.txt", std::string(10, 'a')), 1000);
    set_mtime(dir.write("www/sorted/big.bin", std::string(2048, 'b')), 3000);
    set_mtime(dir.write("www/sorted/c.txt", std::string(500, 'c')), 2000);
    dir.write("www/sorted/docs/in.txt", "in");

    // The root (no index file): titled ROOT, no parent row; the same with a root ending in '/'.
    std::string top = get("/").body();
    EXPECT_TRUE(top.starts_with(page_head("ROOT", 'm'))) << top;
    EXPECT_TRUE(top.ends_with(list_footer));
    EXPECT_EQ(top.find("(Parent Directory..)"), std::string::npos);
    EXPECT_EQ(entry_links(top),
              (lines{"/docs", "/sorted", "/a.txt", "/empty.txt", "/x.hnd", "/y.fail"}));
    std::string slashed = root + "/";
    server.root = slashed.data();
    EXPECT_EQ(get("/").body(), top);
    server.root = root.data();

    std::string sub = get("/sorted").body();
    EXPECT_TRUE(sub.starts_with(page_head("/sorted", 'm') + "<tr><td align=\"left\"><a href=\"/" +
                                parent_row_end))
        << sub;
    EXPECT_NE(sub.find("<td align=\"right\">2.0 kB</td>"), std::string::npos);
    EXPECT_NE(sub.find("<td align=\"right\">Directory</td>"), std::string::npos);
    EXPECT_TRUE(get("/sorted/docs/")
                    .body()
                    .starts_with(page_head("/sorted/docs", 'm') +
                                 "<tr><td align=\"left\"><a href=\"/sorted" + parent_row_end));

    // The query sorts; a column sorted ascending offers descending next.
    const std::tuple<std::string, char, lines> orders[] = {
        {"", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"?na", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"?nm", 'a', {"docs", "c.txt", "big.bin", "a.txt"}},
        {"?sa", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"?sm", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
        {"?ma", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"?mm&x=1", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
    };
    for (const auto& [query, toggle, names] : orders) {
        SCOPED_TRACE(query);
        std::string page = get("/sorted" + query).body();
        EXPECT_TRUE(page.starts_with(page_head("/sorted", toggle)));
        lines expected;
        for (const auto& name : names)
            expected.push_back("/sorted/" + name);
        EXPECT_EQ(entry_links(page), expected);
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(Answer, ListingsEscapeHostileNamesAndHideAccessFiles)
{
    const std::string hostile = "www/h<&>\"/";
    dir.write(hostile + "x<y>&\"'.txt", "x");
    dir.write(hostile + "<script>alert(1)<", "x");
    for (const char* name : {".htaccess", ".htpasswd", ".htgroup", ".HTACCESS", "in/x"})
        dir.write(hostile + name, "x");
    // Streamed directly: the access file would otherwise guard the directory.
    auto listing = [&](const std::string& sub) {
        return exchange("GET / HTTP/1.0\r\n\r\n", nullptr, 4096, [&](request_data* q) {
            return stream_http_dir(q, (root + "/h<&>\"" + sub).c_str());
        });
    };
    Reply r = listing("");
    EXPECT_EQ(r.rc, static_cast<int>(list_footer.size()));
    EXPECT_TRUE(r.text.starts_with(page_head("/h&lt;&amp;&gt;&quot;", 'm'))) << r.text;
    EXPECT_EQ(entry_links(r.text), (lines{"/h%3C%26%3E%22/in", "/h%3C%26%3E%22/.HTACCESS",
                                          "/h%3C%26%3E%22/%3Cscript%3Ealert%281%29%3C",
                                          "/h%3C%26%3E%22/x%3Cy%3E%26%22%27.txt"}));
    EXPECT_NE(r.text.find(">x&lt;y&gt;&amp;&quot;&#39;.txt</a>"), std::string::npos);
    EXPECT_NE(r.text.find(">&lt;script&gt;alert(1)&lt;</a>"), std::string::npos);
    for (const char* absent : {"<script>", ".htaccess", ".htpasswd", ".htgroup"})
        EXPECT_EQ(r.text.find(absent), std::string::npos) << absent;
    // A parent whose name needs encoding, asked for through the request line.
    EXPECT_NE(listing("/in").text.find("<a href=\"/h%3C%26%3E%22" + parent_row_end),
              std::string::npos);
}

TEST_F(Answer, ListingFailuresGiveMinusOne)
{
    qtest::SocketPair pair;
    request_data request{};
    request.server = &server;
    request.sock = qtest::connection(pair.mine);
    // Nothing is sent for a directory that cannot be read; stat's errno names the cause.
    EXPECT_EQ(stream_http_dir(&request, (root + "/missing").c_str()), -1);
    EXPECT_EQ(log.text(),
              "error (stream_http_dir, 10782): " + std::string(std::strerror(ENOENT)) + "\n");
    log.clear();
    EXPECT_EQ(stream_http_dir(nullptr, root.c_str()), -1);
    qtest::expect_report(log, "error (stream_http_dir, 10774): null argument passed\n", EINVAL,
                         160);
    // The peer is gone: the rows stop at the first failed send.
    for (int i = 0; i < 200; ++i)
        dir.write("www/many/f" + std::to_string(1000 + i), "");
    pair.close_peer();
    EXPECT_EQ(stream_http_dir(&request, (root + "/many").c_str()), -1);
    socket_destroy(&request.sock);
}
