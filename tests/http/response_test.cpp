#include "http/response.h"

#include "core/envelope.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/strings.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorvel;
using qtest::set_mtime;

namespace {

// Sun, 06 Nov 1994 08:49:37 GMT
constexpr time_t nov6 = 784111777;

const std::string footer =
    "<ADDRESS>Server powered by Quorvel version 0.9.0</ADDRESS>\r\n</BODY></HTML>\r\n";

std::tm utc(time_t when)
{
    std::tm t{};
    ::gmtime_r(&when, &t);
    return t;
}

std::string date_of(int64_t when)
{
    char out[HTTP_DATE_SIZE];
    const char* text = format_http_date(when, out, sizeof(out));
    return text == nullptr ? "<none>" : text;
}

// Everything the peer receives until the connection closes (bounded by its receive time-out).
std::string read_all(int fd)
{
    std::string got;
    char chunk[65536];
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// One answer as the client saw it.
struct Reply {
    int rc = -2;
    std::string text;

    std::string head() const { return text.substr(0, text.find("\r\n\r\n") + 4); }
    std::string body() const { return text.substr(text.find("\r\n\r\n") + 4); }
    // The head's lines, the Date line replaced by "Date: *" once its form has been checked.
    std::vector<std::string> lines() const
    {
        static const std::regex date("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [0-3][0-9] "
                                     "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                                     "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT");
        std::vector<std::string> out;
        std::string h = head();
        for (size_t at = 0; at + 2 < h.size();) {
            size_t end = h.find("\r\n", at);
            std::string line = h.substr(at, end - at);
            if (line.starts_with("Date: ")) {
                EXPECT_TRUE(std::regex_match(line, date)) << line;
                line = "Date: *";
            }
            out.push_back(line);
            at = end + 2;
        }
        return out;
    }
};

using lines = std::vector<std::string>;

// Callbacks see the test through these.
struct callback_log {
    int calls = 0;
    envelope request{};
    envelope out{};
    std::string target;
};
callback_log seen;

char* print_fn(envelope* request, envelope* out)
{
    ++seen.calls;
    seen.request = *request;
    seen.out = *out;
    auto* r = static_cast<request_data*>(request->object);
    buffer_printf(&r->out, "%s", "hello");
    return nullptr;
}

char* silent_fn(envelope*, envelope*)
{
    ++seen.calls;
    return nullptr;
}

char* failing_fn(envelope* request, envelope*)
{
    ++seen.calls;
    // Output still waiting in the send buffer is replaced by the error page.
    auto* r = static_cast<request_data*>(request->object);
    socket_snd(r->sock, "partial", 7);
    return quorvel_make_return_value("database <down>");
}

char* handler_fn(envelope* request, envelope* out, const char* target)
{
    ++seen.calls;
    seen.request = *request;
    seen.out = *out;
    seen.target = target;
    auto* r = static_cast<request_data*>(request->object);
    buffer_printf(&r->out, "%s", "handled\n");
    return nullptr;
}

char* failing_handler_fn(envelope*, envelope*, const char*)
{
    ++seen.calls;
    return quorvel_make_return_value("no converter");
}

// A root with files, a directory, the MIME rows the tests need, mapped functions and stored
// content; each request arrives over a socket pair on a connection made like an accepted
// one, and a reader on the other end collects the answer until the connection closes.
class Answer : public ::testing::Test {
protected:
    void SetUp() override
    {
        seen = callback_log{};
        root = dir.file("www");
        std::filesystem::create_directories(root + "/docs");
        text = dir.write("www/a.txt", std::string("line one\r\nline\0two\n", 19));
        dir.write("www/empty.txt", "");
        dir.write("www/x.hnd", "handled by a function");
        dir.write("www/y.fail", "handled by a failing function");
        set_mtime(text, nov6);
        server.root = root.data();
        std::strcpy(server.index, "/index.html");
        server.flags = SERVER_DIRLIST;
        for (htable** t : tables())
            *t = htable_create(100);
        mime("html", "text/html");
        mime("txt", "text/plain");
        mime("bin", "application/octet-stream");
        mime("unknown", "application/octet-stream");
        mime("hnd", "text/plain", handler_fn);
        mime("fail", "text/plain", failing_handler_fn);
        uri("/fn", print_fn);
        uri("/silent", silent_fn);
        uri("/fail", failing_fn);
        uri("/null", nullptr);
    }
    void TearDown() override
    {
        if (peer != -1)
            ::close(peer);
        for (htable** t : tables())
            htable_destroy(t);
    }
    std::array<htable**, 4> tables()
    {
        return {&server.mime_table, &server.get_uris, &server.post_uris, &server.content_cache};
    }
    void mime(const char* ext, const char* type, quorvel_mime_fn handler = nullptr)
    {
        mime_record row{handler, const_cast<char*>(type), 1};
        htable_store(server.mime_table, ext, static_cast<uint32_t>(std::strlen(ext)), &row,
                     sizeof(row), true, nullptr);
    }
    void uri(const std::string& path, quorvel_uri_fn fn)
    {
        static mime_record html{nullptr, const_cast<char*>("text/html"), 1};
        uri_record record{fn, &html};
        htable_store(server.get_uris, path.data(), static_cast<uint32_t>(path.size()), &record,
                     sizeof(record), true, nullptr);
    }
    void store(const std::string& path, const std::string& bytes)
    {
        htable_store(server.content_cache, path.data(), static_cast<uint32_t>(path.size()),
                     bytes.data(), static_cast<uint32_t>(bytes.size()), true, nullptr);
    }

    quorvel::socket* connect(const std::string& bytes, int32_t size)
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        if (peer != -1)
            ::close(peer);
        peer = fds[1];
        timeval limit{10, 0}; // an answer that never ends fails the test instead of hanging it
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        EXPECT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ::shutdown(peer, SHUT_WR);
        quorvel::socket proto{};
        proto.fd[0] = fds[0];
        proto.fd[1] = -1;
        proto.timeout = 10;
        proto.sndbuf = proto.rcvbuf = size;
        proto.flags = SOCK_BUFFERED | SOCK_CONNECTED;
        return socket_dup(&proto);
    }

    // Reads `request` from the wire, lets `tweak` change the record, answers it and closes.
    Reply exchange(const std::string& request,
                   const std::function<void(request_data*)>& tweak = nullptr, int32_t size = 4096,
                   const std::function<int(request_data*)>& respond = http_responce)
    {
        Reply reply;
        request_data* r = http_request(&server, connect(request, size), 65536);
        EXPECT_NE(r, nullptr) << request;
        if (r == nullptr)
            return reply;
        if (tweak)
            tweak(r);
        std::thread reader([&] { reply.text = read_all(peer); });
        reply.rc = respond(r);
        request_destroy(&r);
        reader.join();
        return reply;
    }
    Reply get(const std::string& path, const std::string& headers = "")
    {
        return exchange("GET " + path + " HTTP/1.0\r\n" + headers + "\r\n");
    }

    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string root, text;
    server_record server{};
    int peer = -1;
};

std::string error_page(uint32_t index)
{
    return std::string(status_page(index)) + footer;
}

} // namespace

TEST_F(Answer, FileHeaderLinesInOrderAndTheBodyByteForByte)
{
    Reply r = get("/a.txt");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.lines(),
              (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                     "Content-Type: text/plain", "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT",
                     "Content-Length: 19", "Connection: close"}));
    EXPECT_EQ(r.body(), std::string("line one\r\nline\0two\n", 19));

    // A body many times the connection's buffer, over a buffer of a few bytes too.
    std::string big;
    for (int i = 0; big.size() < 300000; ++i)
        big += std::to_string(i) + (i % 7 == 0 ? std::string(1, '\0') : "\n");
    dir.write("www/big.bin", big);
    for (int32_t size : {4096, 7}) {
        Reply b = exchange("GET /big.bin HTTP/1.0\r\n\r\n", nullptr, size);
        EXPECT_EQ(b.rc, 0);
        EXPECT_EQ(b.lines()[5], "Content-Length: " + std::to_string(big.size()));
        EXPECT_TRUE(b.body() == big) << size;
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(Answer, EmptyFilesAndDirectoriesGoWithoutContentLength)
{
    set_mtime(root + "/empty.txt", nov6);
    Reply e = get("/empty.txt");
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(
        e.lines(),
        (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0", "Content-Type: text/plain",
               "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT", "Connection: close"}));
    EXPECT_EQ(e.body(), "");

    set_mtime(root + "/docs", nov6);
    Reply d = get("/docs");
    EXPECT_EQ(d.rc, 0);
    EXPECT_EQ(d.lines(),
              (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0", "Content-Type: text/html",
                     "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT", "Connection: close"}));
    EXPECT_TRUE(d.body().starts_with("<html><head><title>Index of /docs</title>"));
    EXPECT_TRUE(d.body().ends_with("</html>\r\n"));
}

