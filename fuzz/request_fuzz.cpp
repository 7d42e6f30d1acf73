// libFuzzer driver for one HTTP exchange: the input is everything a client sends on one
// connection. It reaches the library over a socket pair and takes the steps a connection
// handler takes (read and parse, resolve against a small fixed tree, answer, release), with
// no listener and no handler thread. Besides the sanitizers, every answer is checked for what
// no request may get: a reply that is not HTTP, a body that disagrees with its Content-Length
// or follows a HEAD, the bytes of a file outside the root or of the access rules, and a guarded
// file for a request without credentials.
#include "api/envelope.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/response.h"
#include "http/server.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using fuzz::connection;
using fuzz::write_file;

// Longer inputs are ignored: the whole input must fit in the socket pair's buffer before the
// library starts reading, and the head limit below is well within it.
constexpr size_t INPUT_LIMIT = 96 * 1024;
// A smaller handler heap than the default brings the head limit (a quarter of it), the body
// limit (the pool) and the pool's fallback to the general allocator within reach of inputs of
// a few kilobytes.
constexpr int32_t HANDLER_HEAP = 32768;
// How long the peer waits for the end of one answer; an answer needs milliseconds.
constexpr int DRAIN_LIMIT_MS = 20000;

// Texts no answer may carry: a file beside the root, the password file's hashes and the
// access files. Each holds a byte the callbacks' escaped output never writes as it is, so
// echoing a request cannot produce one.
constexpr std::string_view OUTSIDE_CANARY = "<outside the root: never served>";
constexpr std::string_view RULES_CANARY = "<access rules: never served>";
constexpr std::string_view BCRYPT_HASH =
    "$2y$05$JBFCktLBPCBFGTb8U3OGOujpSQP4iwvTafRaXwB6oAYOvU2URPSoS";
constexpr std::string_view APR1_HASH = "$apr1$9tUzEiGD$U04lIm/MPi2YJyBYS0FXc/";
// In every guarded file and stored text: a request without an Authorization header never gets
// it.
constexpr std::string_view GUARDED_CANARY = "<guarded: only with credentials>";

// Connection buffer sizes and peer addresses, picked by the input's length so that refills and
// growth of a duplicate's inline buffer and the address rules are covered too (0 is the default
// size; the guarded directory admits 127.0 and refuses 10.1).
constexpr int32_t BUFFER_SIZES[] = {0, 4096, 64, 7};
constexpr const char* PEERS[] = {"127.0.0.1", "::ffff:127.0.0.1", "10.1.2.3", "::1", "127.0.0.10"};

std::string temp_root;
// QUORVEL_FUZZ_SHOW set: each reply's status line goes to standard error, to see what the
// seeds reach.
bool show_status = false;
envelope* error_log = nullptr;
envelope* server = nullptr;
quorvel::server_record* copy = nullptr;

[[noreturn]] void fail(const char* what, std::string_view reply)
{
    std::fprintf(stderr, "request_fuzz: %s\n--- reply (%zu bytes) ---\n%.*s\n", what, reply.size(),
                 static_cast<int>(std::min<size_t>(reply.size(), 4096)), reply.data());
    std::abort();
}

// A mapped function that reads what a host reads (a header, a cookie, a POST variable, the
// path) and writes a page. Client text goes out only through the escaping call.
char* app_fn(envelope* request, envelope* out)
{
    char agent[64] = {};
    char cookie[32] = {};
    char name[64] = {};
    char path[128] = {};
    char query[32] = {};
    int agent_rc = quorvel_obj_get(request, quorvel_attrib_header, "User-Agent", agent,
                                   static_cast<int>(sizeof(agent)));
    int cookie_rc = quorvel_obj_get(request, quorvel_attrib_cookie, "session", cookie,
                                    static_cast<int>(sizeof(cookie)));
    int name_rc =
        quorvel_obj_get(request, quorvel_attrib_post, "name", name, static_cast<int>(sizeof(name)));
    int path_rc =
        quorvel_obj_get(request, quorvel_attrib_uri, path, static_cast<int>(sizeof(path)));
    int query_rc = quorvel_obj_get(request, quorvel_attrib_header, "QUERY", query,
                                   static_cast<int>(sizeof(query)));
    if (query_rc == 0 && std::strcmp(query, "fail") == 0)
        return quorvel_make_return_value("the application <failed>");
    quorvel_obj_set(out, quorvel_attrib_header, "X-App", "fuzz");
    if (cookie_rc == 0)
        quorvel_obj_set(out, quorvel_attrib_cookie, "seen", "1", static_cast<const char*>(nullptr),
                        0, 60);
    quorvel_printf(out, "<p>agent %d, cookie %d (%zu), name %d, path %d (%zu)</p>\n", agent_rc,
                   cookie_rc, std::strlen(cookie), name_rc, path_rc, std::strlen(path));
    quorvel_uprintf(out, "%s|%s|%s", agent, name, path);
    return nullptr;
}

