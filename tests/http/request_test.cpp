// Request reading and parsing: decoding, the head's end, headers, POST bodies and the deadline,
// over socket pairs on connection records made like accepted ones.
#include "http/request.h"

#include "core/settings.h"
#include "platform/os.h"
#include "site.h"

#include <atomic>
#include <map>
#include <memory>

using namespace quorvel;

namespace {

using vars = std::map<std::string, std::string>;

// Every entry of a table (none for no table).
vars entries(const htable* table)
{
    vars out;
    for (const container* c = table ? htable_next(table, nullptr) : nullptr; c != nullptr;
         c = htable_next(table, c))
        out[std::string(c->key, c->key_length)] =
            std::string(static_cast<char*>(c->value), c->size);
    return out;
}

// One head parsed by parse_request_header into a record of its own.
struct Parsed {
    explicit Parsed(std::string head) : text(std::move(head))
    {
        rc = parse_request_header(&path, &length, text.data(), &record);
    }
    ~Parsed() { htable_destroy(&record.headers); }
    // The method, the path and every header (name=value), '|' between them.
    std::string seen() const
    {
        uint32_t f = record.flags;
        std::string out = f == REQUEST_GET ? "GET " : f == REQUEST_POST ? "POST " : "HEAD ";
        out += f == REQUEST_GET || f == REQUEST_POST || f == REQUEST_HEAD ? path : "<flags>";
        for (const auto& [key, value] : entries(record.headers))
            out += "|" + key + "=" + value;
        return out;
    }

    std::string text;
    request_data record{};
    char* path = nullptr;
    int64_t length = -2;
    int rc = -2;
};

// What is still unread on the connection (the peer has stopped sending).
std::string left_on(quorvel::socket* s)
{
    std::string rest;
    char chunk[256];
    for (int n, i = 0; i < 1000 && (n = socket_rcv(s, chunk, sizeof(chunk))) > 0; ++i)
        rest.append(chunk, static_cast<size_t>(n));
    return rest;
}

// The served tree, with requests whose peer may go on sending; the record owns its end.
class Wire : public qtest::Site {
protected:
    // A buffer of a few bytes makes every read go through a refill.
    quorvel::socket* connect(const std::string& bytes, int32_t size = 4096, bool end = true)
    {
        pair = std::make_unique<qtest::SocketPair>();
        qtest::send_all(pair->peer, bytes);
        if (end)
            ::shutdown(pair->peer, SHUT_WR);
        return qtest::connection(std::exchange(pair->mine, -1), size, SOCK_BUFFERED);
    }
    // Reads and resolves the request as a connection handler does.
    request_data* request(const std::string& bytes, int32_t size = 4096)
    {
        request_data* r = http_request(&server, connect(bytes, size), 65536);
        if (r != nullptr && !(r->flags & REQUEST_FAILED))
            map_uri(r, r->path);
        return r;
    }
    std::unique_ptr<qtest::SocketPair> pair;
};

} // namespace

