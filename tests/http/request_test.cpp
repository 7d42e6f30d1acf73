#include "http/request.h"

#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/strings.h"
#include "http/server.h"
#include "net/socket.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support/support.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

using namespace quorvel;

namespace {

std::string decoded(std::string text)
{
    EXPECT_EQ(url_decode(text.data()), 0);
    return std::string(text.c_str());
}

std::string lookup(const htable* table, const std::string& key)
{
    uint32_t size = 0;
    void* value = htable_getref(table, key.data(), static_cast<uint32_t>(key.size()), &size);
    return value == nullptr ? "<none>" : std::string(static_cast<const char*>(value), size);
}

// One head parsed by parse_request_header into a record of its own.
struct Parsed {
    explicit Parsed(std::string head) : text(std::move(head))
    {
        rc = parse_request_header(&path, &length, text.data(), &record);
    }
    ~Parsed() { htable_destroy(&record.headers); }
    std::string operator[](const std::string& key) const { return lookup(record.headers, key); }
    uint32_t count() const { return record.headers == nullptr ? 0 : record.headers->count; }

    std::string text;
    request_data record{};
    char* path = nullptr;
    int64_t length = -2;
    int rc = -2;
};

} // namespace

TEST(UrlDecode, DecodesOnceInPlaceUpToTheFirstBlankControlOrHighByte)
{
    EXPECT_EQ(decoded("/a%20b.html?x=1+2"), "/a b.html?x=1 2");
    EXPECT_EQ(decoded("%41%4"), std::string("A\x04"));
    EXPECT_EQ(decoded("%zz%00%0"), "%zz%00%0"); // no digit, or the value 0: unchanged
    EXPECT_EQ(decoded("%2541"), "%41");         // a decoded byte is not decoded again
    EXPECT_EQ(decoded("%e9%C3"), "\xe9\xc3");
    EXPECT_EQ(decoded("a%41 b%41"), "aA b%41");
    EXPECT_EQ(decoded("\xc3%41"), "\xc3%41");
    EXPECT_EQ(url_decode(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(NextToken, OverwritesTheDelimiterRunAndKeepsEmptyTokens)
{
    char text[] = "&a  b";
    char* cursor = text;
    EXPECT_STREQ(next_token(&cursor, "&"), "");
    EXPECT_STREQ(next_token(&cursor, " "), "a");
    EXPECT_EQ(std::memcmp(text, "\0a\0\0b", 6), 0);
    EXPECT_STREQ(next_token(&cursor, " "), "b");
    EXPECT_EQ(cursor, text + 5); // no delimiter left: the cursor stands on the terminator
}

TEST(ParseRequestHeader, SplitsRequestLineQueryAndUpperCasedHeaders)
{
    Parsed p("GET /a%20b.html?x=1+2 HTTP/1.0\r\nHost: h\r\nuser-AGENT:: :t  \r\nx-y:z\r\n\r\n");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.record.flags, REQUEST_GET);
    EXPECT_STREQ(p.path, "/a b.html");
    EXPECT_EQ(p.length, 0);
    EXPECT_EQ(p["QUERY"], "x=1 2");
    EXPECT_EQ(p["HOST"], "h");
    EXPECT_EQ(p["USER-AGENT"], "t  "); // leading colons and blanks go, trailing blanks stay
    EXPECT_EQ(p["X-Y"], "z");
    EXPECT_EQ(p.count(), 4u);

    Parsed post("POST /f%3Fa=%26 HTTP/1.0\r\n\r\n");
    EXPECT_EQ(post.record.flags, REQUEST_POST);
    EXPECT_STREQ(post.path, "/f"); // an encoded '?' splits too
    EXPECT_EQ(post["QUERY"], "a=&");
    Parsed head("HEAD /x? HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.record.flags, REQUEST_HEAD);
    EXPECT_EQ(head.count(), 0u); // an empty query is not stored
    // A header named Query never stands in for the query string.
    Parsed forged("GET /?real=1 HTTP/1.0\r\nQuery: forged\r\nX: 1\r\nx: 2\r\n\r\n");
    EXPECT_EQ(forged["QUERY"], "real=1");
    EXPECT_EQ(forged["X"], "2");
    EXPECT_EQ(Parsed("GET / HTTP/1.0\r\nquery: forged\r\n\r\n").count(), 0u);
}

TEST(ParseRequestHeader, EmptyNameOrValueEndsTheHeader)
{
    // A line that ends right after its colon, or has none, ends parsing.
    EXPECT_EQ(Parsed("GET / HTTP/1.0\r\nA: 1\r\nB:\r\nC: 3\r\n\r\n").count(), 1u);
    EXPECT_EQ(Parsed("GET / HTTP/1.0\r\nA: 1\r\nJunk\r\nC: 3\r\n\r\n").count(), 1u);
    // A request line without version keeps the header lines out of its path.
    Parsed short_line("GET /x\r\nHost: h\r\n\r\n");
    EXPECT_STREQ(short_line.path, "/x");
    EXPECT_EQ(short_line["HOST"], "h");
    // A head cut by the size limit is parsed as far as it goes.
    EXPECT_EQ(Parsed("GET / HTTP/1.0\r\nHost: h\r\nAccept: te")["ACCEPT"], "te");
}

TEST(ParseRequestHeader, ContentLengthIsStrictAndMustNotDiffer)
{
    const std::pair<const char*, int64_t> cases[] = {
        {"12", 12}, {"0012  ", 12}, {"0", 0},   {"-5", 0},   {"+5", 0},
        {"5x", 0},  {"1 2", 0},     {"\t5", 0}, {"0x10", 0}, {"99999999999999999999", INT64_MAX},
    };
    for (auto [value, length] : cases) {
        Parsed p(std::string("POST / HTTP/1.0\r\nContent-Length: ") + value + "\r\n\r\n");
        EXPECT_EQ(p.length, length) << value;
        EXPECT_EQ(p.record.flags, REQUEST_POST) << value;
    }
    Parsed same("POST / HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 003\r\n\r\n");
    EXPECT_EQ(same.record.flags, REQUEST_POST);
    EXPECT_EQ(same.length, 3);
    Parsed other("POST / HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: x\r\n\r\n");
    EXPECT_EQ(other.record.flags, REQUEST_POST | REQUEST_FAILED);
    EXPECT_EQ(other.record.status, STATUS_BAD_REQUEST);
    EXPECT_EQ(other.length, 0);
}

TEST(ParseRequestHeader, ClientTextIsEscapedInLogLines)
{
    qtest::ErrorLog log;
    set_debug(true);
    Parsed p("GET /a%0Ab?q=%1B HTTP/1.0\r\nX-Name: v\x7f\r\n\r\n");
    set_debug(false);
    EXPECT_EQ(log.text(), "(parse_request_header, 13644): METHOD: GET\n"
                          "(parse_request_header, 13669): URI: /a\\x0Ab\n"
                          "(parse_request_header, 13671): QUERY: q=\\x1B\n"
                          "(parse_http_headers, 13717): X-Name: v\\x7F\n"
                          "(parse_http_headers, 13713): waring: name is null\n");
    log.clear();
    clear_errors();
    EXPECT_EQ(Parsed("GE\x1bT / HTTP/1.0\r\n\r\n").rc, -1);
    qtest::expect_report(
        log, "error (parse_request_header, 13654): unknown method(GE\\x1BT) requested\n", EINVAL,
        160);
}

namespace {

char* page_fn(envelope*, envelope*)
{
    return nullptr;
}

// Runs `body` on a thread of its own with a thread heap of `size` bytes, as a handler runs.
template <class F>
void on_heap_thread(uint32_t size, F body)
{
    std::thread worker([&] {
        ASSERT_EQ(thread_heap_attach(size), 0);
        body();
        thread_heap_detach();
    });
    worker.join();
}

// What is still unread on the connection (the peer has stopped sending).
std::string left_on(quorvel::socket* s)
{
    std::string rest;
    char chunk[256];
    for (int n, i = 0; i < 1000 && (n = socket_rcv(s, chunk, sizeof(chunk))) > 0; ++i)
        rest.append(chunk, static_cast<size_t>(n));
    return rest;
}

// A root with two files, the MIME rows they need and a URI mapped to a function; requests
// arrive over a socket pair on a connection record made like an accepted one.
class Wire : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = dir.file("www");
        std::filesystem::create_directories(root);
        dir.write("www/a b.html", "<p>a b</p>");
        dir.write("www/a.txt", "text");
        server.root = root.data();
        std::strcpy(server.index, "/index.html");
        for (htable** t : tables())
            *t = htable_create(100);
        for (const char* ext : {"html", "txt", "unknown"}) {
            mime_record row{nullptr, const_cast<char*>(ext), 1};
            htable_store(server.mime_table, ext, static_cast<uint32_t>(std::strlen(ext)), &row,
                         sizeof(row), true, nullptr);
        }
        uri_record fn{page_fn, nullptr};
        htable_store(server.get_uris, "/fn", 3, &fn, sizeof(fn), true, nullptr);
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

    // A connection whose peer has sent `bytes` and, with `end`, stopped sending; a buffer of
    // a few bytes makes every read go through a refill.
    quorvel::socket* connect(const std::string& bytes, int32_t size = 4096, bool end = true)
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        if (peer != -1)
            ::close(peer);
        peer = fds[1];
        timeval limit{5, 0}; // a reply that never comes fails the test instead of hanging it
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        EXPECT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        if (end)
            ::shutdown(peer, SHUT_WR);
        quorvel::socket proto{};
        proto.fd[0] = fds[0];
        proto.fd[1] = -1;
        proto.timeout = SOCKET_DEFAULT_TIMEOUT;
        proto.sndbuf = proto.rcvbuf = size;
        proto.flags = SOCK_BUFFERED | SOCK_CONNECTED;
        return socket_dup(&proto);
    }
    request_data* request(const std::string& bytes, int32_t size = 4096)
    {
        return http_request(&server, connect(bytes, size), 65536);
    }

    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string root;
    server_record server{};
    int peer = -1;
};

} // namespace

TEST_F(Wire, RequestIsReadParsedAndResolved)
{
    auto check = [&](int32_t size) {
        request_data* r = request("GET /a%20b.html?x=1+2 HTTP/1.0\r\nHost: h\r\n\r\n", size);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->flags, REQUEST_GET);
        EXPECT_EQ(r->status, 0u);
        EXPECT_EQ(r->kind, KIND_FILE);
        EXPECT_STREQ(r->uri, "/a b.html");
        EXPECT_EQ(std::string(r->local_path), root + "/a b.html");
        EXPECT_STREQ(r->mime->content_type, "html");
        EXPECT_EQ(lookup(r->headers, "QUERY"), "x=1 2");
        EXPECT_EQ(lookup(r->headers, "HOST"), "h");
        EXPECT_EQ(r->post_vars, nullptr);
        EXPECT_EQ(r->sock->deadline_ms, 0); // the response is not bound by it
        request_destroy(&r);
    };
    check(4096);
    check(7);
    on_heap_thread(262144, [&] { check(4096); });
    EXPECT_EQ(log.text(), "");
}

