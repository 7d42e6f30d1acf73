#include "http/request.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

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
    explicit Parsed(const std::string& head) : text(head)
    {
        clear_errors();
        rc = parse_request_header(&path, &length, text.data(), &record);
    }
    ~Parsed() { htable_destroy(&record.headers); }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;

    std::string header(const std::string& key) const { return lookup(record.headers, key); }
    uint32_t header_count() const { return record.headers == nullptr ? 0 : record.headers->count; }

    std::string text;
    request_data record{};
    char* path = nullptr;
    int64_t length = -2;
    int rc = -2;
};

} // namespace

TEST(UrlDecode, PlusAndEscapesDecodeOnceInPlace)
{
    EXPECT_EQ(decoded("/a%20b.html?x=1+2"), "/a b.html?x=1 2");
    EXPECT_EQ(decoded("%41%4"), std::string("A\x04"));
    EXPECT_EQ(decoded("%zz%00%0"), "%zz%00%0"); // no digit, or the value 0: unchanged
    EXPECT_EQ(decoded("%2541"), "%41");         // a decoded byte is not decoded again
    EXPECT_EQ(decoded("%e9%C3%a9"), "\xe9\xc3\xa9");
    EXPECT_EQ(decoded(""), "");
}

TEST(UrlDecode, StopsAtBlanksControlsAndHighBytesKeepingTheRest)
{
    EXPECT_EQ(decoded("a%41 b%41"), "aA b%41");
    EXPECT_EQ(decoded("%41%41\tx+"), "AA\tx+");
    EXPECT_EQ(decoded("\xc3%41"), "\xc3%41");
    EXPECT_EQ(decoded(" %41"), " %41");
    errno = 0;
    EXPECT_EQ(url_decode(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
}

TEST(HexValue, ReadsAtMostTwoDigits)
{
    EXPECT_EQ(hex_value("fF1").value, 255u);
    EXPECT_EQ(hex_value("fF1").count, 2u);
    EXPECT_EQ(hex_value("4g").value, 4u);
    EXPECT_EQ(hex_value("4g").count, 1u);
    EXPECT_EQ(hex_value("g4").count, 0u);
    EXPECT_EQ(hex_value("").count, 0u);
}

TEST(NextToken, OverwritesTheDelimiterRunAndKeepsEmptyTokens)
{
    char text[] = "a  b&&c";
    char* cursor = text;
    EXPECT_STREQ(next_token(&cursor, " "), "a");
    EXPECT_EQ(cursor, text + 3);
    EXPECT_EQ(text[1], '\0');
    EXPECT_EQ(text[2], '\0');
    EXPECT_STREQ(next_token(&cursor, "&"), "b");
    EXPECT_STREQ(next_token(&cursor, "&"), "c");
    EXPECT_EQ(*cursor, '\0'); // no delimiter left: the cursor stands on the terminator
    EXPECT_STREQ(next_token(&cursor, "&"), "");

    char leading[] = "&x";
    cursor = leading;
    EXPECT_STREQ(next_token(&cursor, "&"), "");
    EXPECT_STREQ(next_token(&cursor, "&"), "x");
    EXPECT_EQ(next_token(nullptr, "&"), nullptr);
}

TEST(StrUpper, ChangesAsciiLettersOnly)
{
    char text[] = "content-Length_9\xe9z";
    str_upper(text);
    EXPECT_STREQ(text, "CONTENT-LENGTH_9\xe9Z");
    str_upper(nullptr);
}

TEST(ParseRequestHeader, SplitsRequestLineQueryAndHeaders)
{
    Parsed p("GET /a%20b.html?x=1+2 HTTP/1.0\r\nHost: h\r\nuser-AGENT:: :t  \r\n\r\n");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.record.flags, REQUEST_GET);
    EXPECT_STREQ(p.path, "/a b.html");
    EXPECT_EQ(p.length, 0);
    EXPECT_EQ(p.header("QUERY"), "x=1 2");
    EXPECT_EQ(p.header("HOST"), "h");
    // Names are upper-cased; the run of colons and blanks is dropped, trailing blanks stay.
    EXPECT_EQ(p.header("USER-AGENT"), "t  ");
    EXPECT_EQ(p.header_count(), 3u);

    Parsed post("POST /f%3Fa=%26 HTTP/1.0\r\nHost:h\r\n\r\n");
    ASSERT_EQ(post.rc, 0);
    EXPECT_EQ(post.record.flags, REQUEST_POST);
    EXPECT_STREQ(post.path, "/f"); // an encoded '?' splits too
    EXPECT_EQ(post.header("QUERY"), "a=&");
    EXPECT_EQ(post.header("HOST"), "h");

    Parsed head("HEAD /x? HTTP/1.0\r\n\r\n");
    ASSERT_EQ(head.rc, 0);
    EXPECT_EQ(head.record.flags, REQUEST_HEAD);
    EXPECT_STREQ(head.path, "/x");
    EXPECT_EQ(head.header_count(), 0u); // an empty query is not stored
}

TEST(ParseRequestHeader, UnknownOrLowerCaseMethodIsRefused)
{
    qtest::ErrorLog log;
    Parsed lower("get / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(lower.rc, -1);
    qtest::expect_report(
        log, "error (parse_request_header, 13654): unknown method(get) requested\n", EINVAL, 160);
    // Control characters of the client's text are escaped in the line.
    Parsed odd("GE\x1bT / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(odd.rc, -1);
    qtest::expect_report(
        log, "error (parse_request_header, 13654): unknown method(GE\\x1BT) requested\n", EINVAL,
        160);
    Parsed nothing("");
    EXPECT_EQ(nothing.rc, -1);
    qtest::expect_report(log, "error (parse_request_header, 13654): unknown method() requested\n",
                         EINVAL, 160);
    request_data record{};
    char* path = nullptr;
    int64_t length = 0;
    EXPECT_EQ(parse_request_header(&path, &length, nullptr, &record), -1);
}

TEST(ParseRequestHeader, EmptyNameOrValueEndsTheHeader)
{
    // A line that ends right after its colon ends parsing; later lines are not stored.
    Parsed colon("GET / HTTP/1.0\r\nA: 1\r\nB:\r\nC: 3\r\n\r\n");
    ASSERT_EQ(colon.rc, 0);
    EXPECT_EQ(colon.header("A"), "1");
    EXPECT_EQ(colon.header("C"), "<none>");
    EXPECT_EQ(colon.header_count(), 1u);
    // So does a line without a colon; its neighbour is not taken into its name.
    Parsed bare("GET / HTTP/1.0\r\nA: 1\r\nJunk\r\nC: 3\r\n\r\n");
    ASSERT_EQ(bare.rc, 0);
    EXPECT_EQ(bare.header_count(), 1u);
    // A request line without version or path keeps the header lines to themselves.
    Parsed short_line("GET /x\r\nHost: h\r\n\r\n");
    ASSERT_EQ(short_line.rc, 0);
    EXPECT_STREQ(short_line.path, "/x");
    EXPECT_EQ(short_line.header("HOST"), "h");
    // A head cut by the size limit is parsed as far as it goes.
    Parsed cut("GET / HTTP/1.0\r\nHost: h\r\nAccept: te");
    ASSERT_EQ(cut.rc, 0);
    EXPECT_EQ(cut.header("ACCEPT"), "te");
}

TEST(ParseRequestHeader, LaterHeaderReplacesEarlierButQueryHeaderIsIgnored)
{
    Parsed p("GET /?real=1 HTTP/1.0\r\nX: 1\r\nx: 2\r\nQuery: forged\r\nQUERY: forged\r\n\r\n");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.header("X"), "2");
    EXPECT_EQ(p.header("QUERY"), "real=1");
    Parsed no_query("GET / HTTP/1.0\r\nquery: forged\r\n\r\n");
    ASSERT_EQ(no_query.rc, 0);
    EXPECT_EQ(no_query.header("QUERY"), "<none>");
}

TEST(ParseRequestHeader, ContentLengthIsAPlainDecimalNumber)
{
    struct Case {
        const char* value;
        int64_t length;
    };
    const Case cases[] = {
        {"12", 12}, {"0012  ", 12},
        {"0", 0},   {"-5", 0},
        {"+5", 0},  {"5x", 0},
        {"1 2", 0}, {"0x10", 0},
        {"\t5", 0}, {"99999999999999999999999", INT64_MAX}, // too large for any heap, never wrapped
    };
    for (const Case& c : cases) {
        Parsed p(std::string("POST / HTTP/1.0\r\nContent-Length: ") + c.value + "\r\n\r\n");
        ASSERT_EQ(p.rc, 0) << c.value;
        EXPECT_EQ(p.length, c.length) << c.value;
        EXPECT_EQ(p.record.flags, REQUEST_POST) << c.value;
    }
    Parsed absent("POST / HTTP/1.0\r\nContent-Length:\r\nHost: h\r\n\r\n");
    EXPECT_EQ(absent.length, 0);
}

TEST(ParseRequestHeader, DifferingContentLengthsFailWithBadRequest)
{
    Parsed same("POST / HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 003\r\n\r\n");
    ASSERT_EQ(same.rc, 0);
    EXPECT_EQ(same.record.flags, REQUEST_POST);
    EXPECT_EQ(same.length, 3);
    const char* differing[] = {
        "POST / HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n",
        "POST / HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: x\r\n\r\n",
    };
    for (const char* head : differing) {
        Parsed p(head);
        ASSERT_EQ(p.rc, 0);
        EXPECT_EQ(p.record.flags, REQUEST_POST | REQUEST_FAILED);
        EXPECT_EQ(p.record.status, STATUS_BAD_REQUEST);
        EXPECT_EQ(p.length, 0); // nothing of the body is read
    }
}

TEST(ParseRequestHeader, DebugLinesCarryClientTextEscaped)
{
    qtest::ErrorLog log;
    set_debug(true);
    Parsed p("GET /a%0Ab?q=%1B HTTP/1.0\r\nX-Name: v\x7f\r\n\r\n");
    set_debug(false);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(log.text(), "(parse_request_header, 13644): METHOD: GET\n"
                          "(parse_request_header, 13669): URI: /a\\x0Ab\n"
                          "(parse_request_header, 13671): QUERY: q=\\x1B\n"
                          "(parse_http_headers, 13717): X-Name: v\\x7F\n"
                          "(parse_http_headers, 13713): waring: name is null\n");
}
