// Reading one HTTP/1.0 request from an accepted connection and parsing it in place: the head
// is one allocation split by overwriting delimiters with zero bytes, and only the values kept
// in the record's tables are copied.
#include "http/request.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "quorvel.h"

#include <cstring>
#include <string_view>

namespace quorvel {

namespace {

// Client text in a log line is escaped and cut to this many bytes.
constexpr size_t LOG_TEXT_SIZE = 256;

constexpr std::string_view CONTENT_LENGTH = "CONTENT-LENGTH";
constexpr std::string_view QUERY_KEY = "QUERY";

// A Content-Length too large to hold is kept as this, which no heap can take.
constexpr int64_t LENGTH_TOO_LARGE = INT64_MAX;
constexpr int64_t LENGTH_MALFORMED = -1;

// The value of a Content-Length header: its decimal number, LENGTH_MALFORMED when it is
// empty or holds anything but digits and trailing blanks, LENGTH_TOO_LARGE when it does not
// fit. No sign is accepted, so a negative length is malformed.
int64_t content_length_value(std::string_view text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty())
        return LENGTH_MALFORMED;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return LENGTH_MALFORMED;
        if (value != LENGTH_TOO_LARGE) {
            int digit = c - '0';
            value = value > (INT64_MAX - digit) / 10 ? LENGTH_TOO_LARGE : value * 10 + digit;
        }
    }
    return value;
}

// The method bit for an exact, case-sensitive method name; 0 when unknown.
uint32_t method_bit(std::string_view method)
{
    if (method == "GET")
        return REQUEST_GET;
    if (method == "POST")
        return REQUEST_POST;
    if (method == "HEAD")
        return REQUEST_HEAD;
    return 0;
}

} // namespace

hex_digits hex_value(const char* s)
{
    hex_digits result{0, 0};
    if (s == nullptr)
        return result;
    for (; result.count < 2; ++result.count) {
        char c = s[result.count];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else
            break;
        result.value = result.value * 16 + digit;
    }
    return result;
}

