// The output and input calls: what reaches the client of a mapped function (bytes, order,
// header lines, cookies, errors), frames on a stream, and the refusals of every call.
#include "api/envelope.h"
#include "core/log.h"
#include "http/site.h"

#include <arpa/inet.h>

using namespace quorvel;
using qtest::Reply;

namespace {

// What the current callback does with its handle; set by each test before the exchange.
std::function<char*(envelope*)> producer;
char* run_producer(envelope* request, envelope* out)
{
    EXPECT_EQ(request, out);
    return producer(out);
}

std::string frame(const std::string& payload)
{
    uint32_t length = htonl(static_cast<uint32_t>(payload.size()));
    return std::string(reinterpret_cast<const char*>(&length), 4) + payload;
}

class Output : public qtest::Site {
protected:
    void SetUp() override
    {
        Site::SetUp();
        map(server.get_uris, "/page", run_producer);
    }
    // The answer to GET /page with the current producer.
    Reply page(const std::string& headers = "")
    {
        return exchange("GET /page HTTP/1.0\r\n" + headers + "\r\n");
    }
    const qtest::lines head = {"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                               "Content-Type: text/html"};
};

} // namespace

TEST_F(Output, CallsReachTheClientInTheirOrderAndTheBodyIsExactlyTheirBytes)
{
    producer = [](envelope* out) -> char* {
        EXPECT_EQ(quorvel_put(out, "p1", 2), 2); // waits for the next printf
        EXPECT_EQ(quorvel_printf(out, "<%d>", 1), 0);
        EXPECT_EQ(quorvel_putf(out, "xy", 2), 2);
        EXPECT_EQ(quorvel_uprintf(out, "a<b>&\"'%c.", '\xE9'), 0);
        EXPECT_EQ(quorvel_put(out, std::string("z\0", 2).data(), 2), 2); // leaves at the return
        return nullptr;
    };
    Reply r = page();
    EXPECT_EQ(r.head(), head);
    EXPECT_EQ(r.body(), "p1<1>" + frame("xy") + "a&#60;b&#62;&#38;&#34;&#39;&#233;&#46;" +
                            std::string("z\0", 2));
    // Nothing is added around the producer's bytes, also when it writes nothing.
    producer = [](envelope*) -> char* { return nullptr; };
    EXPECT_TRUE(page().text.ends_with("Content-Type: text/html\r\n\r\n"));
}

TEST_F(Output, HeaderLinesAndCookiesJoinTheHeaderUntilThePageLeaves)
{
    producer = [this](envelope* out) -> char* {
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_header, "X-Trace", "abc"), 0);
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_cache, 60), 0);
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_cookie, "id", "7", nullptr, 0, 0), 0);
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_cookie, "s", "x=", "example.org", 1, 0), 0);
        // A line break would let a value start a header line of its own.
        log.clear();
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_header, "X-Evil", "a\r\nSet-Cookie: b"), -1);
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_cookie, "a\nb", "1", nullptr, 0, 0), -1);
        EXPECT_EQ(quorvel_put(out, "kept back", 9), 9); // appended, not sent
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_header, "X-Late-But-In", "1"), 0);
        EXPECT_EQ(quorvel_printf(out, "!"), 0);
        EXPECT_EQ(quorvel_obj_set(out, quorvel_attrib_header, "X-Too-Late", "1"), -1);
        return nullptr;
    };
    Reply r = page();
    qtest::lines expected = head;
    for (const char* line :
         {"X-Trace: abc", "Cache-Control: max-age=60, must-revalidate", "Set-Cookie: id=7; path=/",
          "Set-Cookie: s=x=; path=/; domain=example.org; secure", "X-Late-But-In: 1"})
        expected.push_back(line);
    EXPECT_EQ(r.head(), expected);
    EXPECT_EQ(r.body(), "kept back!");
    EXPECT_EQ(log.text(), "error (add_attribute, 18232): line break in a header name or value "
                          "refused\nerror (add_attribute, 18232): line break in a header name or "
                          "value refused\nerror (add_attribute, 18236): header X-Too-Late not "
                          "sent, the response header has already gone out\n");
    // A lifetime adds the expiry date before the path; a producer that writes nothing still
    // sends what it set.
    producer = [](envelope* out) -> char* {
        return quorvel_obj_set(out, quorvel_attrib_cookie, "t", "1", nullptr, 0, 3600), nullptr;
    };
    static const std::regex expiry("Set-Cookie: t=1; expires=[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} "
                                   "[0-9]{4} [0-9:]{8} GMT; path=/");
    EXPECT_TRUE(std::regex_match(page().head().back(), expiry)) << page().text;
    // A Content-Type the producer sets replaces the mapping's.
    producer = [](envelope* out) -> char* {
        quorvel_obj_set(out, quorvel_attrib_header, "Content-Type", "application/json");
        return quorvel_printf(out, "{}"), nullptr;
    };
    EXPECT_EQ(page().head(), (qtest::lines{"HTTP/1.0 200 OK", "Date: *", "Server: Quorvel/1.0",
                                           "Content-Type: application/json"}));
}