TEST_F(Answer, AttributesFollowTheLengthAndCacheControlDropsLastModified)
{
    auto with = [&](const char* attributes) {
        return exchange("GET /a.txt HTTP/1.0\r\n\r\n",
                        [&](request_data* r) { r->attributes = str_dup(attributes); });
    };
    Reply cached = with("Cache-Control: max-age=60, must-revalidate\r\n");
    EXPECT_EQ(cached.lines(),
              (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                     "Content-Type: text/plain", "Content-Length: 19",
                     "Cache-Control: max-age=60, must-revalidate", "Connection: close"}));
    Reply other = with("Set-Cookie: id=7; path=/\r\nX-A: 1\r\n");
    EXPECT_EQ(
        other.lines(),
        (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0", "Content-Type: text/plain",
               "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT", "Content-Length: 19",
               "Set-Cookie: id=7; path=/", "X-A: 1", "Connection: close"}));
    EXPECT_EQ(other.body().size(), 19u);
}

TEST_F(Answer, NotModifiedInEachDateFormAndModifiedOtherwise)
{
    const lines not_modified{"HTTP/1.0 304 Not modified", "Date: *", "Server: Quorvel/1.0"};
    for (const char* since : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                              "Sun Nov  6 08:49:37 1994", "Mon, 07 Nov 1994 00:00:00 GMT",
                              "Sun, 06 Nov 1994 08:49:38 GMT; length=19"}) {
        Reply r = get("/a.txt", std::string("If-Modified-Since: ") + since + "\r\n");
        EXPECT_EQ(r.rc, 0) << since;
        EXPECT_EQ(r.lines(), not_modified) << since;
        EXPECT_EQ(r.body(), "") << since;
        EXPECT_TRUE(r.text.ends_with("Server: Quorvel/1.0\r\n\r\n")) << since;
    }
    // HEAD is answered the same way.
    Reply head = exchange(
        "HEAD /a.txt HTTP/1.0\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
    EXPECT_EQ(head.lines(), not_modified);
    // Older dates and dates that do not parse get the file.
    for (const char* since : {"Sun, 06 Nov 1994 08:49:36 GMT", "Sunday, 06-Nov-94 08:48:37 GMT",
                              "Sun Nov  5 08:49:37 1994", "garbage", "Sun, 06 Nov 1994",
                              "Sun, 06 Foo 1994 08:49:37 GMT"}) {
        Reply r = get("/a.txt", std::string("If-Modified-Since: ") + since + "\r\n");
        EXPECT_EQ(r.lines()[0], "HTTP/1.0 200 OK") << since;
        EXPECT_EQ(r.body().size(), 19u) << since;
    }
    // A directory has a modification time too.
    set_mtime(root + "/docs", nov6);
    EXPECT_EQ(get("/docs", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n").lines(),
              not_modified);
    EXPECT_EQ(log.text(), "");
}

TEST(IsNotModified, ComparesFieldByFieldInTheThreeForms)
{
    std::tm file = utc(nov6);
    // Equal or later: not modified; one second earlier in any field: modified.
    EXPECT_EQ(is_not_modified(&file, "Sun, 06 Nov 1994 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&file, "Sun,   6 Nov 1994 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&file, "Sun, 06 Nov 1994 08:49:36 GMT"), 0);
    EXPECT_EQ(is_not_modified(&file, "Sat, 06 Oct 1994 23:59:59 GMT"), 0);
    EXPECT_EQ(is_not_modified(&file, "Sat, 01 Jan 1994 23:59:59 GMT"), 0);
    EXPECT_EQ(is_not_modified(&file, "Sat, 01 Jan 1995 00:00:00 GMT"), 1);
    EXPECT_EQ(is_not_modified(&file, "Sunday, 06-Nov-94 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&file, "Sunday,\t06-Nov-1994 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&file, "Saturday, 05-Nov-94 08:49:37 GMT"), 0);
    EXPECT_EQ(is_not_modified(&file, "Sun Nov  6 08:49:37 1994"), 1);
    EXPECT_EQ(is_not_modified(&file, "Sun Nov 6 08:49:37 GMT 1994"), 1);
    EXPECT_EQ(is_not_modified(&file, "Sun Nov  6 08:49:36 1994"), 0);

    // A day 08 is eight, not an octal mistake; two-digit years below 70 are 20xx.
    std::tm nov8 = utc(nov6 + 2 * 86400);
    EXPECT_EQ(is_not_modified(&nov8, "Tuesday, 08-Nov-94 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&nov8, "Monday, 07-Nov-94 08:49:37 GMT"), 0);
    std::tm y2009 = utc(1257497377); // Fri, 06 Nov 2009 08:49:37 GMT
    EXPECT_EQ(is_not_modified(&y2009, "Friday, 06-Nov-09 08:49:37 GMT"), 1);
    EXPECT_EQ(is_not_modified(&y2009, "Thursday, 05-Nov-09 08:49:37 GMT"), 0);

    // What does not parse, or is out of range, counts as modified.
    for (const char* bad : {"",
                            "Sun,",
                            "Sun, ",
                            "Sun,06 Nov 1994 08:49:37 GMT",
                            "Sun, 06 Nov 1994",
                            "Sun, 06 nov 1994 08:49:37 GMT",
                            "Sun, 06 November 1994 08:49:37 GMT",
                            "Sun, 32 Nov 1994 08:49:37 GMT",
                            "Sun, 00 Nov 1994 08:49:37 GMT",
                            "Sun, 06 Nov 1994 24:49:37 GMT",
                            "Sun, 06 Nov 1994 08:60:37 GMT",
                            "Sun, 06 Nov 94 08:49:37 GMT",
                            "Sun, 006 Nov 1994 08:49:37 GMT",
                            "Sun, 06 Nov 19940 08:49:37 GMT",
                            "Sun, 06 Nov 1994 08:4x:37 GMT",
                            "Sun, 6-Nov-94 08:49:37 GMT",
                            "Sun, 06-Nov-994 08:49:37 GMT",
                            "Sun, 06-Nov-94",
                            "Sun, 06-Nov-94 8:49",
                            "Sun Nov  6 08:49:37",
                            "Sun Nov  6 08:49:37 GMT",
                            "Sun Nov 99 08:49:37 1994",
                            "Sun, 99999999999999999999 Nov 1994 08:49:37 GMT",
                            "Sun, 06 Nov 1994 99999999999999999999:49:37 GMT"}) {
        EXPECT_EQ(is_not_modified(&file, bad), 0) << bad;
    }
    EXPECT_EQ(is_not_modified(&file, nullptr), 0);
    EXPECT_EQ(is_not_modified(nullptr, "Sun, 06 Nov 1994 08:49:37 GMT"), 0);
    std::string huge = "Sun, " + std::string(100000, '9');
    EXPECT_EQ(is_not_modified(&file, huge.c_str()), 0);

    EXPECT_EQ(month_index("Jan"), 0);
    EXPECT_EQ(month_index("Dec"), 11);
    for (const char* bad : {"jan", "JAN", "Ja", "Janu", ""})
        EXPECT_EQ(month_index(bad), -1) << bad;
}

TEST(HttpDate, Rfc1123FormInUtcWithSixtyFourBitTimes)
{
    EXPECT_EQ(date_of(nov6), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_TRUE(date_of(nov6).ends_with(":37 GMT"));
    EXPECT_EQ(date_of(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(date_of(4102444800), "Fri, 01 Jan 2100 00:00:00 GMT"); // past 2038
    EXPECT_EQ(date_of(-1), "Wed, 31 Dec 1969 23:59:59 GMT");

    // Bounded by the caller's size: a text that does not fit is not cut, it is refused.
    char small[29];
    std::memset(small, 'x', sizeof(small));
    EXPECT_EQ(format_http_date(nov6, small, sizeof(small)), nullptr);
    EXPECT_STREQ(small, "");
    char exact[30];
    EXPECT_EQ(format_http_date(nov6, exact, sizeof(exact)), exact);
    EXPECT_EQ(format_http_date(nov6, nullptr, 30), nullptr);
    EXPECT_EQ(date_of(INT64_MAX), "<none>");

    // Now and now plus a lifetime, against the clock read around the call.
    char out[HTTP_DATE_SIZE];
    time_t before = ::time(nullptr);
    std::string now = format_http_now(out, sizeof(out));
    std::string later = format_http_future(3600, out, sizeof(out));
    time_t after = ::time(nullptr);
    EXPECT_TRUE(now == date_of(before) || now == date_of(after)) << now;
    EXPECT_TRUE(later == date_of(before + 3600) || later == date_of(after + 3600)) << later;
    EXPECT_EQ(format_http_future(INT64_MAX, out, sizeof(out)), nullptr);
    EXPECT_EQ(format_http_now(small, 10), nullptr);
}

TEST_F(Answer, ErrorPagesCarryTheirLengthAndTheFooter)
{
    struct expected {
        std::string request;
        uint32_t index;
        std::string status;
    };
    for (const auto& [request, index, status] :
         {expected{"GET /missing.txt HTTP/1.0\r\n\r\n", 16, "404 File not found"},
          expected{"GET /a..b HTTP/1.0\r\n\r\n", 6, "401 Unauthorized"},
          expected{"GET /docs/.htaccess HTTP/1.0\r\n\r\n", 7, "403 Forbidden"}}) {
        Reply r = exchange(request);
        EXPECT_EQ(r.rc, 0);
        std::string page = error_page(index);
        EXPECT_EQ(r.lines(),
                  (lines{"HTTP/1.0 " + status, "Date: *", "Server: Quorvel/1.0",
                         "Content-Type: text/html",
                         "Content-Length: " + std::to_string(page.size()), "Connection: close"}))
            << request;
        EXPECT_EQ(r.body(), page) << request;
    }
    log.clear();

    // 401 Authorization required carries the Basic challenge before Content-Type.
    Reply auth = exchange("GET /a.txt HTTP/1.0\r\n\r\n", [](request_data* r) {
        r->flags |= REQUEST_FAILED;
        r->status = STATUS_AUTH_REQUIRED;
    });
    EXPECT_EQ(
        auth.lines(),
        (lines{"HTTP/1.0 401 Authorization required", "Date: *", "Server: Quorvel/1.0",
               "WWW-Authenticate: Basic realm=\"File Download Authorization\"",
               "Content-Type: text/html",
               "Content-Length: " + std::to_string(error_page(17).size()), "Connection: close"}));
    EXPECT_EQ(auth.body(), error_page(17));

    // Every row of the table; an index beyond it answers 500.
    for (uint32_t index = 0; index < STATUS_COUNT + 2; ++index) {
        Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", [&](request_data* q) {
            q->flags |= REQUEST_FAILED;
            q->status = index;
        });
        uint32_t shown = index < STATUS_COUNT ? index : 14;
        EXPECT_EQ(r.lines()[0], "HTTP/1.0 " + std::string(status_line(shown))) << index;
        EXPECT_EQ(r.body(), error_page(shown)) << index;
        EXPECT_EQ(r.lines()[index == STATUS_AUTH_REQUIRED ? 5 : 4],
                  "Content-Length: " + std::to_string(r.body().size()))
            << index;
    }
    EXPECT_EQ(status_line(16), "404 File not found");
    EXPECT_EQ(status_line(8), "405 Method Not Allowed");
}

TEST_F(Answer, SendErrorPageReplacesUnsentOutputAndShowsTheMessage)
{
    Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", nullptr, 4096, [](request_data* q) {
        EXPECT_EQ(socket_snd(q->sock, "stale output", 12), 12);
        return send_error_page(q, 0, "it <broke> 100%");
    });
    std::string page =
        "<HTML><HEAD>\r\n<TITLE>500 Internal Server Error</TITLE>\r\n</HEAD><BODY>\r\n"
        "<H1>Internal Error</H1><font color=\"#C43100\">\r\nit <broke> 100%\r\n</font>" +
        footer;
    EXPECT_EQ(r.rc, static_cast<int>(footer.size())); // the last send: the footer
    EXPECT_EQ(r.lines(),
              (lines{"HTTP/1.0 500 Internal Server Error", "Date: *", "Server: Quorvel/1.0",
                     "Content-Type: text/html", "Content-Length: " + std::to_string(page.size()),
                     "Connection: close"}));
    EXPECT_EQ(r.body(), page);

    // Without a message, the page of the index.
    Reply plain = exchange("GET /a.txt HTTP/1.0\r\n\r\n", nullptr, 4096,
                           [](request_data* q) { return send_error_page(q, 8, nullptr); });
    EXPECT_EQ(plain.lines()[0], "HTTP/1.0 405 Method Not Allowed");
    EXPECT_EQ(plain.body(), error_page(8));

    request_data none{};
    EXPECT_EQ(send_error_page(&none, 0, nullptr), -1);
    EXPECT_EQ(send_error_page(nullptr, 0, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(http_responce(nullptr), -1);
    qtest::expect_report(log, "error (http_responce, 14802): null argument passed\n", EINVAL, 160);
}

TEST_F(Answer, HeadCarriesTheHeaderGetWouldCarryAndNoBody)
{
    Reply file = exchange("HEAD /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(file.rc, 0);
    EXPECT_EQ(file.lines(), get("/a.txt").lines());
    EXPECT_TRUE(file.text.ends_with("Connection: close\r\n\r\n"));
    EXPECT_EQ(file.body(), "");

    Reply directory = exchange("HEAD /docs HTTP/1.0\r\n\r\n");
    EXPECT_EQ(directory.lines(), get("/docs").lines());
    EXPECT_TRUE(directory.text.ends_with("Connection: close\r\n\r\n"));
    EXPECT_EQ(directory.body(), "");

    // A failed HEAD: the error page's header with its length, without the page.
    Reply missing = exchange("HEAD /missing.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(missing.lines(), get("/missing.txt").lines());
    EXPECT_EQ(missing.body(), "");

    // A file typed by a MIME handler: the handler is not run for HEAD.
    Reply handled = exchange("HEAD /x.hnd HTTP/1.0\r\n\r\n");
    EXPECT_EQ(handled.text.substr(handled.text.find("Content-Type")),
              "Content-Type: text/plain\r\n\r\n");
    EXPECT_EQ(seen.calls, 0);
}

TEST_F(Answer, StoredContentIsSentByteForByte)
{
    const std::string bytes("100% <b>%s%n%d</b>\0after the NUL\0", 34);
    store("/stored", bytes);
    // Stored HTML goes out unchanged, even with includes switched on.
    const std::string html = "<p><!--#echo var=\"DATE_LOCAL\" --></p>";
    store("/page.html", html);
    server.flags |= SERVER_SSI;

    Reply r = get("/stored");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.lines(), (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                                "Content-Type: application/octet-stream", "Content-Length: 34",
                                "Connection: close"}));
    EXPECT_EQ(r.body(), bytes);

    Reply page = exchange("GET /page.html HTTP/1.0\r\n\r\n",
                          [](request_data* q) { q->attributes = str_dup("X-A: 1\r\n"); });
    EXPECT_EQ(
        page.lines(),
        (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0", "Content-Type: text/html",
               "Content-Length: " + std::to_string(html.size()), "X-A: 1", "Connection: close"}));
    EXPECT_EQ(page.body(), html);

    // Content larger than the connection's buffer, over a buffer of a few bytes.
    std::string large(100000, '%');
    large[5000] = '\0';
    store("/large", large);
    for (int32_t size : {4096, 7})
        EXPECT_TRUE(exchange("GET /large HTTP/1.0\r\n\r\n", nullptr, size).body() == large);

    // An entry without bytes answers with the internal-error page.
    Reply lost =
        exchange("GET /stored HTTP/1.0\r\n\r\n", [](request_data* q) { q->target = nullptr; });
    EXPECT_EQ(lost.rc, 0);
    EXPECT_NE(lost.body().find("\r\nURL mapped function is NULL\r\n</font>"), std::string::npos);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Answer, MappedFunctionWritesAfterTheHeader)
{
    Reply r = get("/fn");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.request.type, static_cast<uint32_t>(quorvel_obj_connection));
    EXPECT_EQ(seen.request.flags, 0u);
    EXPECT_EQ(seen.out.type, static_cast<uint32_t>(quorvel_obj_connection));
    EXPECT_EQ(seen.out.object, seen.request.object);
    EXPECT_NE(seen.request.object, nullptr);
    // The header ends with its empty line and one more line end opens the body; output that
    // does not end a line gets a line end.
    EXPECT_EQ(r.lines(), (lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                                "Content-Type: text/html"}));
    EXPECT_EQ(r.body(), "\r\nhello\r\n");

    Reply silent = get("/silent");
    EXPECT_EQ(silent.rc, 0);
    EXPECT_TRUE(silent.text.ends_with("Content-Type: text/html\r\n\r\n\r\n")) << silent.text;

    // A MIME handler gets the file's path as its target.
    Reply handled = get("/x.hnd");
    EXPECT_EQ(handled.rc, 0);
    EXPECT_EQ(seen.target, root + "/x.hnd");
    EXPECT_EQ(handled.lines()[3], "Content-Type: text/plain");
    EXPECT_EQ(handled.body(), "\r\nhandled\n");
    // Unless the request asks for the plain file.
    Reply plain =
        exchange("GET /x.hnd HTTP/1.0\r\n\r\n", [](request_data* q) { q->no_mime_handler = 1; });
    EXPECT_EQ(plain.body(), "handled by a function");
    EXPECT_EQ(seen.calls, 3);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Answer, ProducerErrorsBecomeTheInternalErrorPage)
{
    auto message_page = [](const std::string& message) {
        return "<HTML><HEAD>\r\n<TITLE>500 Internal Server Error</TITLE>\r\n</HEAD><BODY>\r\n"
               "<H1>Internal Error</H1><font color=\"#C43100\">\r\n" +
               message + "\r\n</font>" + footer;
    };
    // The direct-mode header and the function's unsent output are replaced.
    Reply failed = get("/fail");
    EXPECT_EQ(failed.rc, 0);
    EXPECT_EQ(failed.lines(),
              (lines{"HTTP/1.0 500 Internal Server Error", "Date: *", "Server: Quorvel/1.0",
                     "Content-Type: text/html",
                     "Content-Length: " + std::to_string(message_page("database <down>").size()),
                     "Connection: close"}));
    EXPECT_EQ(failed.body(), message_page("database <down>"));

    Reply null = get("/null");
    EXPECT_EQ(null.rc, 0);
    EXPECT_EQ(null.body(), message_page("URL mapped function is NULL"));

    // A failing MIME handler: the page is sent, and the answer counts as failed.
    Reply handler = get("/y.fail");
    EXPECT_EQ(handler.rc, -1);
    EXPECT_EQ(handler.body(), message_page("no converter"));
    EXPECT_EQ(seen.calls, 2);
}

TEST_F(Answer, FileRemovedAfterResolvingIsStillAnsweredWhole)
{
    // Resolution opened the file: the answer sends what was found, header and body agreeing.
    std::string before = qtest::read_file(text);
    Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n",
                       [&](request_data*) { std::filesystem::remove(text); });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.lines()[0], "HTTP/1.0 200 OK");
    EXPECT_EQ(r.body(), before);
}