TEST_F(Wire, HeadEndsAtTheFirstTerminatorAfterOtherBytes)
{
    // What was sent, the limit, and the head read; the rest stays on the connection.
    const std::tuple<std::string, uint32_t, std::string> cases[] = {
        {"A\r\n\r\nB", 64, "A\r\n\r\n"},
        {"\r\n\r\nB", 64, "\r\n\r\n"},
        // A rejected group of four does not slide: the next CR or LF starts afresh.
        {"A\r\n\r\r\r\n\r\nB", 64, "A\r\n\r\r\r\n\r\n"},
        {"A\r\n\r\r\n\r\nBCDEF", 10, "A\r\n\r\r\n\r\nBC"},
        {"A\n\r\n\r\nBCDEFGH", 10, "A\n\r\n\r\nBCDE"},
        {"GET / HTTP/1.0\n\nHost: h\n\nXYZ", 27, "GET / HTTP/1.0\n\nHost: h\n\nXY"},
        {"GET / HTTP/1.0\r\n\r\n+", 18, "GET / HTTP/1.0\r\n\r\n"}, // exactly the limit
        {"GET / HTTP/1.0\r\n\r\n+", 17, "GET / HTTP/1.0\r\n\r"},
        {"GET", 0, ""},
    };
    for (int32_t size : {4096, 3}) {
        for (const auto& [sent, limit, head] : cases) {
            quorvel::socket* s = connect(sent, size);
            char* text = read_http_header(s, limit);
            ASSERT_NE(text, nullptr) << sent;
            EXPECT_EQ(std::string(text), head) << sent << " / " << size;
            EXPECT_EQ(left_on(s), sent.substr(head.size())) << sent;
            quorvel_mem_free(text);
            socket_destroy(&s);
        }
    }
    // A connection that closes before the end of the head gives nothing and says nothing.
    quorvel::socket* s = connect("GET / HTTP/1.0\r\n");
    EXPECT_EQ(read_http_header(s, 64), nullptr);
    socket_destroy(&s);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Wire, PostBodyBecomesVariablesAndOtherBodiesAreDropped)
{
    auto post = [&](int32_t size) {
        std::string body = "&a=1&&b=%26&c&%3Dk=v&name+x=%41%2B+";
        request_data* r =
            request("POST /a.txt HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body + "after",
                    size);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->status, 0u);
        EXPECT_EQ(lookup(r->post_vars, "A"), "1");
        EXPECT_EQ(lookup(r->post_vars, "B"), "&");
        EXPECT_EQ(lookup(r->post_vars, ""), "k=v"); // decoded before the split at '='
        EXPECT_EQ(lookup(r->post_vars, "NAME X"), "A+ ");
        EXPECT_EQ(r->post_vars->count, 4u);
        EXPECT_EQ(left_on(r->sock), "after");
        request_destroy(&r);
    };
    post(4096);
    post(5);
    on_heap_thread(262144, [&] { post(4096); });

    request_data* r = request("GET /a.txt HTTP/1.0\r\nContent-Length: 5\r\n\r\nhelloNEXT");
    EXPECT_EQ(r->flags, REQUEST_GET);
    EXPECT_EQ(left_on(r->sock), "NEXT");
    request_destroy(&r);
    // No usable length: no body is read, whatever the method.
    for (const char* length : {"", "Content-Length: -3\r\n", "Content-Length: 3x\r\n"}) {
        r = request(std::string("POST /a.txt HTTP/1.0\r\n") + length + "\r\na=1");
        EXPECT_EQ(r->flags, REQUEST_POST) << length;
        EXPECT_EQ(r->post_vars, nullptr) << length;
        EXPECT_EQ(left_on(r->sock), "a=1") << length;
        request_destroy(&r);
    }
    // A body that ends early is a 500; differing lengths are a 400, nothing resolved or read.
    r = request("POST /a.txt HTTP/1.0\r\nContent-Length: 10\r\n\r\na=1");
    EXPECT_EQ(r->flags, REQUEST_POST | REQUEST_FAILED);
    EXPECT_EQ(r->status, 14u);
    request_destroy(&r);
    r = request("POST /a.txt HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nk=v!");
    EXPECT_EQ(r->status, STATUS_BAD_REQUEST);
    EXPECT_EQ(r->uri, nullptr);
    EXPECT_EQ(left_on(r->sock), "k=v!");
    request_destroy(&r);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Wire, BodyLargerThanTheHeapPoolIsRefusedUnread)
{
    auto refused = [&](int64_t length) {
        request_data* r = request(
            "POST /a.txt HTTP/1.0\r\nContent-Length: " + std::to_string(length) + "\r\n\r\nk=v");
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->flags, REQUEST_POST | REQUEST_FAILED);
        EXPECT_EQ(r->status, 14u);
        qtest::expect_report(
            log, "error (parse_post, 13526): insufficient memory to perform operation\n", ENOMEM,
            8);
        EXPECT_EQ(left_on(r->sock), "k=v"); // nothing of the body was taken
        request_destroy(&r);
    };
    // Without a heap of its own a thread takes what a handler of the default heap takes.
    refused(524289);
    refused(INT64_MAX);
    on_heap_thread(262144, [&] { refused(524289); });
    // A 16384-byte heap has a 32768-byte pool: that much is taken, one byte more is not.
    on_heap_thread(16384, [&] {
        refused(32769);
        request_data* r = request("POST /a.txt HTTP/1.0\r\nContent-Length: 32768\r\n\r\nk=" +
                                  std::string(32766, 'v'));
        EXPECT_EQ(r->status, 0u);
        EXPECT_EQ(lookup(r->post_vars, "K").size(), 32766u);
        request_destroy(&r);
    });
}