TEST_F(Output, CookiesAreReadByTheirWholeNameWithEverythingAfterTheFirstEquals)
{
    std::vector<std::pair<std::string, int>> seen;
    producer = [&seen](envelope* out) -> char* {
        for (const char* name : {"id", "idx", "b64", "flag", "none"}) {
            char value[8];
            int rc = quorvel_obj_get(out, quorvel_attrib_cookie, name, value, int(sizeof(value)));
            seen.emplace_back(value, rc);
        }
        char small[4] = "xyz";
        seen.emplace_back(small, quorvel_obj_get(out, quorvel_attrib_cookie, "long", small, 4));
        return nullptr;
    };
    page("Cookie: idx=1; id=2;b64=YQ==\r\nCookie2: none=1\r\n");
    page("Cookie: flag; long=12345; id=3\r\n");
    using row = std::pair<std::string, int>;
    EXPECT_EQ(seen, (std::vector<row>{{"2", 0},
                                      {"1", 0},
                                      {"YQ==", 0},
                                      {"", -1},
                                      {"", -1},
                                      {"", -1},
                                      {"3", 0},
                                      {"", -1},
                                      {"", -1},
                                      {"", -1},
                                      {"", -1},
                                      {"", -6}}));
}

TEST_F(Output, AnErrorTextReplacesWhatThePageHadNotYetSent)
{
    producer = [](envelope* out) -> char* {
        quorvel_obj_set(out, quorvel_attrib_header, "X-Lost", "1");
        quorvel_printf(out, "half a page");
        return quorvel_make_return_value("no database");
    };
    Reply r = page();
    EXPECT_EQ(r.head()[0], "HTTP/1.0 500 Internal Server Error");
    EXPECT_EQ(r.text.find("half a page"), std::string::npos);
    EXPECT_EQ(r.text.find("X-Lost"), std::string::npos);
    EXPECT_EQ(r.body(), qtest::message_page("no database"));
}