// A MIME handler: its target is a file's path, or the bytes of stored content.
char* template_fn(envelope* request, envelope* out, const char* target)
{
    char path[64] = {};
    int path_rc =
        quorvel_obj_get(request, quorvel_attrib_local_url, path, static_cast<int>(sizeof(path)));
    quorvel_printf(out, "template of %zu bytes, local path %d\n", std::strlen(target), path_rc);
    return nullptr;
}

// The tree: files of several types, a listed directory with odd names, a directory guarded by
// a password file (plain, bcrypt and MD5 lines) and one by a group rule and address rules,
// with the password and group files and a canary beside the root.
void make_tree()
{
    fs::path top = temp_root;
    fs::path root = top / "www";
    write_file(top / "outside.txt", OUTSIDE_CANARY);
    std::string users = "alice:alice-pass\nbob:" + std::string(BCRYPT_HASH) +
                        "\ncarol:" + std::string(APR1_HASH) +
                        "\ndave:{SHA}Rk8EZZSgaC8Lg9gMzmKK/Ks/VjA=\n";
    write_file(top / "auth" / "passwd", users);
    write_file(top / "auth" / "groups", "staff: alice carol\nadmins: bob\n");

    write_file(root / "index.html", "<html><body>index</body></html>\n");
    write_file(root / "a.txt", "line one\r\nline two\n");
    write_file(root / "data.bin", std::string("\x00\x01\x02\xff binary\x00", 12));
    write_file(root / "noext", "plain text without an extension\n");
    write_file(root / "page.tpl", "template text\n");
    write_file(root / "notes.md", "# notes\n");
    write_file(root / "docs" / "readme.txt", "read me\n");
    write_file(root / "docs" / "a b&<c>.txt", "odd name\n");
    write_file(root / "docs" / "sub" / "deep.html", "<p>deep</p>\n");
    fs::create_directories(root / "docs" / "empty");

    std::string rules = "# " + std::string(RULES_CANARY) + "\nAuthType Basic\nAuthUserFile " +
                        (top / "auth" / "passwd").string() + "\nrequire valid-user\n";
    write_file(root / "private" / ".htaccess", rules);
    write_file(root / "private" / "secret.txt", std::string(GUARDED_CANARY) + " private\n");
    write_file(root / "private" / "inner" / "deeper.txt",
               std::string(GUARDED_CANARY) + " deeper\n");
    std::string staff = "# " + std::string(RULES_CANARY) + "\nAuthUserFile " +
                        (top / "auth" / "passwd").string() + "\nAuthGroupFile " +
                        (top / "auth" / "groups").string() +
                        "\nRequire group staff\nallow from 127.0\ndeny from 10.1\n";
    write_file(root / "staff" / ".htaccess", staff);
    write_file(root / "staff" / "report.txt", std::string(GUARDED_CANARY) + " staff\n");
}

