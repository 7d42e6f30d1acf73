// The output of host functions. On a connection, everything is appended to the request's page
// buffer; in direct mode (every mapped function and MIME handler) the printf calls then send the
// buffer, so bytes reach the client in the order of the calls. The last line of the header is
// held back until the first bytes of the page leave, so response attributes set before that go
// with it. On a stream, output goes to the socket, text as frames.
#include "http/output.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/strings.h"
#include "http/request.h"
#include "net/file_stream.h"
#include "net/frame.h"
#include "net/socket_io.h"
#include "net/uuencode.h"
#include "platform/files.h"
#include "quorvel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>

namespace quorvel {

namespace {

// Growth step of the page buffer.
constexpr uint32_t PAGE_STEP = 512;
// Escaped text is gathered in an area of this size before it is pushed.
constexpr size_t ESCAPE_AREA = 1024;

bool kept_in_html(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != 0 && std::strchr("/*+-# \\\n\t\r", c) != nullptr;
}

// The page buffer, made on first use.
buffer** page(request_data* request)
{
    if (request->out == nullptr)
        request->out = buffer_create(PAGE_STEP);
    return request->out != nullptr ? &request->out : nullptr;
}

int push(request_data* request, const void* data, uint32_t length)
{
    buffer** out = page(request);
    return out == nullptr ? -1 : buffer_push(out, data, length, PAGE_STEP);
}

} // namespace

int request_send_page(request_data* request)
{
    int rc = request_end_header(request);
    buffer* out = request->out;
    if (out != nullptr && out->data != nullptr && out->write_pos > out->data) {
        auto held = static_cast<uint32_t>(out->write_pos - out->data);
        // A HEAD answer ends with its header: the page is dropped.
        if (rc == 0 && !request_is_head(request)) {
            if (socket_snd(request->sock, out->data, held) < 0)
                rc = -1;
            else
                request->body_bytes += held;
        }
        buffer_clr(out);
    }
    return rc;
}

const char* html_escape(unsigned char c, char (&out)[HTML_ESCAPE_SIZE])
{
    out[0] = '\0';
    if (kept_in_html(c))
        return nullptr;
    std::snprintf(out, sizeof(out), "&#%u;", static_cast<unsigned>(c));
    return out;
}

void debug_attributes(const request_data* request, int id)
{
    if (!debug_enabled() || request->attributes == nullptr)
        return;
    constexpr std::string_view cookie = "Set-Cookie:";
    constexpr std::string_view hidden = " (hidden)\r\n";
    std::string_view rest = request->attributes;
    // Room for every line written in full or in the hidden form, whichever is longer.
    size_t lines = 1 + static_cast<size_t>(std::count(rest.begin(), rest.end(), '\n'));
    size_t room = rest.size() + lines * (cookie.size() + hidden.size()) + 1;
    auto* shown = static_cast<char*>(mem_alloc_uncleared(static_cast<uint32_t>(room)));
    if (shown == nullptr)
        return;
    char* out = shown;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end == rest.npos ? rest.size() : end + 1);
        rest.remove_prefix(line.size());
        bool secret = line.size() >= cookie.size() &&
                      ::strncasecmp(line.data(), cookie.data(), cookie.size()) == 0;
        if (secret) {
            std::memcpy(out, cookie.data(), cookie.size());
            out += cookie.size();
            line = hidden;
        }
        std::memcpy(out, line.data(), line.size());
        out += line.size();
    }
    *out = '\0';
    debug("http_responce", id, "\tsent attributes:\n%s", shown);
    mem_free(shown);
}