TEST_F(Output, StreamsCarryFramesBothWays)
{
    qtest::SocketPair pair;
    quorvel::socket* sock = qtest::connection(pair.mine);
    envelope stream{quorvel_obj_stream, sock, 0};
    std::string big(300, 'q');
    EXPECT_EQ(quorvel_putf(&stream, big.data(), 300), 300);
    EXPECT_EQ(quorvel_printf(&stream, "n=%d", 5), 0);
    EXPECT_EQ(quorvel_uprintf(&stream, "a<b"), 0); // a frame per character
    EXPECT_EQ(quorvel_put(&stream, "raw", 3), 3);
    EXPECT_EQ(socket_flush(sock), 0);
    std::string sent = std::string("\0\0\x01\x2C", 4) + big + frame("n=5") + frame("a") +
                       frame("&#60;") + frame("b") + "raw";
    EXPECT_EQ(qtest::read_some(pair.peer, sent.size()), sent);

    qtest::send_all(pair.peer, frame("hello") + frame("") + frame("x") + std::string(2, 'y'));
    uint32_t length = 99;
    char* got = quorvel_getf(&stream, &length);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got, length + 1), std::string("hello\0", 6));
    quorvel_mem_free(got);
    EXPECT_EQ(quorvel_getf(&stream, &length), nullptr); // an empty frame
    EXPECT_EQ(length, 0u);
    char bytes[8] = {};
    EXPECT_EQ(quorvel_rcv(&stream, bytes, 7), 7);
    EXPECT_EQ(std::string(bytes, 7), frame("x") + "yy");
    // A length the peer sends as 2^31 or more is not received.
    qtest::send_all(pair.peer, std::string("\x80\0\0\0", 4));
    EXPECT_EQ(quorvel_getf(&stream, &length), nullptr);
    EXPECT_EQ(length, 0x80000000u);
    socket_destroy(&sock);
}

TEST_F(Output, CapturesLogsAndEveryRefusal)
{
    buffer* captured = nullptr;
    envelope capture{quorvel_obj_buffer, &captured, 0};
    ASSERT_EQ(quorvel_printf(&capture, "a%d", 1), 0);
    ASSERT_EQ(quorvel_printf(&capture, "b"), 0);
    EXPECT_STREQ(captured->data, "a1b");
    buffer_destroy(&captured);
    log_record* notes = log_create(dir.file("notes.log").c_str());
    envelope log_handle{quorvel_obj_log, notes, 0};
    EXPECT_EQ(quorvel_printf(&log_handle, "entry %s\n", "one"), 0);
    EXPECT_TRUE(qtest::read_file(dir.file("notes.log")).ends_with("] - entry one\n"));
    log_destroy(&notes);

    envelope mutex_handle{quorvel_obj_mutex, &captured, 0};
    envelope connection{quorvel_obj_connection, &captured, 0};
    uint32_t length = 0;
    char byte = 0;
    log.clear();
    const std::pair<std::function<int()>, std::string> refusals[] = {
        {[&] { return quorvel_put(nullptr, "x", 1); }, "quorvel_put, 16690): null argument"},
        {[&] { return quorvel_put(&mutex_handle, "x", 1); }, "quorvel_put, 16714): operation"},
        {[&] { return quorvel_putf(nullptr, "x", 1); }, "quorvel_putf, 16726): null argument"},
        {[&] { return quorvel_putf(&capture, "x", 1); }, "quorvel_putf, 16745): operation"},
        {[&] { return quorvel_getf(&mutex_handle, nullptr) ? 0 : -1; },
         "quorvel_getf, 16752): null argument"},
        {[&] { return quorvel_getf(&connection, &length) ? 0 : -1; },
         "quorvel_getf, 16756): operation"},
        {[&] { return quorvel_rcv(nullptr, &byte, 1); }, "quorvel_rcv, 16884): null argument"},
        {[&] { return quorvel_rcv(&connection, &byte, 1); }, "quorvel_rcv, 16899): operation"},
        {[&] { return quorvel_printf(nullptr, "x"); }, "quorvel_printf, 17206): null argument"},
        {[&] { return quorvel_printf(&mutex_handle, "x"); }, "quorvel_printf, 17289): operation"},
        {[&] { return quorvel_uprintf(nullptr, "x"); }, "quorvel_uprintf, 17050): null argument"},
        {[&] { return quorvel_uprintf(&log_handle, "x"); }, "quorvel_uprintf, 17170): operation"},
    };
    for (const auto& [call, line] : refusals) {
        EXPECT_EQ(call(), -1) << line;
        EXPECT_TRUE(log.text().starts_with("error (" + line)) << log.text();
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(quorvel_last_error(), QUORVEL_LAST_BAD_ARGUMENTS);
        log.clear();
    }
}
