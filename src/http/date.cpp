// HTTP dates: written in the one form servers send, read in the three forms clients send, with
// width-limited fields so that no text a client sends can overrun or be misread.
#include "http/date.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace quorvel {

namespace {

constexpr const char* month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static_assert(std::size(month_names) == 12);

constexpr const char* day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static_assert(std::size(day_names) == 7);

// Reads `digits` (min to max) decimal digits at `p`; false when there are fewer than `min`.
bool read_number(const char*& p, int min, int max, int& value)
{
    value = 0;
    int count = 0;
    while (count < max && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        ++p;
        ++count;
    }
    return count >= min;
}

// Reads a word of letters at `p` into `word` (at most `max` letters).
bool read_letters(const char*& p, size_t max, std::string_view& word)
{
    const char* start = p;
    while (static_cast<size_t>(p - start) <= max &&
           ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')))
        ++p;
    word = std::string_view(start, static_cast<size_t>(p - start));
    return !word.empty() && word.size() <= max;
}

bool skip_blanks(const char*& p)
{
    const char* start = p;
    while (*p == ' ' || *p == '\t')
        ++p;
    return p != start;
}

bool expect(const char*& p, char c)
{
    if (*p != c)
        return false;
    ++p;
    return true;
}

bool read_time(const char*& p, int fields[6])
{
    return read_number(p, 1, 2, fields[3]) && expect(p, ':') && read_number(p, 1, 2, fields[4]) &&
           expect(p, ':') && read_number(p, 1, 2, fields[5]);
}

bool read_month(std::string_view name, int fields[6])
{
    fields[1] = month_index(name);
    return fields[1] >= 0;
}

int two_digit_year(int year)
{
    return year < 70 ? 2000 + year : 1900 + year;
}

// The date after the day name, into year, month (0-11), day, hours, minutes, seconds.
bool parse_http_date(const char* p, int fields[6])
{
    std::string_view word;
    if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')) {
        // Nov  6 08:49:37 1994, optionally with a zone word before the year.
        if (!read_letters(p, 3, word) || !read_month(word, fields) || !skip_blanks(p) ||
            !read_number(p, 1, 2, fields[2]) || !skip_blanks(p) || !read_time(p, fields) ||
            !skip_blanks(p))
            return false;
        if (!(*p >= '0' && *p <= '9') && (!read_letters(p, 8, word) || !skip_blanks(p)))
            return false;
        return read_number(p, 4, 4, fields[0]);
    }
    if (p[0] != '\0' && p[1] != '\0' && p[2] == '-') {
        // 06-Nov-94 08:49:37 GMT (or a four-digit year)
        const char* year_start = nullptr;
        if (!read_number(p, 2, 2, fields[2]) || !expect(p, '-') || !read_letters(p, 3, word) ||
            !read_month(word, fields) || !expect(p, '-'))
            return false;
        year_start = p;
        if (!read_number(p, 2, 4, fields[0]) || (p - year_start) == 3)
            return false;
        if (p - year_start == 2)
            fields[0] = two_digit_year(fields[0]);
        return skip_blanks(p) && read_time(p, fields);
    }
    // 06 Nov 1994 08:49:37 GMT
    return read_number(p, 1, 2, fields[2]) && skip_blanks(p) && read_letters(p, 3, word) &&
           read_month(word, fields) && skip_blanks(p) && read_number(p, 4, 4, fields[0]) &&
           skip_blanks(p) && read_time(p, fields);
}

char* format_tm(const struct tm& t, char* out, size_t size)
{
    if (t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11) {
        out[0] = '\0';
        return nullptr;
    }
    int n = std::snprintf(out, size, "%s, %02d %s %lld %02d:%02d:%02d GMT", day_names[t.tm_wday],
                          t.tm_mday, month_names[t.tm_mon],
                          static_cast<long long>(t.tm_year) + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return nullptr;
    }
    return out;
}

} // namespace

char* format_http_date(int64_t when, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return nullptr;
    struct tm t {};
    auto seconds = static_cast<time_t>(when);
    if (::gmtime_r(&seconds, &t) == nullptr) {
        out[0] = '\0';
        return nullptr;
    }
    return format_tm(t, out, size);
}

char* format_log_date(int64_t when, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return nullptr;
    struct tm t {};
    auto seconds = static_cast<time_t>(when);
    int n = -1;
    if (::gmtime_r(&seconds, &t) != nullptr && t.tm_mon >= 0 && t.tm_mon < 12)
        n = std::snprintf(out, size, "%02d/%s/%04lld:%02d:%02d:%02d +0000", t.tm_mday,
                          month_names[t.tm_mon], static_cast<long long>(t.tm_year) + 1900,
                          t.tm_hour, t.tm_min, t.tm_sec);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return nullptr;
    }
    return out;
}

char* format_http_now(char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return nullptr;
    // Many answers a second share one text per thread.
    thread_local int64_t cached_second = INT64_MIN;
    thread_local char cached[HTTP_DATE_SIZE];
    auto now = static_cast<int64_t>(::time(nullptr));
    if (now != cached_second) {
        if (format_http_date(now, cached, sizeof(cached)) == nullptr) {
            out[0] = '\0';
            return nullptr;
        }
        cached_second = now;
    }
    size_t length = std::strlen(cached);
    if (length >= size) {
        out[0] = '\0';
        return nullptr;
    }
    std::memcpy(out, cached, length + 1);
    return out;
}

char* format_http_future(int64_t seconds, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return nullptr;
    auto now = static_cast<int64_t>(::time(nullptr));
    int64_t when = 0;
    if (__builtin_add_overflow(now, seconds, &when)) {
        out[0] = '\0';
        return nullptr;
    }
    return format_http_date(when, out, size);
}

int is_not_modified(const struct tm* file_time, const char* value)
{
    if (file_time == nullptr || value == nullptr)
        return 0;
    // The day name ends at the first blank or tab.
    const char* p = std::strpbrk(value, " \t");
    if (p == nullptr)
        return 0;
    skip_blanks(p);
    int parsed[6] = {};
    if (!parse_http_date(p, parsed))
        return 0;
    if (parsed[2] < 1 || parsed[2] > 31 || parsed[3] > 23 || parsed[4] > 59 || parsed[5] > 60)
        return 0;
    const long long file[6] = {static_cast<long long>(file_time->tm_year) + 1900,
                               file_time->tm_mon,
                               file_time->tm_mday,
                               file_time->tm_hour,
                               file_time->tm_min,
                               file_time->tm_sec};
    for (int i = 0; i < 6; ++i) {
        if (file[i] != parsed[i])
            return file[i] < parsed[i] ? 1 : 0;
    }
    return 1;
}

int month_index(std::string_view name)
{
    for (size_t i = 0; i < std::size(month_names); ++i) {
        if (month_names[i] == name)
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace quorvel