TEST_F(Answer, FileRemovedBeforeTheAnswerOpensItAnswersNotFound)
{
    Reply r = exchange("GET /a.txt HTTP/1.0\r\n\r\n", [&](request_data* request) {
        std::filesystem::remove(text);
        ::close(request->file_fd);
        request->file_open = 0;
    });
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.lines()[0], "HTTP/1.0 404 File not found");
    EXPECT_EQ(r.body(), error_page(16));
}

TEST_F(Answer, PeerGoneMakesTheAnswerFailWithoutHarm)
{
    std::string big(1 << 20, 'b');
    dir.write("www/big.bin", big);
    store("/large", big);
    for (const char* path : {"/big.bin", "/large"}) {
        request_data* r = http_request(
            &server, connect(std::string("GET ") + path + " HTTP/1.0\r\n\r\n", 4096), 65536);
        ASSERT_NE(r, nullptr);
        ::close(peer);
        peer = -1;
        EXPECT_EQ(http_responce(r), -1) << path;
        request_destroy(&r);
    }
}

TEST_F(Answer, WorksOnAHandlerThreadHeap)
{
    store("/stored", std::string("a\0b", 3));
    std::thread worker([&] {
        ASSERT_EQ(thread_heap_attach(262144), 0);
        EXPECT_EQ(get("/a.txt").body().size(), 19u);
        EXPECT_EQ(get("/stored").body(), std::string("a\0b", 3));
        EXPECT_EQ(get("/fail").lines()[0], "HTTP/1.0 500 Internal Server Error");
        EXPECT_EQ(get("/missing").lines()[0], "HTTP/1.0 404 File not found");
        thread_heap_detach();
    });
    worker.join();
}
