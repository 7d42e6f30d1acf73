// The access log. A line is put together in the handler's area (a block of the thread heap when
// the request line is long) when the answer is written, and leaves in one write(2) once the
// answer is on its way: with O_APPEND the kernel places each write whole at the end of the
// file, whichever handler makes it. The date text is kept per thread and formed again only
// when the second changes.
#include "http/access_log.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "http/date.h"
#include "http/request.h"
#include "net/socket.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr mode_t LOG_FILE_MODE = 0644;
// Bytes an escaped byte takes: "\xNN".
constexpr size_t ESCAPED_SIZE = 4;

struct date_cache {
    int64_t second = -1;
    char text[LOG_DATE_SIZE] = {};
};
thread_local date_cache cached_date;

// The current time as the log writes it; "-" when it cannot be converted.
std::string_view log_date()
{
    auto now = static_cast<int64_t>(::time(nullptr));
    date_cache& cache = cached_date;
    if (cache.second != now) {
        if (format_log_date(now, cache.text, sizeof(cache.text)) == nullptr)
            return "-";
        cache.second = now;
    }
    return cache.text;
}

// True when `c` is written as \xNN: it could end the line, leave the quotes or be misread.
bool escaped(unsigned char c, bool blanks)
{
    return c < 0x20 || c > 0x7e || c == '"' || c == '\\' || (blanks && c == ' ');
}

size_t escaped_size(std::string_view text, bool blanks)
{
    size_t size = 0;
    for (char c : text)
        size += escaped(static_cast<unsigned char>(c), blanks) ? ESCAPED_SIZE : 1;
    return size;
}

// Appends pieces to an area known to be large enough.
struct line_writer {
    char* at;

    void add(std::string_view text)
    {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
    }
    void add_escaped(std::string_view text, bool blanks)
    {
        constexpr char digits[] = "0123456789ABCDEF";
        for (char c : text) {
            auto byte = static_cast<unsigned char>(c);
            if (!escaped(byte, blanks)) {
                *at++ = c;
                continue;
            }
            *at++ = '\\';
            *at++ = 'x';
            *at++ = digits[byte >> 4];
            *at++ = digits[byte & 0xF];
        }
    }
};

// Hands `line` to the descriptor in one call; reports the first failure of `log`.
void write_line(access_log_record* log, const char* line, size_t size)
{
    ssize_t written;
    do {
        written = ::write(log->fd, line, size);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(size) || log->failed)
        return;
    log->failed = 1;
    char text[256];
    const char* cause =
        written < 0 ? ::strerror_r(errno, text, sizeof(text)) : "the line was cut short";
    report_text("access_log_write", 13784, fault::none, "could not write the access log: %s\n",
                cause);
}

} // namespace

int access_log_set(access_log_record* log, const char* path)
{
    clear_errors();
    if (path == nullptr) {
        access_log_close(log);
        return 0;
    }
    access_log_record next{STDERR_FILENO, 1, 0, 0};
    if (std::strcmp(path, "-") == 0) {
        if (::fcntl(STDERR_FILENO, F_GETFL) == -1) {
            report_text("quorvel_obj_set:: quorvel_attrib_access_log", 18116, fault::no_access,
                        "standard error is closed, no access log written there\n");
            errno = EBADF;
            return -1;
        }
    } else {
        // Not blocking: a FIFO without a reader is refused rather than holding the caller.
        int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                        LOG_FILE_MODE);
        int flags = fd != -1 ? ::fcntl(fd, F_GETFL) : -1;
        if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
            int error = errno;
            if (fd != -1)
                ::close(fd);
            char text[256];
            char shown[PATH_MAX];
            report_text("quorvel_obj_set:: quorvel_attrib_access_log", 18118, fault::no_access,
                        "access log %s could not be opened: %s\n",
                        log_safe(path, shown, sizeof(shown)),
                        ::strerror_r(error, text, sizeof(text)));
            // The host may want to say why.
            errno = error;
            return -1;
        }
        next.fd = fd;
        next.owned = 1;
    }
    access_log_close(log);
    *log = next;
    return 0;
}

void access_log_close(access_log_record* log)
{
    if (log == nullptr)
        return;
    if (log->on && log->owned) {
        errno_saver keep;
        ::close(log->fd);
    }
    *log = access_log_record{-1, 0, 0, 0};
}

access_log_record access_log_share(const access_log_record& log)
{
    return access_log_record{log.fd, log.on, 0, 0};
}

char* access_log_keep_line(const char* text, size_t size)
{
    if (text == nullptr)
        return nullptr;
    size_t length = 0;
    size_t limit = size < ACCESS_LOG_REQUEST_MAX ? size : ACCESS_LOG_REQUEST_MAX;
    while (length < limit && text[length] != '\r' && text[length] != '\n' && text[length] != '\0')
        ++length;
    if (length == 0)
        return nullptr;
    auto* line = static_cast<char*>(mem_alloc_uncleared(static_cast<uint32_t>(length + 1)));
    if (line == nullptr)
        return nullptr;
    std::memcpy(line, text, length);
    line[length] = '\0';
    return line;
}

void access_log_format(const request_data* request, access_log_line* line)
{
    line->text = nullptr;
    line->size = 0;
    if (request == nullptr || request->answer_code == 0)
        return;
    std::string_view host =
        request->sock != nullptr && request->sock->peer[0] != '\0' ? request->sock->peer : "-";
    std::string_view user = request->user != nullptr && request->user[0] != '\0'
                                ? std::string_view(request->user)
                                : std::string_view();
    std::string_view request_line =
        request->request_line != nullptr ? std::string_view(request->request_line) : "-";
    char tail[48];
    int tail_length =
        request->body_bytes != 0
            ? std::snprintf(tail, sizeof(tail), "\" %03u %llu\n", unsigned{request->answer_code},
                            static_cast<unsigned long long>(request->body_bytes))
            : std::snprintf(tail, sizeof(tail), "\" %03u -\n", unsigned{request->answer_code});
    if (tail_length < 0 || static_cast<size_t>(tail_length) >= sizeof(tail))
        return;
    std::string_view date = log_date();

    size_t size = host.size() + 3 + (user.empty() ? 1 : escaped_size(user, true)) + 2 +
                  date.size() + 3 + escaped_size(request_line, false) +
                  static_cast<size_t>(tail_length);
    char* text = line->area;
    if (size > sizeof(line->area)) {
        text = static_cast<char*>(mem_alloc_uncleared(static_cast<uint32_t>(size)));
        if (text == nullptr)
            return;
    }
    line_writer out{text};
    out.add(host);
    out.add(" - ");
    if (user.empty())
        out.add("-");
    else
        out.add_escaped(user, true);
    out.add(" [");
    out.add(date);
    out.add("] \"");
    out.add_escaped(request_line, false);
    out.add(std::string_view(tail, static_cast<size_t>(tail_length)));
    line->text = text;
    line->size = static_cast<size_t>(out.at - text);
}

void access_log_emit(access_log_record* log, access_log_line* line)
{
    if (line->text == nullptr)
        return;
    if (log != nullptr && log->on)
        write_line(log, line->text, line->size);
    if (line->text != line->area)
        mem_free(line->text);
    line->text = nullptr;
    line->size = 0;
}

} // namespace quorvel