int url_decode(char* s)
{
    clear_errors();
    if (s == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    // One pass with separate read and write positions instead of moving the tail left for
    // every escape; the unscanned rest is moved once at the end.
    const char* from = s;
    char* to = s;
    while (static_cast<signed char>(*from) > 32) {
        if (*from == '+') {
            *to++ = ' ';
            ++from;
        } else if (*from == '%') {
            hex_digits escape = hex_value(from + 1);
            if (escape.value != 0) {
                *to++ = static_cast<char>(escape.value);
                from += 1 + escape.count;
            } else {
                *to++ = *from++;
            }
        } else {
            *to++ = *from++;
        }
    }
    if (to != from)
        std::memmove(to, from, std::strlen(from) + 1);
    return 0;
}

char* next_token(char** cursor, const char* delimiters)
{
    if (cursor == nullptr || *cursor == nullptr || delimiters == nullptr)
        return nullptr;
    char* token = *cursor;
    char* end = token + std::strcspn(token, delimiters);
    size_t run = std::strspn(end, delimiters);
    std::memset(end, 0, run);
    *cursor = end + run;
    return token;
}

void str_upper(char* s)
{
    if (s == nullptr)
        return;
    // ASCII only, as toupper in the "C" locale: a host's setlocale must not change keys.
    for (; *s != '\0'; ++s)
        if (*s >= 'a' && *s <= 'z')
            *s = static_cast<char>(*s - 'a' + 'A');
}

int parse_request_header(char** path, int64_t* content_length, char* header, request_data* request)
{
    if (path == nullptr || content_length == nullptr || header == nullptr || request == nullptr)
        return -1;
    // The request line is cut off first, so that a line without path or version never
    // reaches into the header lines.
    char* cursor = header;
    char* line = next_token(&cursor, "\r\n");
    char* method = next_token(&line, " ");
    char* uri = next_token(&line, " ");
    // What is left of the line is the protocol version, which is not examined.

    char safe[LOG_TEXT_SIZE];
    if (debug_enabled())
        debug("parse_request_header", 13644, "METHOD: %s\n", log_safe(method, safe, sizeof(safe)));
    request->flags = method_bit(method);
    if (request->flags == 0) {
        report("parse_request_header", 13654, fault::bad_arg, "unknown method(%s) requested\n",
               log_safe(method, safe, sizeof(safe)));
        return -1;
    }

    // Decoding comes first, so an encoded '?' splits off the query too.
    url_decode(uri);
    char* query = std::strchr(uri, '?');
    if (query != nullptr)
        *query++ = '\0';
    if (debug_enabled()) {
        debug("parse_request_header", 13669, "URI: %s\n", log_safe(uri, safe, sizeof(safe)));
        if (query != nullptr)
            debug("parse_request_header", 13671, "QUERY: %s\n",
                  log_safe(query, safe, sizeof(safe)));
    }

    request->headers = htable_create(10);
    if (request->headers == nullptr) {
        report("parse_request_header", 13681, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    if (query != nullptr && *query != '\0') {
        size_t length = std::strlen(query);
        if (htable_store(request->headers, QUERY_KEY.data(), QUERY_KEY.size(), query,
                         static_cast<uint32_t>(length), true, nullptr) != 0) {
            report("parse_request_header", 13697, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return -1;
        }
    }

    int64_t length = 0;
    if (parse_http_headers(&cursor, &length, request) != 0)
        return -1;
    *path = uri;
    *content_length = length;
    return 0;
}

int parse_http_headers(char** cursor, int64_t* content_length, request_data* request)
{
    if (cursor == nullptr || *cursor == nullptr || content_length == nullptr || request == nullptr)
        return -1;
    *content_length = 0;
    bool length_seen = false;
    int64_t length = 0;
    char* at = *cursor;
    char safe_name[LOG_TEXT_SIZE];
    char safe_value[LOG_TEXT_SIZE];
    for (;;) {
        // A name also ends at a line end, so a line without a colon ends the header instead
        // of swallowing the next line into its name.
        char* name = at;
        size_t name_length = std::strcspn(name, ": \r\n");
        char* separator = name + name_length;
        size_t separator_length = std::strspn(separator, ": ");
        char* value = separator + separator_length;
        size_t value_length = std::strcspn(value, "\r\n");
        char* line_end = value + value_length;
        size_t line_end_length = std::strspn(line_end, "\r\n");
        std::memset(separator, 0, separator_length);
        std::memset(line_end, 0, line_end_length);
        at = line_end + line_end_length;
        *cursor = at;
        if (name_length == 0 || value_length == 0) {
            debug("parse_http_headers", 13713, "waring: %s is null\n",
                  name_length == 0 ? "name" : "value");
            break;
        }
        if (debug_enabled())
            debug("parse_http_headers", 13717, "%s: %s\n",
                  log_safe(name, safe_name, sizeof(safe_name)),
                  log_safe(value, safe_value, sizeof(safe_value)));
        str_upper(name);
        std::string_view key(name, name_length);
        if (key == QUERY_KEY)
            continue; // the query string alone lives under "QUERY"
        if (key == CONTENT_LENGTH) {
            int64_t parsed = content_length_value(std::string_view(value, value_length));
            if (length_seen && parsed != length) {
                request->flags |= REQUEST_FAILED;
                request->status = STATUS_BAD_REQUEST;
            }
            length_seen = true;
            length = parsed;
        }
        if (htable_store(request->headers, name, static_cast<uint32_t>(name_length), value,
                         static_cast<uint32_t>(value_length), true, nullptr) != 0) {
            report("parse_http_headers", 13728, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return -1;
        }
    }
    if ((request->flags & REQUEST_FAILED) == 0 && length > 0)
        *content_length = length;
    return 0;
}

} // namespace quorvel
