// Response header lines and cookies. The header lines a host adds are kept as one text, sent
// with the header; a line break in a name or value is refused, so no host value can start a
// header line or a body of its own.
#include "http/cookies.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "foundation/strings.h"
#include "foundation/tokenizer.h"
#include "http/date.h"
#include "http/request.h"

#include <cstdarg>
#include <cstring>
#include <string_view>

namespace quorvel {

namespace {

bool has_line_break(const char* text)
{
    return std::strpbrk(text, "\r\n") != nullptr;
}

int append_line(char** text, const char* format, ...) __attribute__((format(printf, 2, 3)));

int append_line(char** text, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int rc = str_vprintf(text, format, args);
    va_end(args);
    return rc;
}

} // namespace

int add_attribute(request_data* request, const char* name, const char* value)
{
    clear_errors();
    if (request == nullptr || name == nullptr || value == nullptr || name[0] == '\0')
        return -1;
    if (has_line_break(name) || has_line_break(value)) {
        report("add_attribute", 18232, fault::bad_arg,
               "line break in a header name or value refused\n");
        return -1;
    }
    if (request->header == HEADER_SENT) {
        char shown[256];
        report("add_attribute", 18236, fault::bad_arg,
               "header %s not sent, the response header has already gone out\n",
               log_safe(name, shown, sizeof(shown)));
        return -1;
    }
    return append_line(&request->attributes, "%s: %s\r\n", name, value);
}

int set_cookie(request_data* request, const char* name, const char* value, const char* domain,
               int secure, int32_t lifetime)
{
    if (request == nullptr || name == nullptr || value == nullptr)
        return -1;
    char cookie[COOKIE_VALUE_SIZE] = {};
    bool fits = str_concat(cookie, sizeof(cookie), name) == 0 &&
                str_concat(cookie, sizeof(cookie), "=") == 0 &&
                str_concat(cookie, sizeof(cookie), value) == 0 &&
                str_concat(cookie, sizeof(cookie), "; ") == 0;
    if (fits && lifetime > 0) {
        char date[HTTP_DATE_SIZE];
        fits = format_http_future(lifetime, date, sizeof(date)) != nullptr &&
               str_concat(cookie, sizeof(cookie), "expires=") == 0 &&
               str_concat(cookie, sizeof(cookie), date) == 0 &&
               str_concat(cookie, sizeof(cookie), "; ") == 0;
    }
    fits = fits && str_concat(cookie, sizeof(cookie), "path=/") == 0;
    if (fits && domain != nullptr)
        fits = str_concat(cookie, sizeof(cookie), "; domain=") == 0 &&
               str_concat(cookie, sizeof(cookie), domain) == 0;
    if (fits && secure != 0)
        fits = str_concat(cookie, sizeof(cookie), "; secure") == 0;
    if (!fits)
        return -1;
    return add_attribute(request, "Set-Cookie", cookie);
}

int get_cookie(const request_data* request, const char* name, char* out, int size)
{
    if (out != nullptr && size > 0)
        out[0] = '\0';
    if (request == nullptr || name == nullptr || out == nullptr || size <= 0 ||
        request->headers == nullptr)
        return -1;
    const auto* header =
        static_cast<const char*>(htable_getref(request->headers, "COOKIE", 6, nullptr));
    if (header == nullptr)
        return -1;
    tok* pairs = tok_create(header, "; \r\n");
    if (pairs == nullptr)
        return -1;
    int result = -1;
    std::string_view wanted = name;
    for (char* pair = tok_next(pairs); pair != nullptr; pair = tok_next(pairs)) {
        const char* equals = std::strchr(pair, '=');
        std::string_view pair_name(pair,
                                   equals != nullptr ? size_t(equals - pair) : std::strlen(pair));
        if (pair_name != wanted)
            continue;
        if (equals != nullptr) {
            size_t length = std::strlen(equals + 1);
            if (length + 1 > static_cast<size_t>(size)) {
                result = length + 1 > INT32_MAX ? INT32_MIN : -static_cast<int>(length + 1);
            } else {
                std::memcpy(out, equals + 1, length + 1);
                result = 0;
            }
        }
        break;
    }
    tok_destroy(&pairs);
    return result;
}

} // namespace quorvel
