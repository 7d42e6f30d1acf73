// Reading one HTTP/1.0 request from an accepted connection and parsing it in place: the head
// is one allocation split by overwriting delimiters with zero bytes, and only the values kept
// in the record's tables are copied.
#include "http/request.h"

#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "http/access_log.h"
#include "http/server.h"
#include "http/status.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "quorvel.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unistd.h>

namespace quorvel {

namespace {

// Client text in a log line is escaped and cut to this many bytes.
constexpr size_t LOG_TEXT_SIZE = 256;

constexpr std::string_view CONTENT_LENGTH = "CONTENT-LENGTH";
constexpr std::string_view QUERY_KEY = "QUERY";

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

// The largest body a handler takes: its request buffer, which the waiting room fills before
// the handler sees the request, so reading a body never waits on the client.
int64_t body_limit()
{
    return request_buffer_size();
}

// Bytes already waiting in the connection's input buffer, taken as socket_rcv would take
// them but without a call per byte; NULL when socket_rcv must be asked (nothing buffered,
// pending output to flush first, or no buffer).
buffer* buffered_input(const socket* s)
{
    if ((s->flags & (SOCK_CONNECTED | SOCK_BUFFERED | SOCK_OUTPUT)) !=
        (SOCK_CONNECTED | SOCK_BUFFERED))
        return nullptr;
    buffer* in = s->buffer;
    if (in == nullptr || in->data == nullptr || in->read_pos >= in->write_pos)
        return nullptr;
    return in;
}

// Reads and drops `length` bytes of a body nobody uses: true when all arrived.
bool drop_body(socket* s, int64_t length)
{
    char sink[4096];
    while (length > 0) {
        auto chunk = static_cast<uint32_t>(std::min<int64_t>(length, sizeof(sink)));
        if (socket_rcv(s, sink, chunk) != static_cast<int>(chunk))
            return false;
        length -= chunk;
    }
    return true;
}

// Header lines whose value is a credential: their debug line shows the name only.
constexpr std::string_view secret_headers[] = {"AUTHORIZATION", "PROXY-AUTHORIZATION", "COOKIE"};
// Parts of form field names that hold secrets: such a field's debug line hides its value.
constexpr std::string_view secret_fields[] = {"PASS", "PWD", "SECRET", "TOKEN"};
constexpr char HIDDEN[] = "(hidden)";

bool same_upper(std::string_view name, std::string_view upper)
{
    return name.size() == upper.size() &&
           std::equal(name.begin(), name.end(), upper.begin(), [](char a, char b) {
               return (a >= 'a' && a <= 'z' ? a - 'a' + 'A' : a) == b;
           });
}

bool names_secret_header(std::string_view name)
{
    return std::any_of(std::begin(secret_headers), std::end(secret_headers),
                       [name](std::string_view secret) { return same_upper(name, secret); });
}

// `name` is upper-cased already.
bool names_secret_field(std::string_view name)
{
    return std::any_of(std::begin(secret_fields), std::end(secret_fields),
                       [name](std::string_view part) { return name.find(part) != name.npos; });
}

// Marks the request failed with `status`, unless an earlier failure already names the answer.
void fail_request(request_data* request, uint32_t status)
{
    if ((request->flags & REQUEST_FAILED) != 0)
        return;
    request->flags |= REQUEST_FAILED;
    request->status = status;
}

// Where '+' stands for a blank: everywhere in form text, and in a request target only after
// its first '?' (as sent or decoded from %3F), since in a path it is a plain character.
enum class plus_rule { blank, blank_in_query };

// Decodes escapes (and '+' as `rule` says) in place, up to the first byte that is a blank, a
// control character or above 127. A decoded byte is never examined again, so %2B stays '+'.
void decode_escapes(char* s, plus_rule rule)
{
    // One pass with separate read and write positions instead of moving the tail left for
    // every escape; the unscanned rest is moved once at the end.
    const char* from = s;
    char* to = s;
    bool plus_is_blank = rule == plus_rule::blank;
    while (static_cast<signed char>(*from) > 32) {
        char c = *from;
        if (c == '+' && plus_is_blank) {
            c = ' ';
            ++from;
        } else if (c == '%') {
            hex_digits escape = hex_value(from + 1);
            if (escape.value != 0) {
                c = static_cast<char>(escape.value);
                from += 1 + escape.count;
            } else {
                ++from;
            }
        } else {
            ++from;
        }
        *to++ = c;
        if (c == '?')
            plus_is_blank = true;
    }
    if (to != from)
        std::memmove(to, from, std::strlen(from) + 1);
}

// True when a header name is Content-Length in any case.
bool names_content_length(std::string_view name)
{
    return same_upper(name, CONTENT_LENGTH);
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

int64_t head_content_length(std::string_view head)
{
    // The parser works on zero-terminated text.
    head = head.substr(0, head.find('\0'));
    auto span = [&head](size_t from, const char* set, bool in) {
        size_t end = in ? head.find_first_not_of(set, from) : head.find_first_of(set, from);
        return (end == std::string_view::npos ? head.size() : end) - from;
    };
    size_t at = span(0, "\r\n", false);
    at += span(at, "\r\n", true);
    bool seen = false;
    int64_t length = 0;
    for (;;) {
        size_t name_length = span(at, ": \r\n", false);
        size_t value = at + name_length + span(at + name_length, ": ", true);
        size_t value_length = span(value, "\r\n", false);
        if (name_length == 0 || value_length == 0)
            break;
        std::string_view name = head.substr(at, name_length);
        at = value + value_length + span(value + value_length, "\r\n", true);
        if (!names_content_length(name))
            continue;
        int64_t parsed = content_length_value(head.substr(value, value_length));
        if (seen && parsed != length)
            return LENGTH_MALFORMED;
        seen = true;
        length = parsed;
    }
    return length;
}

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
    decode_escapes(s, plus_rule::blank);
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
    // A refused request is still parsed whole, so that it is answered like any other.
    request->flags = method_bit(method);
    if (*method == '\0' || *uri == '\0') {
        fail_request(request, STATUS_BAD_REQUEST);
    } else if (request->flags == 0) {
        report("parse_request_header", 13654, fault::bad_arg, "unknown method(%s) requested\n",
               log_safe(method, safe, sizeof(safe)));
        fail_request(request, STATUS_METHOD_NOT_ALLOWED);
    }

    // Decoding comes first, so an encoded '?' splits off the query too.
    decode_escapes(uri, plus_rule::blank_in_query);
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
            // A Content-Length with nothing after its colon ends the header as any empty
            // value does; a POST that has announced no other length is then malformed.
            if (name_length != 0 && !length_seen && (request->flags & REQUEST_POST) != 0 &&
                names_content_length(std::string_view(name, name_length)))
                fail_request(request, STATUS_BAD_REQUEST);
            debug("parse_http_headers", 13713, "waring: %s is null\n",
                  name_length == 0 ? "name" : "value");
            break;
        }
        if (debug_enabled()) {
            bool secret = names_secret_header(std::string_view(name, name_length));
            debug("parse_http_headers", 13717, "%s: %s\n",
                  log_safe(name, safe_name, sizeof(safe_name)),
                  secret ? HIDDEN : log_safe(value, safe_value, sizeof(safe_value)));
        }
        str_upper(name);
        std::string_view key(name, name_length);
        if (key == QUERY_KEY)
            continue; // the query string alone lives under "QUERY"
        if (key == CONTENT_LENGTH) {
            // A body whose length cannot be read could only be guessed at: a POST needs it.
            // Other methods take a malformed length as no body.
            int64_t parsed = content_length_value(std::string_view(value, value_length));
            if ((length_seen && parsed != length) ||
                (parsed == LENGTH_MALFORMED && (request->flags & REQUEST_POST) != 0))
                fail_request(request, STATUS_BAD_REQUEST);
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

char* read_http_header(socket* s, uint32_t limit)
{
    clear_errors();
    if (s == nullptr) {
        report("read_http_header", 13432, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    // limit + 1 must not wrap to a tiny block.
    char* text = limit < UINT32_MAX ? static_cast<char*>(mem_alloc_uncleared(limit + 1)) : nullptr;
    if (text == nullptr) {
        report("read_http_header", 13447, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    // Only the terminator is written: parsing never looks past it.
    uint32_t used = 0;
    head_end end{};
    bool complete = false;
    while (used < limit && !complete) {
        if (buffer* in = buffered_input(s)) {
            size_t available =
                std::min<size_t>(static_cast<size_t>(in->write_pos - in->read_pos), limit - used);
            size_t taken = 0;
            while (taken < available && !complete)
                complete = end.take(in->read_pos[taken++]);
            std::memcpy(text + used, in->read_pos, taken);
            in->read_pos += taken;
            used += static_cast<uint32_t>(taken);
            s->flags |= SOCK_READY;
            continue;
        }
        // Refills the buffer (or reads the unbuffered socket) and hands over one byte; a
        // failure, a close by the peer or the end of the request's time all end here.
        char c;
        if (socket_rcv(s, &c, 1) != 1) {
            mem_free(text);
            return nullptr;
        }
        text[used++] = c;
        complete = end.take(c);
    }
    text[used] = '\0';
    return text;
}

int parse_post(request_data* request, int64_t content_length)
{
    if (request == nullptr || content_length <= 0)
        return -1;
    if (content_length > body_limit()) {
        fail_request(request, STATUS_INTERNAL);
        report("parse_post", 13526, fault::no_memory, "insufficient memory to perform operation\n");
        return -1;
    }
    // A body sent with GET or HEAD is read and dropped, so that closing the connection
    // does not reset it under the response; it needs no block of its own.
    if ((request->flags & REQUEST_POST) == 0) {
        if (!drop_body(request->sock, content_length)) {
            fail_request(request, STATUS_INTERNAL);
            return -1;
        }
        return 0;
    }
    auto length = static_cast<uint32_t>(content_length);
    auto* body = static_cast<char*>(mem_alloc(length + 1));
    if (body == nullptr) {
        fail_request(request, STATUS_INTERNAL);
        report("parse_post", 13526, fault::no_memory, "insufficient memory to perform operation\n");
        return -1;
    }
    // socket_rcv delivers fewer bytes when the connection fails part way: that is a failure.
    if (socket_rcv(request->sock, body, length) != static_cast<int>(length)) {
        fail_request(request, STATUS_INTERNAL);
        mem_free(body);
        return -1;
    }
    body[length] = '\0';
    request->post_vars = htable_create(10);
    if (request->post_vars == nullptr) {
        fail_request(request, STATUS_INTERNAL);
        mem_free(body);
        report("parse_content", 13552, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    // The walk ends at the body's first zero byte; empty tokens (a leading '&') are skipped
    // rather than ending it.
    char* cursor = body;
    char safe_name[LOG_TEXT_SIZE];
    char safe_value[LOG_TEXT_SIZE];
    while (*cursor != '\0') {
        char* pair = next_token(&cursor, "&");
        url_decode(pair);
        char* equals = std::strchr(pair, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        char* value = equals + 1;
        str_upper(pair);
        if (debug_enabled()) {
            bool secret = names_secret_field(std::string_view(pair, equals - pair));
            debug("parse_post", 13585, "storing %s=%s\n",
                  log_safe(pair, safe_name, sizeof(safe_name)),
                  secret ? HIDDEN : log_safe(value, safe_value, sizeof(safe_value)));
        }
        if (htable_store(request->post_vars, pair, static_cast<uint32_t>(equals - pair), value,
                         static_cast<uint32_t>(std::strlen(value)), true, nullptr) != 0) {
            fail_request(request, STATUS_INTERNAL);
            mem_free(body);
            report("parse_post", 13594, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return -1;
        }
    }
    mem_free(body);
    return 0;
}

request_data* http_request(server_record* server, socket* s, int32_t limit)
{
    clear_errors();
    if (limit < 0) {
        report("http_request", 13750, fault::bad_arg, "null or invalid argument\n");
        return nullptr;
    }
    // One deadline covers the head and the body. A deadline the socket layer set at accept
    // stands; the response that follows is not bound by it.
    if (s != nullptr && s->deadline_ms == 0)
        s->deadline_ms = monotonic_ms() + int64_t{request_timeout_seconds()} * 1000;
    char* header = read_http_header(s, static_cast<uint32_t>(limit));
    if (header == nullptr) {
        if (s != nullptr)
            s->deadline_ms = 0;
        return nullptr;
    }
    auto* request = static_cast<request_data*>(mem_zalloc(sizeof(request_data)));
    if (request == nullptr) {
        report("http_request", 13765, fault::no_memory,
               "insufficient memory to perform operation\n");
        mem_free(header);
        s->deadline_ms = 0;
        return nullptr;
    }
    request->sock = s;
    request->server = server;
    request->out = nullptr;
    // Parsing splits the head in place: the access log keeps the line as it arrived.
    if (server != nullptr && server->access_log.on)
        request->request_line =
            access_log_keep_line(header, ::strnlen(header, ACCESS_LOG_REQUEST_MAX));

    char* path = nullptr;
    int64_t content_length = 0;
    if (parse_request_header(&path, &content_length, header, request) != 0) {
        // The connection stays the caller's.
        htable_destroy(&request->headers);
        mem_free(request->request_line);
        mem_free(header);
        mem_free(request);
        s->deadline_ms = 0;
        return nullptr;
    }
    // The path points into the head, which the record keeps for whoever resolves it.
    request->head = header;
    request->path = path;
    // A request already refused while parsing is answered with its status as it stands: no
    // body is read.
    if ((request->flags & REQUEST_FAILED) == 0 && parse_post(request, content_length) == 0 &&
        (request->flags & REQUEST_FAILED) == 0)
        request->status = 0;
    s->deadline_ms = 0;
    return request;
}

request_data* request_refused(server_record* server, socket* s, uint32_t status)
{
    auto* request = static_cast<request_data*>(mem_zalloc(sizeof(request_data)));
    if (request == nullptr) {
        report("http_request", 13765, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    request->sock = s;
    request->server = server;
    // What arrived of the request line, as the access log shows it.
    const buffer* in = s != nullptr ? s->buffer : nullptr;
    if (server != nullptr && server->access_log.on && in != nullptr && in->read_pos != nullptr &&
        in->read_pos < in->write_pos)
        request->request_line =
            access_log_keep_line(in->read_pos, static_cast<size_t>(in->write_pos - in->read_pos));
    fail_request(request, status);
    return request;
}

const char* request_content_type(const request_data* request)
{
    if (request->mime != nullptr && request->mime->content_type != nullptr)
        return request->mime->content_type;
    return "text/html";
}

void request_destroy(request_data** request)
{
    if (request == nullptr || *request == nullptr)
        return;
    request_data* r = *request;
    *request = nullptr;
    // A file or directory keeps its local path as `target` too; a mapped URI's `target` is
    // the server's entry and is not the request's to free.
    if (r->local_path != nullptr && r->local_path != r->target)
        mem_free(r->local_path);
    if (r->target != nullptr && (r->kind == KIND_FILE || r->kind == KIND_DIRECTORY))
        mem_free(r->target);
    mem_free(r->uri);
    mem_free(r->head);
    mem_free(r->request_line);
    mem_free(r->user);
    htable_destroy(&r->headers);
    htable_destroy(&r->post_vars);
    mem_free(r->attributes);
    if (r->file_open)
        ::close(r->file_fd);
    socket_destroy(&r->sock);
    buffer_destroy(&r->out);
    mem_free(r);
}

} // namespace quorvel
