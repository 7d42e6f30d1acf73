// The answer to one request. The status line and header lines are gathered in a stack area
// and handed to the connection's send buffer in one piece, so on the file path they leave in
// one send right before the body and nothing is allocated.
#include "http/response.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "http/date.h"
#include "http/dirlist.h"
#include "http/host_call.h"
#include "http/output.h"
#include "http/request.h"
#include "http/server.h"
#include "http/ssi.h"
#include "http/status.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/files.h"
#include "quorvel.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr std::string_view internal_error_head =
    "<HTML><HEAD>\r\n<TITLE>500 Internal Server Error</TITLE>\r\n</HEAD><BODY>\r\n"
    "<H1>Internal Error</H1><font color=\"#C43100\">\r\n";
constexpr std::string_view internal_error_tail = "\r\n</font>";
constexpr std::string_view basic_challenge =
    "WWW-Authenticate: Basic realm=\"File Download Authorization\"\r\n";
// A 405 answer names the methods the server knows.
constexpr std::string_view allowed_methods = "Allow: GET, HEAD, POST\r\n";
constexpr std::string_view server_line = "Server: Quorvel/1.0\r\n";
constexpr std::string_view connection_close = "Connection: close\r\n\r\n";
constexpr std::string_view not_modified_line = "HTTP/1.0 304 Not modified\r\n";
constexpr char no_function[] = "URL mapped function is NULL";

// Pieces of the answer's head, gathered on the stack and handed to socket_snd in one call
// when the head is complete (or when the area fills). `result` is that of the last send.
class head_builder {
public:
    explicit head_builder(socket* s) : sock_(s) {}

    void add(std::string_view text)
    {
        if (failed() || text.empty())
            return;
        if (text.size() > sizeof(area_) - used_) {
            send_area();
            if (text.size() >= sizeof(area_)) {
                send(text);
                return;
            }
        }
        std::memcpy(area_ + used_, text.data(), text.size());
        used_ += text.size();
    }
    // "name" value "\r\n"
    void line(std::string_view name, std::string_view value)
    {
        add(name);
        add(value);
        add("\r\n");
    }
    void content_length(uint64_t length)
    {
        char text[80];
        int n = std::snprintf(text, sizeof(text), "Content-Length: %llu\r\n",
                              static_cast<unsigned long long>(length));
        add(std::string_view(text, static_cast<size_t>(n)));
    }
    void date(const char* name)
    {
        char now[HTTP_DATE_SIZE];
        if (format_http_now(now, sizeof(now)) != nullptr)
            line(name, now);
    }
    // Sends what is gathered: the result of the last send, or -1 once one failed.
    int finish()
    {
        send_area();
        return result_;
    }
    // Sends `text` after what is gathered.
    void send(std::string_view text)
    {
        send_area();
        for (size_t done = 0; !failed() && done < text.size();) {
            // socket_snd takes at most INT32_MAX bytes at a time.
            auto chunk = static_cast<uint32_t>(std::min<size_t>(text.size() - done, 1u << 30));
            result_ = socket_snd(sock_, text.data() + done, chunk);
            done += chunk;
        }
    }
    bool failed() const { return result_ < 0; }

private:
    void send_area()
    {
        if (used_ > 0 && !failed())
            result_ = socket_snd(sock_, area_, static_cast<uint32_t>(used_));
        used_ = 0;
    }

    socket* sock_;
    size_t used_ = 0;
    int result_ = 0;
    char area_[1024];
};

// The status code at the start of a status line ("404 File not found": 404).
uint16_t status_code(std::string_view line)
{
    uint16_t code = 0;
    for (size_t i = 0; i < 3 && i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i)
        code = static_cast<uint16_t>(code * 10 + (line[i] - '0'));
    return code;
}