int request_end_header(request_data* request)
{
    if (request->header != HEADER_HELD)
        return 0;
    request->header = HEADER_SENT;
    // A Content-Type line the producer set replaces the type of the mapping.
    const char* attributes = request->attributes;
    bool typed = attributes != nullptr && (::strncasecmp(attributes, "Content-Type:", 13) == 0 ||
                                           ::strcasestr(attributes, "\nContent-Type:") != nullptr);
    if (!typed) {
        const char* type = request_content_type(request);
        if (socket_snd(request->sock, "Content-Type: ", 14) < 0 ||
            socket_snd(request->sock, type, static_cast<uint32_t>(std::strlen(type))) < 0 ||
            socket_snd(request->sock, "\r\n", 2) < 0)
            return -1;
    }
    if (request->attributes != nullptr) {
        debug_attributes(request, 15176);
        auto length = static_cast<uint32_t>(std::strlen(request->attributes));
        if (socket_snd(request->sock, request->attributes, length) < 0)
            return -1;
    }
    return socket_snd(request->sock, "\r\n", 2) < 0 ? -1 : 0;
}

int request_put(request_data* request, const void* data, uint32_t length)
{
    return push(request, data, length);
}

int request_putf(request_data* request, const void* data, uint32_t length)
{
    uint32_t header = htonl(length);
    if (push(request, &header, sizeof(header)) < 0)
        return -1;
    return push(request, data, length);
}

int request_vprintf(request_data* request, const char* format, va_list args)
{
    if (buffer_vprintf(&request->out, format, args) != 0)
        return -1;
    return request->direct ? request_send_page(request) : 0;
}

int request_vuprintf(request_data* request, const char* format, va_list args)
{
    char* text = nullptr;
    if (str_vprintf(&text, format, args) != 0)
        return -1;
    char area[ESCAPE_AREA];
    size_t used = 0;
    int rc = 0;
    for (const char* p = text; rc >= 0 && *p != '\0'; ++p) {
        char escaped[HTML_ESCAPE_SIZE];
        const char* piece = html_escape(static_cast<unsigned char>(*p), escaped);
        size_t n = piece != nullptr ? std::strlen(piece) : 1;
        if (used + n > sizeof(area)) {
            rc = push(request, area, static_cast<uint32_t>(used));
            used = 0;
        }
        std::memcpy(area + used, piece != nullptr ? piece : p, n);
        used += n;
    }
    if (rc >= 0 && used > 0)
        rc = push(request, area, static_cast<uint32_t>(used));
    mem_free(text);
    if (rc < 0)
        return -1;
    return request->direct ? request_send_page(request) : 0;
}

int request_file_stream(request_data* request, const char* path, int flags)
{
    if (request_send_page(request) != 0)
        return -1;
    clear_errors();
    if (path == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    // Opened once: its size is what the answer's body counts (the HTML-safe form is longer),
    // and a HEAD answer needs nothing more.
    struct stat status {};
    fd_guard file(open_regular(path, &status));
    if (file.get() == -1)
        return -1;
    if (request_is_head(request))
        return 0;
    auto size = static_cast<uint64_t>(status.st_size);
    int rc = (flags & QUORVEL_STREAM_ENCODE) ? socket_uuencode_fd(request->sock, file.get())
                                             : socket_streamfd(request->sock, file.get(), size);
    if (rc == 0)
        request->body_bytes += size;
    return rc;
}

int stream_vprintf(socket* s, const char* format, va_list args)
{
    char* text = nullptr;
    if (str_vprintf(&text, format, args) != 0)
        return -1;
    int rc = socket_putf(s, text, static_cast<uint32_t>(std::strlen(text)));
    mem_free(text);
    return rc < 0 ? -1 : 0;
}

int stream_vuprintf(socket* s, const char* format, va_list args)
{
    char* text = nullptr;
    if (str_vprintf(&text, format, args) != 0)
        return -1;
    int rc = 0;
    // One frame per character of the text, escaped or not.
    for (const char* p = text; rc >= 0 && *p != '\0'; ++p) {
        char escaped[HTML_ESCAPE_SIZE];
        const char* piece = html_escape(static_cast<unsigned char>(*p), escaped);
        rc = piece != nullptr ? socket_putf(s, piece, static_cast<uint32_t>(std::strlen(piece)))
                              : socket_putf(s, p, 1);
    }
    mem_free(text);
    return rc < 0 ? -1 : 0;
}

} // namespace quorvel