TEST_F(Wire, UnknownMethodGivesNoRecordAndSendsNothing)
{
    quorvel::socket* s = connect("get /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(http_request(&server, s, 65536), nullptr);
    qtest::expect_report(
        log, "error (parse_request_header, 13654): unknown method(get) requested\n", EINVAL, 160);
    socket_destroy(&s); // still the caller's
    char byte;
    EXPECT_EQ(::recv(peer, &byte, 1, 0), 0);
}

TEST_F(Wire, DestroyReleasesEverythingAndClosesTheConnection)
{
    auto exchange = [&](const std::string& head) {
        request_data* r = request(head);
        ASSERT_NE(r, nullptr);
        r->attributes = str_dup("Cache-Control: no-cache\r\n");
        r->out = buffer_create(64);
        socket_snd(r->sock, "HTTP/1.0 200 OK\r\n", 17); // still buffered: destroy flushes it
        request_destroy(&r);
        EXPECT_EQ(r, nullptr);
        char reply[64];
        EXPECT_EQ(::recv(peer, reply, sizeof(reply), MSG_WAITALL), 17);
    };
    on_heap_thread(262144, [&] {
        exchange("GET /fn HTTP/1.0\r\n\r\n"); // the target is the server's entry
        exchange("GET /a.txt?q=1 HTTP/1.0\r\nX: y\r\n\r\n");
        exchange("GET /missing HTTP/1.0\r\n\r\n");
        exchange("POST /a.txt HTTP/1.0\r\nContent-Length: 3\r\n\r\nk=v");
        // Every block of the exchanges went back to the heap.
        EXPECT_EQ(thread_heap_current()->in_use, 0u);
    });
    exchange("POST /fn HTTP/1.0\r\nContent-Length: 3\r\n\r\nk=v"); // the leak checker's turn
    request_destroy(nullptr);
}

TEST_F(Wire, OneDeadlineCoversHeadAndBody)
{
    ASSERT_EQ(set_request_timeout_seconds(1), 0);
    // The peer trickles a byte every 50 ms into a head or a body that never ends; reading
    // ends with the time-out, not with the peer.
    auto trickle = [&](const std::string& start) {
        quorvel::socket* s = connect(start, 4096, false);
        std::atomic<bool> stop{false};
        std::thread client([&, fd = peer] {
            for (int i = 0; i < 100 && !stop.load() && ::send(fd, "a", 1, MSG_NOSIGNAL) == 1; ++i)
                sleep_ms(50);
        });
        int64_t begin = monotonic_ms();
        request_data* r = http_request(&server, s, 65536);
        int64_t took = monotonic_ms() - begin;
        stop.store(true);
        client.join();
        ::shutdown(peer, SHUT_WR);
        EXPECT_TRUE(took >= 900 && took < 2500) << took;
        qtest::expect_report(log, "error (socket_fillbuffer, 9865): connection timed out\n", 0, 0);
        EXPECT_NE(s->flags & SOCK_TIMEDOUT, 0u);
        if (r == nullptr)
            socket_destroy(&s);
        return r;
    };
    EXPECT_EQ(trickle("GET /a.txt HTTP/1.0\r\nX: "), nullptr);
    request_data* r = trickle("POST /a.txt HTTP/1.0\r\nContent-Length: 1000\r\n\r\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, REQUEST_POST | REQUEST_FAILED);
    EXPECT_EQ(r->status, 14u);
    request_destroy(&r);
    set_request_timeout_seconds(DEFAULT_REQUEST_TIMEOUT_SECONDS);

    // A deadline the connection already carries stands.
    quorvel::socket* s = connect("GET /a.txt HTTP/1.0\r\n\r\n");
    s->deadline_ms = monotonic_ms() - 1;
    EXPECT_EQ(http_request(&server, s, 65536), nullptr);
    socket_destroy(&s);
}