// The status line, Date and Server of the answer with status `index`, which the request
// records as the answer's status.
void status_lines(request_data* request, head_builder& head, uint32_t index)
{
    std::string_view line = status_line(index);
    request->answer_code = status_code(line);
    request->body_bytes = 0;
    head.add("HTTP/1.0 ");
    if (debug_enabled()) {
        debug("http_responce", 14886, "\tsent \"HTTP/1.0 %.*s\"\n", static_cast<int>(line.size()),
              line.data());
    }
    head.add(line);
    head.add("\r\n");
    head.date("Date: ");
    head.add(server_line);
}

// The status page of `index` or the internal-error page with `message`, as send_error_page
// and a failed request send it.
int write_error(request_data* request, uint32_t index, const char* message)
{
    if (message != nullptr || index >= STATUS_COUNT)
        index = STATUS_INTERNAL;
    std::string_view page = message != nullptr ? internal_error_head : status_page(index);
    std::string_view text = message != nullptr ? std::string_view(message) : std::string_view();
    std::string_view tail = message != nullptr ? internal_error_tail : std::string_view();
    head_builder head(request->sock);
    status_lines(request, head, index);
    if (index == STATUS_AUTH_REQUIRED)
        head.add(basic_challenge);
    else if (index == STATUS_METHOD_NOT_ALLOWED)
        head.add(allowed_methods);
    head.add("Content-Type: text/html\r\n");
    head.content_length(page.size() + text.size() + tail.size() + RESPONSE_FOOTER.size());
    head.add(connection_close);
    if (!request_is_head(request)) {
        head.add(page);
        head.send(text);
        head.add(tail);
        head.send(RESPONSE_FOOTER);
        request->body_bytes = page.size() + text.size() + tail.size() + RESPONSE_FOOTER.size();
    }
    return head.finish();
}

// Answers with 304 when the client's copy of the file, last modified at `file_time`, is
// current: 1 when it did, 0 when the answer is still to be written, -1 for a failed send.
int answer_not_modified(request_data* request, const struct tm& file_time)
{
    if (request->headers == nullptr)
        return 0;
    const auto* since =
        static_cast<const char*>(htable_getref(request->headers, "IF-MODIFIED-SINCE", 17, nullptr));
    if (since == nullptr || is_not_modified(&file_time, since) == 0)
        return 0;
    head_builder head(request->sock);
    head.add(not_modified_line);
    request->answer_code = 304;
    request->body_bytes = 0;
    debug("http_responce", 14841, "\tfile not modified, sent \"%s\"",
          "HTTP/1.0 304 Not modified\r\n");
    head.date("Date: ");
    head.add(server_line);
    head.add("\r\n");
    return head.finish() < 0 ? -1 : 1;
}

// A mapped function or MIME handler writes the page itself. The header goes into the send
// buffer first, up to its Content-Type line: that line, the response attributes the producer
// sets and the empty line follow before its first output leaves (or when it returns), and the
// page is exactly the bytes the producer wrote. For HEAD the producer runs all the same, so
// the header carries what it sets, and its page is dropped (output.h).
int answer_direct(request_data* request)
{
    head_builder head(request->sock);
    status_lines(request, head, request->status);
    if (head.finish() < 0)
        return -1;
    request->header = HEADER_HELD;

    char* error = nullptr;
    bool from_host = true;
    bool function = request->kind == KIND_FUNCTION;
    if (function) {
        const auto* uri = static_cast<const uri_record*>(request->target);
        if (uri == nullptr || uri->callback == nullptr) {
            error = const_cast<char*>(no_function);
            from_host = false;
        } else {
            error = host_call_uri(uri->callback, request);
        }
    } else {
        error = host_call_mime(request->mime->handler, request,
                               static_cast<const char*>(request->target));
    }
    if (error != nullptr) {
        int sent = send_error_page(request, 0, error);
        if (from_host)
            mem_free(error);
        return function && sent >= 0 ? 0 : -1;
    }
    // The body ends with the producer's bytes: the connection's close marks its end.
    if (request_send_page(request) != 0)
        return -1;
    return socket_flush(request->sock) == 0 ? 0 : -1;
}