// The server record configured through the public calls, never started, and the handler's
// copy of it.
void make_server()
{
    const char* log_name = std::getenv("QUORVEL_FUZZ_LOG");
    // The first log made receives the error lines: /dev/null unless asked for.
    error_log = quorvel_obj_create(quorvel_obj_log, log_name != nullptr ? log_name : "/dev/null");
    quorvel_init();
    // Debug lines write client text too, so they are part of what is tried.
    quorvel_debug(1);
    quorvel_obj_set(quorvel_get_sys(), quorvel_attrib_threadheap, HANDLER_HEAP);

    std::string root = temp_root + "/www";
    server = quorvel_obj_create(quorvel_obj_server, 1u, root.c_str());
    if (server == nullptr) {
        std::fprintf(stderr, "request_fuzz: cannot create the server on %s\n", root.c_str());
        std::abort();
    }
    quorvel_obj_set(server, quorvel_attrib_dirlist, 1);
    quorvel_obj_set(server, quorvel_attrib_mime, "tpl", "text/x-template", QUORVEL_ENC_TEXT,
                    template_fn);
    quorvel_obj_set(server, quorvel_attrib_mime, "md", "text/markdown", QUORVEL_ENC_TEXT,
                    static_cast<quorvel_mime_fn>(nullptr));
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/app", QUORVEL_ENC_TEXT, app_fn);
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_POST, "/app", QUORVEL_ENC_TEXT, app_fn);
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/cgi/*", QUORVEL_ENC_BINARY, app_fn);
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/private/app", QUORVEL_ENC_TEXT,
                    app_fn);
    quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/hello.txt",
                    "hello from memory\n", 2);
    quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/stored.tpl",
                    "stored template\n", 2);
    std::string guarded = std::string(GUARDED_CANARY) + " stored\n";
    quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/private/stored.txt",
                    guarded.c_str(), 2);

    // As a handler does: the copy comes from the general allocator, before the thread heap.
    copy = quorvel::httpsrv_copy(static_cast<quorvel::server_record*>(server->object));
    if (copy == nullptr)
        std::abort();
}

// The client's side: everything the server sends until it closes, bounded in time.
std::string drain(int fd)
{
    std::string got;
    char chunk[65536];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(DRAIN_LIMIT_MS);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// The client's side runs on one thread for the whole process, handed each connection's peer
// end in turn: a thread per input would be simpler, but the sanitizer runtime keeps a record
// of every thread ever started.
class client_thread {
public:
    client_thread() : thread_([this] { run(); }) {}
    ~client_thread()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    client_thread(const client_thread&) = delete;
    client_thread& operator=(const client_thread&) = delete;

    // Starts reading the reply on `fd`.
    void start(int fd)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            fd_ = fd;
            done_ = false;
        }
        changed_.notify_all();
    }
    // The reply, once the server closed the connection (or the drain gave up); aborts when
    // even that does not come, since the next input would find the reader busy.
    std::string finish()
    {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, std::chrono::milliseconds(DRAIN_LIMIT_MS + 5000),
                               [this] { return done_; }))
            std::abort();
        return std::move(reply_);
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            changed_.wait(hold, [this] { return stop_ || fd_ != -1; });
            if (stop_)
                return;
            int fd = fd_;
            fd_ = -1;
            hold.unlock();
            std::string got = drain(fd);
            hold.lock();
            reply_ = std::move(got);
            done_ = true;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    int fd_ = -1;
    bool done_ = false;
    bool stop_ = false;
    std::string reply_;
    std::thread thread_; // last: it starts once the members it uses are made
};

client_thread* client = nullptr;

// At exit, so that the leak checker sees only what inputs left behind.
void clean_up()
{
    delete client;
    client = nullptr;
    quorvel::thread_heap_detach();
    quorvel::httpsrv_destroy(&copy);
    quorvel_obj_destroy(server);
    quorvel_obj_destroy(error_log);
    std::error_code ignored;
    if (!temp_root.empty())
        fs::remove_all(temp_root, ignored);
}

// Whether the request names the Authorization header, in any case, anywhere: without it no
// credentials can have been checked.
bool mentions_authorization(std::string_view input)
{
    constexpr std::string_view name = "authorization";
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (size_t at = 0; at + name.size() <= input.size(); ++at) {
        size_t i = 0;
        while (i < name.size() && lower(input[at + i]) == name[i])
            ++i;
        if (i == name.size())
            return true;
    }
    return false;
}

void check_secrets(std::string_view reply, std::string_view input)
{
    for (std::string_view secret : {OUTSIDE_CANARY, RULES_CANARY, BCRYPT_HASH, APR1_HASH})
        if (reply.find(secret) != std::string_view::npos)
            fail("a protected text was served", reply);
    if (reply.find(GUARDED_CANARY) != std::string_view::npos && !mentions_authorization(input))
        fail("a guarded text was served without credentials", reply);
}

void check_reply(std::string_view reply, bool head_method)
{
    if (!reply.starts_with("HTTP/1.0 ") || reply.size() < 12 || reply[9] < '1' || reply[9] > '5')
        fail("the reply does not open with a status line", reply);
    size_t end = reply.find("\r\n\r\n");
    if (end == std::string_view::npos)
        fail("the reply's header does not end", reply);
    std::string_view head = reply.substr(0, end + 2);
    std::string_view body = reply.substr(end + 4);
    if (head_method && !body.empty())
        fail("a HEAD answer carries a body", reply);
    constexpr std::string_view length_line = "\r\nContent-Length: ";
    size_t at = head.find(length_line);
    if (at == std::string_view::npos || head_method)
        return;
    uint64_t length = 0;
    for (size_t i = at + length_line.size(); i < head.size() && head[i] >= '0' && head[i] <= '9';
         ++i)
        length = length * 10 + static_cast<uint64_t>(head[i] - '0');
    if (length != body.size())
        fail("the body's length differs from its Content-Length", reply);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    temp_root = fuzz::make_temp_root("fuzz");
    show_status = std::getenv("QUORVEL_FUZZ_SHOW") != nullptr;
    std::atexit(clean_up);
    make_tree();
    make_server();
    quorvel::socket_block_sigpipe();
    client = new client_thread;
    if (quorvel::thread_heap_attach(static_cast<uint32_t>(quorvel::handler_heap_size())) != 0)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INPUT_LIMIT)
        return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    int peer = fds[1];
    // The whole request waits on the connection, ended by the client's half-close.
    size_t sent = 0;
    for (int tries = 0; sent < size && tries < 64; ++tries) {
        ssize_t n = ::send(peer, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(peer, SHUT_WR);
    client->start(peer);

    quorvel::socket* sock = connection(fds[0], BUFFER_SIZES[size % std::size(BUFFER_SIZES)],
                                       PEERS[size / 4 % std::size(PEERS)]);
    if (sock == nullptr)
        std::abort();
    sock->deadline_ms =
        quorvel::monotonic_ms() + int64_t{quorvel::request_timeout_seconds()} * 1000;
    // The steps of a handler's exchange: read, resolve unless refused already, answer, release.
    quorvel::request_data* request =
        quorvel::http_request(copy, sock, quorvel::handler_heap_size() / 4);
    // A connection that ended before the whole request arrived (a body shorter than its
    // Content-Length) has failed: nothing can be sent on it any more.
    bool answered = request != nullptr && !(request->sock->flags & SOCK_FAILED);
    bool head_method = false;
    if (request != nullptr) {
        if ((request->flags & quorvel::REQUEST_FAILED) == 0)
            quorvel::map_uri(request, request->path);
        head_method = request->flags & quorvel::REQUEST_HEAD;
        quorvel::http_responce(request);
        quorvel::socket* s = request->sock;
        if (s != nullptr && !(s->flags & SOCK_FAILED))
            quorvel::socket_flush(s);
        quorvel::request_destroy(&request);
    } else {
        if (!(sock->flags & SOCK_FAILED))
            quorvel::socket_flush(sock);
        quorvel::socket_destroy(&sock);
    }
    std::string reply = client->finish();
    ::close(peer);
    if (quorvel::heap_record* heap = quorvel::thread_heap_current(); heap != nullptr)
        quorvel::heap_reset(heap);

    if (show_status)
        std::fprintf(stderr, "request_fuzz: %.*s\n",
                     static_cast<int>(std::min(reply.find('\r'), reply.size())), reply.data());
    check_secrets(reply, std::string_view(reinterpret_cast<const char*>(data), size));
    if (answered)
        check_reply(reply, head_method);
    else if (!reply.empty())
        fail("a connection that failed or was not read got a reply", reply);
    return 0;
}
