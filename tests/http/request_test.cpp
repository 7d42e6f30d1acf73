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
    // The method ("-" for none), the path, every header (name=value) and, for a request
    // marked failed, "!" and its status, '|' between them.
    std::string seen() const
    {
        uint32_t f = record.flags & ~REQUEST_FAILED;
        std::string out = f == REQUEST_GET    ? "GET "
                          : f == REQUEST_POST ? "POST "
                          : f == REQUEST_HEAD ? "HEAD "
                          : f == 0            ? "- "
                                              : "<flags> ";
        out += path != nullptr ? path : "<no path>";
        for (const auto& [key, value] : entries(record.headers))
            out += "|" + key + "=" + value;
        if (record.flags & REQUEST_FAILED)
            out += "|!" + std::to_string(record.status);
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
        {"a%20b+c", "a b c"},   {"1+%2B2", "1 +2"},
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
        {"GET / HTTP/1.0\r\nHost: h\r\nAccept: te", "GET /|ACCEPT=te|HOST=h"},
        // '+' is a plus in the path and a blank in the query, raw '?' or %3F; %2B is a plus.
        {"GET /a+b%2Bc?x=1+2%2B3+?+ HTTP/1.0\r\n\r\n", "GET /a+b+c|QUERY=x=1 2+3 ? "},
        {"GET /a+b%3Fc+d HTTP/1.0\r\n\r\n", "GET /a+b|QUERY=c d"},
        // A request that cannot be served is parsed all the same and marked with its fault.
        {"BREW /x HTTP/1.0\r\nHost: h\r\n\r\n", "- /x|HOST=h|!8"},
        {"get /x+y HTTP/1.0\r\n\r\n", "- /x+y|!8"},
        {"GET\r\nHost: h\r\n\r\n", "GET |HOST=h|!5"},
        {"POST \r\n\r\n", "POST |!5"},
        {" GET /x HTTP/1.0\r\n\r\n", "- GET|!5"},
        {"\r\n\r\n", "- |!5"},
        {"\n\n", "- |!5"},
        // The first fault names the answer.
        {"BREW /x HTTP/1.0\r\nContent-Length: 1\r\ncontent-length: 2\r\n\r\n",
         "- /x|CONTENT-LENGTH=2|!8"}};
    for (auto [head, seen] : rows) {
        Parsed p(head);
        EXPECT_EQ(p.rc, 0) << head;
        EXPECT_EQ(p.seen(), seen) << head;
    }
}

TEST(ParseRequestHeader, ContentLengthAgreesWithTheWaitingRoom)
{
    // Header lines; what head_content_length finds; the status a POST and a GET get. A POST
    // needs a length it can read; a GET takes a malformed one as no body. The body the waiting
    // room waits for is always the body the handler reads.
    constexpr int64_t bad = LENGTH_MALFORMED;
    const std::tuple<const char*, int64_t, uint32_t, uint32_t> cases[] = {
        {"Content-Length: 12\r\n", 12, 0, 0},
        {"Content-Length: 0012  \r\n", 12, 0, 0},
        {"content-length : 7\r\n", 7, 0, 0},
        {"Content-Length: 0\r\n", 0, 0, 0},
        {"Content-Length: 99999999999999999999\r\n", LENGTH_TOO_LARGE, 0, 0},
        {"Content-Length: -5\r\n", bad, 5, 0},
        {"Content-Length: +5\r\n", bad, 5, 0},
        {"Content-Length: 5x\r\n", bad, 5, 0},
        {"Content-Length: 1 2\r\n", bad, 5, 0},
        {"Content-Length: \t5\r\n", bad, 5, 0},
        {"Content-Length: 0x10\r\n", bad, 5, 0},
        {"Content-Length: x\r\nContent-Length: x\r\n", bad, 5, 0},
        // An empty value ends the header, as any empty value does; it is the only length.
        {"Content-Length:\r\n", 0, 5, 0},
        {"CONTENT-LENGTH:   \r\nContent-Length: 3\r\n", 0, 5, 0},
        {"Content-Length: 3\r\nContent-Length:\r\n", 3, 0, 0},
        {"X: 1\r\nJunk\r\nContent-Length: 5\r\n", 0, 0, 0},
        {"X-Content-Length: 5\r\n", 0, 0, 0},
        {"Content-Length: 3\r\ncontent-length: 003\r\n", 3, 0, 0},
        {"Content-Length: 3\r\nContent-Length: x\r\n", bad, 5, 5},
        {"Content-Length: 3\r\nContent-Length: 4\r\n", bad, 5, 5},
    };
    for (auto [lines, found, post_status, get_status] : cases) {
        for (auto [method, bit, status] :
             {std::tuple{"POST", REQUEST_POST, post_status}, {"GET", REQUEST_GET, get_status}}) {
            std::string head = method + std::string(" / HTTP/1.0\r\n") + lines + "\r\n";
            SCOPED_TRACE(head);
            EXPECT_EQ(head_content_length(head), found);
            Parsed p(head);
            EXPECT_EQ(p.rc, 0);
            EXPECT_EQ(p.length, std::max<int64_t>(found, 0));
            EXPECT_EQ(p.record.flags, bit | (status != 0 ? REQUEST_FAILED : 0));
            EXPECT_EQ(p.record.status, status);
        }
    }
}