// True when stored content is an HTML page to run through server-side includes.
bool builds_page(const request_data* request)
{
    return request->server != nullptr && (request->server->flags & SERVER_SSI) != 0 &&
           request->mime != nullptr && request->mime->content_type != nullptr &&
           std::strcmp(request->mime->content_type, "text/html") == 0;
}

// Content stored in the server for the path, sent byte for byte, or as the page that
// server-side includes build from it.
int answer_content(request_data* request)
{
    debug("http_responce", 15052, "\turl overloaded\n");
    if (request->target == nullptr)
        return send_error_page(request, 0, no_function) < 0 ? -1 : 0;
    std::string_view body(static_cast<const char*>(request->target), request->content_size);
    // A MIME handler that failed inside a page marks the request, yet the page built in its
    // place is answered as it stands.
    uint32_t status = request->status;
    bool built = builds_page(request);
    if (built) {
        // The stored bytes are only read, so the page is built from them where they are.
        auto* stored = static_cast<char*>(request->target);
        buffer source{0, request->content_size, stored, stored, stored + request->content_size};
        buffer_destroy(&request->out);
        int outcome = ssi_buildpage(request, &source, SSI_SOURCE_BUFFER);
        // An include that named nothing servable answers for the whole page; any other
        // failure leaves the error page in `out`.
        if (outcome != 0 && ((request->flags & REQUEST_FAILED) != 0 || request->out == nullptr)) {
            uint32_t index =
                (request->flags & REQUEST_FAILED) != 0 ? request->status : STATUS_INTERNAL;
            return send_error_page(request, index, nullptr) < 0 ? -1 : 0;
        }
        const buffer* out = request->out;
        body = out != nullptr && out->data != nullptr
                   ? std::string_view(out->data, static_cast<size_t>(out->write_pos - out->data))
                   : std::string_view();
    }
    head_builder head(request->sock);
    status_lines(request, head, status);
    head.line("Content-Type: ", request_content_type(request));
    debug("http_responce", 15150, "\tsent Content-Type: %s\r\n", request_content_type(request));
    head.content_length(body.size());
    debug("http_responce", 15158, "\tsent Content-Length: %zu\r\n", body.size());
    if (request->attributes != nullptr) {
        debug_attributes(request, 15176);
        head.add(request->attributes);
    }
    head.add(connection_close);
    if (head.finish() < 0)
        return -1;
    // The page leaves behind the head as the client takes it: stored bytes by reference (they
    // live as long as the handler's server copy, which outlives every connection it serves),
    // a page built here as a copy.
    if (request_is_head(request))
        return 0;
    request->body_bytes = body.size();
    if (socket_defer_bytes(request->sock, body.data(), body.size(), built) != 0)
        return -1;
    debug("http_responce", 15373, "returned with no errors\n");
    return 0;
}

// The handle resolution left open for the request (the record keeps closing it), described as
// resolution found it.
int resolved_file_status(const request_data* request, struct stat* status)
{
    status->st_mode = S_IFREG;
    status->st_size = static_cast<off_t>(request->file_size);
    status->st_mtime = static_cast<time_t>(request->file_mtime);
    return request->file_fd;
}