TEST(UrlDecode, DecodesOnceInPlaceUpToTheFirstBlankControlOrHighByte)
{
    // No digit or the value 0 stays as it is; a decoded byte is not decoded again.
    const std::pair<std::string, std::string> cases[] = {
        {"%41%4", "A\x04"},     {"%zz%00%0", "%zz%00%0"}, {"%2541", "%41"},
        {"%e9%C3", "\xe9\xc3"}, {"a%41 b%41", "aA b%41"}, {"\xc3%41", "\xc3%41"},
        {"a%20b+c", "a b c"},
    };
    for (auto [text, want] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(url_decode(text.data()), 0);
        EXPECT_EQ(std::string(text.c_str()), want);
    }
    EXPECT_EQ(url_decode(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(ParseRequestHeader, SplitsPathQueryAndUpperCasedHeaders)
{
    // Names are upper-cased, a later header replaces an earlier one, trailing blanks stay.
    const std::pair<const char*, const char*> rows[] = {
        {"GET /a%20b.html?x=1+2 HTTP/1.0\r\nHost: h\r\nuser-AGENT:: :t  \r\n\r\n",
         "GET /a b.html|HOST=h|QUERY=x=1 2|USER-AGENT=t  "},
        {"POST /f%3Fa=%26 HTTP/1.0\r\n\r\n", "POST /f|QUERY=a=&"},
        {"HEAD /x? HTTP/1.0\r\n\r\n", "HEAD /x"},
        // A header named Query never stands in for the query string.
        {"GET /?real=1 HTTP/1.0\r\nQuery: forged\r\nX: 1\r\nx: 2\r\n\r\n",
         "GET /|QUERY=real=1|X=2"},
        {"GET / HTTP/1.0\r\nquery: forged\r\n\r\n", "GET /"},
        // A line ending right after its colon, or without one, ends the headers.
        {"GET / HTTP/1.0\r\nA: 1\r\nB:\r\nC: 3\r\n\r\n", "GET /|A=1"},
        {"GET / HTTP/1.0\r\nA: 1\r\nJunk\r\nC: 3\r\n\r\n", "GET /|A=1"},
        {"GET /x\r\nHost: h\r\n\r\n", "GET /x|HOST=h"},
        // A head cut by the size limit is parsed as far as it goes.
        {"GET / HTTP/1.0\r\nHost: h\r\nAccept: te", "GET /|ACCEPT=te|HOST=h"}};
    for (auto [head, seen] : rows) {
        Parsed p(head);
        EXPECT_EQ(p.rc, 0) << head;
        EXPECT_EQ(p.seen(), seen) << head;
    }
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
    EXPECT_EQ(Parsed("POST / HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 003\r\n\r\n").length,
              3);
    Parsed other("POST / HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: x\r\n\r\n");
    EXPECT_EQ(other.record.flags, REQUEST_POST | REQUEST_FAILED);
    EXPECT_EQ(other.record.status, STATUS_BAD_REQUEST);
}

TEST_F(Wire, RequestIsReadParsedAndResolved)
{
    dir.write("www/a b.html", "<p>a b</p>");
    for (int32_t size : {4096, 7}) {
        request_data* r = request("GET /a%20b.html?x=1+2 HTTP/1.0\r\nHost: h\r\n\r\n", size);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->flags, REQUEST_GET);
        EXPECT_EQ(r->kind, KIND_FILE);
        EXPECT_EQ(std::string(r->local_path), root + "/a b.html");
        EXPECT_EQ(entries(r->headers), (vars{{"QUERY", "x=1 2"}, {"HOST", "h"}}));
        EXPECT_EQ(r->sock->deadline_ms, 0); // the response is not bound by it
        request_destroy(&r);
    }
    // An unknown method is refused, with the client's bytes escaped in the log line.
    EXPECT_EQ(Parsed("GE\x1bT / HTTP/1.0\r\n\r\n").rc, -1);
    qtest::expect_report(
        log, "error (parse_request_header, 13654): unknown method(GE\\x1BT) requested\n", EINVAL,
        160);
}

TEST_F(Wire, HeadEndsAtTheFirstTerminatorAfterOtherBytes)
{
    // What was sent, the limit, and the head read; the rest stays on the connection. A
    // rejected group of four does not slide: the next CR or LF starts afresh.
    const std::tuple<std::string, uint32_t, std::string> cases[] = {
        {"A\r\n\r\nB", 64, "A\r\n\r\n"},
        {"\r\n\r\nB", 64, "\r\n\r\n"},
        {"A\r\n\r\r\r\n\r\nB", 64, "A\r\n\r\r\r\n\r\n"},
        {"A\r\n\r\r\n\r\nBCDEF", 10, "A\r\n\r\r\n\r\nBC"},
        {"A\n\r\n\r\nBCDEFGH", 10, "A\n\r\n\r\nBCDE"},
        {"GET / HTTP/1.0\n\nHost: h\n\nXYZ", 27, "GET / HTTP/1.0\n\nHost: h\n\nXY"},
        {"GET / HTTP/1.0\r\n\r\n+", 18, "GET / HTTP/1.0\r\n\r\n"}, // exactly the limit
        {"GET / HTTP/1.0\r\n\r\n+", 17, "GET / HTTP/1.0\r\n\r"},
        {"GET", 0, ""}};
    for (int32_t size : {4096, 3}) {
        for (const auto& [sent, limit, head] : cases) {
            SCOPED_TRACE(sent + " / " + std::to_string(size));
            quorvel::socket* s = connect(sent, size);
            char* read = read_http_header(s, limit);
            ASSERT_NE(read, nullptr);
            EXPECT_EQ(std::string(read), head);
            EXPECT_EQ(left_on(s), sent.substr(head.size()));
            quorvel_mem_free(read);
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
        const std::string body = "&a=1&&b=%26&c&%3Dk=v&name+x=%41%2B+";
        request_data* r =
            request("POST /a.txt HTTP/1.0\r\nContent-Length: 35\r\n\r\n" + body + "after", size);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->status, 0u);
        // Decoded before the split at '=': "%3Dk=v" is the value "k=v" of an empty name.
        EXPECT_EQ(entries(r->post_vars),
                  (vars{{"A", "1"}, {"B", "&"}, {"", "k=v"}, {"NAME X", "A+ "}}));
        EXPECT_EQ(left_on(r->sock), "after");
        request_destroy(&r);
    };
    post(4096);
    post(5);
    std::thread handler([&] { // as a handler runs, with a thread heap of its own
        ASSERT_EQ(thread_heap_attach(262144), 0);
        post(4096);
        EXPECT_EQ(thread_heap_current()->in_use, 0u); // every block went back to the heap
        thread_heap_detach();
    });
    handler.join();

    // The method, the rest of the head and the body, the failure status, and what stays
    // unread. A body that ends early is a 500; differing lengths are a 400 with nothing read;
    // a length beyond what the thread may allocate is refused with nothing taken.
    const std::tuple<const char*, std::string, uint32_t, std::string> cases[] = {
        {"GET", "Content-Length: 5\r\n\r\nhelloNEXT", 0, "NEXT"},
        {"POST", "\r\na=1", 0, "a=1"},
        {"POST", "Content-Length: -3\r\n\r\na=1", 0, "a=1"},
        {"POST", "Content-Length: 3x\r\n\r\na=1", 0, "a=1"},
        {"POST", "Content-Length: 10\r\n\r\na=1", 14, ""},
        {"POST", "Content-Length: 3\r\nContent-Length: 4\r\n\r\nk=v!", STATUS_BAD_REQUEST, "k=v!"},
        {"POST", "Content-Length: 99999999999999999999\r\n\r\nk=v", 14, "k=v"}};
    for (const auto& [method, sent, status, rest] : cases) {
        SCOPED_TRACE(sent);
        request_data* r = request(method + std::string(" /a.txt HTTP/1.0\r\n") + sent);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->flags, (method[0] == 'G' ? REQUEST_GET : REQUEST_POST) |
                                (status != 0 ? REQUEST_FAILED : 0));
        EXPECT_EQ(r->status, status);
        EXPECT_EQ(r->post_vars, nullptr);
        EXPECT_EQ(left_on(r->sock), rest);
        request_destroy(&r);
    }
    EXPECT_EQ(log.text(), "error (parse_post, 13526): insufficient memory to perform operation\n");
}

TEST_F(Wire, OneDeadlineCoversHeadAndBody)
{
    ASSERT_EQ(set_request_timeout_seconds(1), 0);
    // The peer trickles a byte every 50 ms into a head or a body that never ends; reading
    // ends with the time-out, not with the peer.
    auto trickle = [&](const std::string& start) {
        quorvel::socket* s = connect(start, 4096, false);
        std::atomic<bool> stop{false};
        std::thread client([&, fd = pair->peer] {
            for (int i = 0; i < 100 && !stop.load() && ::send(fd, "a", 1, MSG_NOSIGNAL) == 1; ++i)
                sleep_ms(50);
        });
        int64_t begin = monotonic_ms();
        request_data* r = http_request(&server, s, 65536);
        int64_t took = monotonic_ms() - begin;
        stop.store(true);
        client.join();
        EXPECT_TRUE(took >= 900 && took < 2500 * qtest::TIME_SCALE) << took;
        qtest::expect_report(log, "error (socket_fillbuffer, 9865): connection timed out\n", 0, 0);
        return r != nullptr ? r : (socket_destroy(&s), nullptr);
    };
    EXPECT_EQ(trickle("GET /a.txt HTTP/1.0\r\nX: "), nullptr);
    request_data* r = trickle("POST /a.txt HTTP/1.0\r\nContent-Length: 1000\r\n\r\n");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, REQUEST_POST | REQUEST_FAILED);
    EXPECT_EQ(r->status, 14u);
    request_destroy(&r);
    set_request_timeout_seconds(DEFAULT_REQUEST_TIMEOUT_SECONDS);
}