TEST_F(Wire, RequestIsReadParsedAndResolved)
{
    dir.write("www/a b+c.html", "<p>a b</p>");
    for (int32_t size : {4096, 7}) {
        request_data* r = request("GET /a%20b+c.html?x=1+2 HTTP/1.0\r\nHost: h\r\n\r\n", size);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->flags, REQUEST_GET);
        EXPECT_EQ(r->kind, KIND_FILE);
        EXPECT_EQ(std::string(r->local_path), root + "/a b+c.html");
        EXPECT_EQ(entries(r->headers), (vars{{"QUERY", "x=1 2"}, {"HOST", "h"}}));
        EXPECT_EQ(r->sock->deadline_ms, 0); // the response is not bound by it
        request_destroy(&r);
    }
    // An unknown method is answered, with the client's bytes escaped in the log line; its
    // body is not read.
    request_data* r = request("GE\x1bT / HTTP/1.0\r\nContent-Length: 3\r\n\r\na=1");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->flags, REQUEST_FAILED);
    EXPECT_EQ(r->status, STATUS_METHOD_NOT_ALLOWED);
    EXPECT_EQ(left_on(r->sock), "a=1");
    request_destroy(&r);
    EXPECT_EQ(log.text(),
              "error (parse_request_header, 13654): unknown method(GE\\x1BT) requested\n");
}

TEST_F(Wire, HeadEndsAtTheFirstTerminatorAfterOtherBytes)
{
    // What was sent, the limit, and the head read; the rest stays on the connection. Lines
    // end with CR LF or a bare LF, and the first empty line ends the head.
    const std::tuple<std::string, uint32_t, std::string> cases[] = {
        {"A\r\n\r\nB", 64, "A\r\n\r\n"},
        {"\r\n\r\nB", 64, "\r\n\r\n"},
        {"A\r\n\r\r\r\n\r\nB", 64, "A\r\n\r\r\r\n\r\n"},
        {"A\r\n\r\r\n\r\nBCDEF", 10, "A\r\n\r\r\n\r\n"},
        {"A\n\r\n\r\nBCDEFGH", 10, "A\n\r\n"},
        {"GET / HTTP/1.0\nHost: h\n\nXYZ", 64, "GET / HTTP/1.0\nHost: h\n\n"},
        {"GET / HTTP/1.0\r\nA: b\r\r\nC: d\r\nXYZ", 30, "GET / HTTP/1.0\r\nA: b\r\r\nC: d\r\nX"},
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
    // unread. A body that ends early is a 500; a length that differs or that a POST cannot
    // read is a 400 with nothing read; a length beyond what the thread may allocate is
    // refused with nothing taken.
    const std::tuple<const char*, std::string, uint32_t, std::string> cases[] = {
        {"GET", "Content-Length: 5\r\n\r\nhelloNEXT", 0, "NEXT"},
        {"GET", "Content-Length: -3\r\n\r\na=1", 0, "a=1"},
        {"POST", "\r\na=1", 0, "a=1"},
        {"POST", "Content-Length: -3\r\n\r\na=1", STATUS_BAD_REQUEST, "a=1"},
        {"POST", "Content-Length: 3x\r\n\r\na=1", STATUS_BAD_REQUEST, "a=1"},
        {"POST", "Content-Length:\r\n\r\na=1", STATUS_BAD_REQUEST, "a=1"},
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