// A file or a directory listing; `status` is the resource's status read just before.
int answer_file(request_data* request, const struct stat& status, bool have_time, int file)
{
    bool directory = request->kind == KIND_DIRECTORY;
    if (directory)
        debug("http_responce", 15206, "\turl is directory\n");
    else
        debug("http_responce", 15202, "\turl is a file\n");
    head_builder head(request->sock);
    status_lines(request, head, request->status);
    head.line("Content-Type: ", request_content_type(request));
    debug("http_responce", 15214, "\tsent Content-Type: %s\r\n", request_content_type(request));
    bool cache_control = request->attributes != nullptr &&
                         std::strstr(request->attributes, "Cache-Control") != nullptr;
    // A listing changes whenever an entry does, which its directory's time does not tell: it
    // carries no date a cache could reuse it by.
    char date[HTTP_DATE_SIZE];
    if (have_time && !cache_control && !directory &&
        format_http_date(static_cast<int64_t>(status.st_mtime), date, sizeof(date)) != nullptr) {
        head.line("Last-Modified: ", date);
        debug("http_responce", 15264, "\tsent Last-Modified: %s\r\n", date);
    }
    // The size read just now, not the one from resolving, so the length matches what the
    // stream sends; empty files and directories go without a length.
    auto size = static_cast<uint64_t>(status.st_size);
    if (!directory && size != 0) {
        head.content_length(size);
        debug("http_responce", 15325, "\tsent Content-Length: %llu\r\n",
              static_cast<unsigned long long>(size));
    }
    if (request->attributes != nullptr) {
        debug_attributes(request, 15339);
        head.add(request->attributes);
    }
    head.add(connection_close);
    if (head.finish() < 0)
        return -1;
    if (request_is_head(request))
        return 0;
    // A file leaves behind the head as the client takes it; a listing is written as it is
    // made.
    const auto* path = static_cast<const char*>(request->target);
    if (!directory)
        request->body_bytes = size;
    int result =
        directory ? stream_http_dir(request, path) : socket_defer_file(request->sock, file, size);
    if (result < 0)
        return -1;
    debug("http_responce", 15373, "returned with no errors\n");
    return 0;
}

} // namespace

int http_responce(request_data* request)
{
    debug("http_responce", 14790, "responce header construct-->\n");
    clear_errors();
    if (request == nullptr || request->sock == nullptr) {
        report("http_responce", 14802, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    bool failed = (request->flags & REQUEST_FAILED) != 0;
    bool on_disk = request->kind == KIND_FILE || request->kind == KIND_DIRECTORY;

    struct stat status {};
    struct tm file_time {};
    bool have_time = false;
    // A file is opened here and its open handle described and sent, so the header always
    // matches the bytes that follow, whatever happens at the path meanwhile.
    fd_guard opened; // a file opened here, closed when the answer is done
    int file = -1;
    if (!failed && on_disk && request->target != nullptr) {
        debug("http_responce", 14826, "\tchecking cache...\n");
        const auto* path = static_cast<const char*>(request->target);
        bool found;
        if (request->kind != KIND_FILE) {
            found = ::stat(path, &status) == 0;
        } else {
            if (request->file_open) {
                file = resolved_file_status(request, &status);
            } else {
                opened.reset(open_regular(path, &status));
                file = opened.get();
                if (file == -1)
                    errno = 0;
            }
            found = file != -1;
        }
        if (!found) {
            // Gone since it was resolved: nothing has been promised yet, so say so.
            return send_error_page(request, STATUS_NOT_FOUND, nullptr) < 0 ? -1 : 0;
        }
        have_time = ::gmtime_r(&status.st_mtime, &file_time) != nullptr;
        // A listing is never "not modified": its entries change without its directory's time.
        if (have_time && request->kind == KIND_FILE) {
            int answered = answer_not_modified(request, file_time);
            if (answered != 0)
                return answered < 0 ? -1 : 0;
        }
    }

    request->direct = 0;
    if (request->kind == KIND_FUNCTION ||
        (request->mime != nullptr && request->mime->handler != nullptr &&
         request->no_mime_handler == 0))
        request->direct = 1;

    if (failed)
        return write_error(request, request->status, nullptr) < 0 ? -1 : 0;
    if (request->direct)
        return answer_direct(request);
    if (request->kind == KIND_CONTENT)
        return answer_content(request);
    if (on_disk && request->target != nullptr)
        return answer_file(request, status, have_time, file);
    // A record that names nothing it can answer with.
    return write_error(request, STATUS_INTERNAL, nullptr) < 0 ? -1 : 0;
}

int send_error_page(request_data* request, uint32_t index, const char* message)
{
    if (request == nullptr || request->sock == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    // What has not left yet is replaced by the error page.
    socket_discard(request->sock);
    return write_error(request, index, message);
}

} // namespace quorvel
