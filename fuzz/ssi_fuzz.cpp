// libFuzzer driver for the server-side include page builder: the input is the text of a page,
// built for one fixed request (a query and a few headers, read from a socket pair as a handler
// reads it) against a small fixed tree: files that include each other, one that includes
// itself, a pair that include each other through virtual=, a directory guarded by access
// rules, stored content, mapped functions and MIME handlers whose output holds directives.
// The page arrives as a buffer, as a text or as a file, picked by the input's length.
//
// No command may run from fuzz input: the driver defines popen itself, failing every call, so
// #exec goes through its parsing and then fails as when no pipe can be had; initialisation
// checks that the library's calls reach this definition. (The library has no switch for
// #exec, and refusing inputs that spell it would keep its parsing from being fuzzed.)
//
// Besides the sanitizers, every build is checked for what must always hold: the result is 0
// or -1; a failed build leaves only the error page, showing a line of the page itself; a page
// without directives comes out as it went in; a page built never exceeds the bound its
// directives allow (see page_bound); and no output carries the text of a file beside the root,
// of the access rules or of a password or group file. Those texts hold random marks made when
// the process starts, searched for by hash only, so the fuzzer can neither learn nor splice
// them.
#include "api/envelope.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/server.h"
#include "http/ssi.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "quorvel.h"
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using fuzz::write_file;

// Inputs longer than this are ignored: pages of a few kilobytes reach every path.
constexpr size_t INPUT_LIMIT = 64 * 1024;

// The request every page is built for. Its query decodes to "x=<b>&q=1".
constexpr std::string_view REQUEST_HEAD = "Host: localhost\r\n"
                                          "User-Agent: ssi-fuzz/1.0 (\"quoted\" & <tagged>)\r\n"
                                          "X-Test: it's a 'value' with & and <b>\r\n"
                                          "Cookie: session=abc; theme=dark\r\n"
                                          "\r\n";
// The two paths it asks for: a file of the tree (whose directory anchors the file= includes
// of a page that is no file) and stored content (which has no directory: the root anchors).
constexpr const char* REQUEST_PATHS[] = {"/pages/index.html", "/stored.html"};
constexpr const char* REQUEST_QUERY = "?x=%3Cb%3E&q=1";

// Where a page given as a file is written: a name with a caret, which no directive argument
// can spell, so the page can never include itself.
constexpr const char* PAGE_FILE = "pages/in^put.html";

// What the page builder may show at most: the error page around one line of the source.
constexpr size_t ERROR_PAGE_MAX = 160 + quorvel::SSI_LINE_SIZE;
constexpr std::string_view ERROR_PAGE_HEAD =
    "<html><body><pre>quorvel error: invalid ssi instruction\n";
constexpr std::string_view ERROR_PAGE_TAIL = "...</pre></body></html>\r\n";

// #echo writes a value with each byte as at most this many (&quot;).
constexpr size_t ESCAPE_GROWTH = 6;

// Everything of the tree a page can bring in, its sizes summed for the bound. Each item
// appears at most once in what one successful include brings (the includes among them form
// chains, and the two cycles always end at the nesting limit), and none of them holds the
// marks.
struct fixed_item {
    enum { file, stored, function, handler } kind;
    const char* name; // a path below the root, a URI, or a MIME extension
    const char* text;
};
constexpr fixed_item FIXED[] = {
    {fixed_item::file, "index.html", "<p>root index</p>\n"},
    {fixed_item::file, "pages/index.html", "<p>pages index <!--#echo var=\"HOST\" --></p>\n"},
    {fixed_item::file, "pages/plain.txt", "plain 100% text\n"},
    {fixed_item::file, "inc/a.html",
     "a:<!--#echo var=\"QUERY\" -->\n<!--#include file=\"b.html\" -->\n"},
    {fixed_item::file, "inc/b.html",
     "b:<!--#if expr=\"${QUERY} = /x/\" -->\nx\n<!--#elif expr=\"${HOST} != //\" -->\nhost\n"
     "<!--#else -->\nnone\n<!--#endif -->\n<!--#include file=\"sub/c.txt\" -->\n"},
    {fixed_item::file, "inc/sub/c.txt", "c: the end of the chain\n"},
    {fixed_item::file, "inc/self.html", "self <!--#include file=\"self.html\" -->\n"},
    {fixed_item::file, "inc/ping.html", "ping <!--#include virtual=\"/inc/pong.html\" -->\n"},
    {fixed_item::file, "inc/pong.html", "pong <!--#include virtual=\"/inc/ping.html\" -->\n"},
    {fixed_item::file, "inc/long.html",
     "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567"
     "89 <!--#echo var=\"X-TEST\" --> tail\n"},
    {fixed_item::file, "tpl/page.tpl", "template source\n"},
    {fixed_item::file, "tpl/doc.bad", "raw bad <!--#echo var=\"QUERY\" -->\n"},
    {fixed_item::file, "private/page.html",
     "private <!--#echo var=\"USER-AGENT\" -->\n<!--#include file=\"secret.txt\" -->\n"},
    {fixed_item::file, "private/secret.txt", "guarded text\n"},
    {fixed_item::stored, "/stored.html",
     "stored <!--#echo var=\"X-TEST\" -->\n<!--#include virtual=\"/inc/a.html\" -->\n"},
    {fixed_item::stored, "/snippet", "snippet <!--#set var=\"snip\" value=\"set\" -->\n"},
    {fixed_item::function, "/fn",
     "fn <!--#echo var=\"QUERY\" -->\n<!--#include virtual=\"/stored.html\" -->\n"},
    {fixed_item::function, "/fn-exec", "<!--#exec cmd=\"true\" -->\n"},
    {fixed_item::function, "/fn-fail", "half a page"},
    {fixed_item::handler, "tpl", "template <!--#echo var=\"COOKIE\" -->\n"},
};

// The process environment the page sees (#echo falls back to it, #set "$NAME" reads it).
constexpr const char* ENVIRONMENT_VALUE = "from the environment <&>";

std::string temp_root;
std::string page_file;
// The texts no page may show, and the random marks they hold.
std::string outside_text, rules_text, passwords_text, groups_text;
std::vector<std::string> secrets;
// What the bound takes from the tree and the environment.
size_t fixed_bytes = 0;
size_t fixed_echoes = 0;
size_t longest_value = 0;

// QUORVEL_FUZZ_SHOW set: each build's result and output go to standard error, to see what
// the seeds reach.
bool show_output = false;
envelope* error_log = nullptr;
envelope* server = nullptr;
quorvel::server_record* copy = nullptr;

// Every popen of the process: none may run a command.
int popen_calls = 0;

size_t count(std::string_view text, std::string_view what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A mark that cannot be guessed: 32 hexadecimal digits from the system's random source.
std::string random_mark()
{
    unsigned char bytes[16] = {};
    std::FILE* random = std::fopen("/dev/urandom", "rbe");
    if (random == nullptr || std::fread(bytes, 1, sizeof(bytes), random) != sizeof(bytes))
        std::abort();
    std::fclose(random);
    std::string mark;
    for (unsigned char b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", b);
        mark += hex;
    }
    return mark;
}

// Whether `needle` occurs in `haystack`, found by a rolling hash of its windows: no call
// compares the needle's bytes with the output except on a matching hash, so the comparison
// hooks of the fuzzer never see the needle.
bool holds(std::string_view haystack, std::string_view needle)
{
    constexpr uint64_t BASE = 1099511628211u;
    size_t n = needle.size();
    if (n == 0 || haystack.size() < n)
        return false;
    uint64_t want = 0, have = 0, top = 1;
    for (size_t i = 0; i < n; ++i) {
        want = want * BASE + static_cast<unsigned char>(needle[i]);
        have = have * BASE + static_cast<unsigned char>(haystack[i]);
        if (i > 0)
            top *= BASE;
    }
    for (size_t at = 0;; ++at) {
        if (have == want) {
            size_t i = 0;
            while (i < n && haystack[at + i] == needle[i])
                ++i;
            if (i == n)
                return true;
        }
        if (at + n >= haystack.size())
            return false;
        have = (have - top * static_cast<unsigned char>(haystack[at])) * BASE +
               static_cast<unsigned char>(haystack[at + n]);
    }
}

// The text a mapped function or a handler prints: its row of FIXED.
const char* fixed_text(decltype(fixed_item::kind) kind, std::string_view name)
{
    for (const fixed_item& item : FIXED)
        if (item.kind == kind && name == item.name)
            return item.text;
    std::abort();
}

template <const char* uri>
char* function_fn(envelope*, envelope* out)
{
    const char* text = fixed_text(fixed_item::function, uri);
    quorvel_printf(out, "%s", text);
    if (std::strcmp(uri, "/fn-fail") == 0)
        return quorvel_make_return_value("the function failed");
    return nullptr;
}
constexpr char FN[] = "/fn";
constexpr char FN_EXEC[] = "/fn-exec";
constexpr char FN_FAIL[] = "/fn-fail";

char* template_fn(envelope*, envelope* out, const char*)
{
    quorvel_printf(out, "%s", fixed_text(fixed_item::handler, "tpl"));
    return nullptr;
}

char* failing_handler_fn(envelope*, envelope*, const char*)
{
    return quorvel_make_return_value("the handler failed");
}

[[noreturn]] void fail(const char* what, std::string_view page, std::string_view out)
{
    std::fprintf(stderr,
                 "ssi_fuzz: %s\n--- page (%zu bytes) ---\n%.*s\n--- output (%zu bytes) ---\n"
                 "%.*s\n",
                 what, page.size(), static_cast<int>(std::min<size_t>(page.size(), 2048)),
                 page.data(), out.size(), static_cast<int>(std::min<size_t>(out.size(), 4096)),
                 out.data());
    std::abort();
}

// The environment is cleared but for what the tools need (so that no value of the caller's
// reaches the output or a report) and given a value of its own; the bound counts the longest.
void set_environment()
{
    std::vector<std::pair<std::string, std::string>> kept;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry = *e;
        size_t equals = entry.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view name = entry.substr(0, equals);
        if (name == "PATH" || name.ends_with("SAN_OPTIONS") || name.ends_with("SYMBOLIZER_PATH"))
            kept.emplace_back(name, entry.substr(equals + 1));
    }
    ::clearenv();
    for (const auto& [name, value] : kept)
        ::setenv(name.c_str(), value.c_str(), 1);
    ::setenv("QUORVEL_FUZZ_ENV", ENVIRONMENT_VALUE, 1);
    for (char** e = environ; *e != nullptr; ++e)
        longest_value = std::max(longest_value, std::strlen(*e));
}

// The tree: the fixed files under the root, the access rules and password files of the
// guarded directory (inside the root, refused by name), and beside the root a file and the
// password and group files the rules name.
void make_tree()
{
    fs::path top = temp_root;
    fs::path root = top / "www";
    for (int i = 0; i < 4; ++i)
        secrets.push_back(random_mark());
    outside_text = "outside the root " + secrets[0];
    passwords_text = "alice:" + secrets[1] + "\n";
    groups_text = "staff: alice " + secrets[2] + "\n";
    write_file(top / "outside.txt", outside_text);
    write_file(top / "outside.html", "<!--#echo var=\"QUERY\" --> " + outside_text);
    write_file(top / "auth" / "passwd", passwords_text);
    write_file(top / "auth" / "groups", groups_text);
    rules_text = "# " + secrets[3] + "\nAuthType Basic\nAuthUserFile " +
                 (top / "auth" / "passwd").string() + "\nAuthGroupFile " +
                 (top / "auth" / "groups").string() + "\nrequire valid-user\n";
    write_file(root / "private" / ".htaccess", rules_text);
    write_file(root / "private" / ".htpasswd", passwords_text);
    write_file(root / "private" / ".htgroup", groups_text);

    for (const fixed_item& item : FIXED) {
        if (item.kind == fixed_item::file)
            write_file(root / item.name, item.text);
        fixed_bytes += std::strlen(item.text);
        fixed_echoes += count(item.text, "<!--#echo");
    }
    fs::create_directories(root / "empty");
    page_file = (root / PAGE_FILE).string();
}

// The server record configured through the public calls, never started, and a handler's copy
// of it.
void make_server()
{
    error_log = quorvel_obj_create(quorvel_obj_log, "/dev/null");
    quorvel_init();
    quorvel_debug(1);
    std::string root = temp_root + "/www";
    server = quorvel_obj_create(quorvel_obj_server, 1u, root.c_str());
    if (server == nullptr)
        std::abort();
    quorvel_obj_set(server, quorvel_attrib_ssi, 1);
    quorvel_obj_set(server, quorvel_attrib_dirlist, 1);
    quorvel_obj_set(server, quorvel_attrib_mime, "tpl", "text/x-template", QUORVEL_ENC_TEXT,
                    template_fn);
    quorvel_obj_set(server, quorvel_attrib_mime, "bad", "text/plain", QUORVEL_ENC_TEXT,
                    failing_handler_fn);
    quorvel_obj_set(server, quorvel_attrib_mime, "html", "text/html", QUORVEL_ENC_TEXT,
                    static_cast<quorvel_mime_fn>(nullptr));
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, FN, QUORVEL_ENC_TEXT, function_fn<FN>);
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, FN_EXEC, QUORVEL_ENC_TEXT,
                    function_fn<FN_EXEC>);
    quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, FN_FAIL, QUORVEL_ENC_TEXT,
                    function_fn<FN_FAIL>);
    for (const fixed_item& item : FIXED)
        if (item.kind == fixed_item::stored)
            quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, item.name, item.text,
                            2);
    copy = quorvel::httpsrv_copy(static_cast<quorvel::server_record*>(server->object));
    if (copy == nullptr)
        std::abort();
}

void clean_up()
{
    quorvel::thread_heap_detach();
    quorvel::httpsrv_destroy(&copy);
    quorvel_obj_destroy(server);
    quorvel_obj_destroy(error_log);
    std::error_code ignored;
    if (!temp_root.empty())
        fs::remove_all(temp_root, ignored);
}

// The fixed request, read from a socket pair and resolved as a handler does; `*peer` is the
// client's end, closed by the caller.
quorvel::request_data* read_request(const char* path, int* peer)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    std::string text = std::string("GET ") + path + REQUEST_QUERY + " HTTP/1.0\r\n";
    text += REQUEST_HEAD;
    if (::send(fds[1], text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        std::abort();
    ::shutdown(fds[1], SHUT_WR);
    *peer = fds[1];
    quorvel::socket* sock = fuzz::connection(fds[0], 0, "127.0.0.1");
    if (sock == nullptr)
        std::abort();
    sock->deadline_ms =
        quorvel::monotonic_ms() + int64_t{quorvel::request_timeout_seconds()} * 1000;
    quorvel::request_data* request =
        quorvel::http_request(copy, sock, quorvel::handler_heap_size() / 4);
    if (request == nullptr || (request->flags & quorvel::REQUEST_FAILED) != 0 ||
        quorvel::map_uri(request, request->path) != 0)
        std::abort();
    return request;
}

// The most a page built without failing may hold. Every byte of the page goes out at most
// once (a prefix, a plain line, the text after a directive or an #elif); the rest comes from
// directives: an #echo writes one value escaped, an #include what one of the fixed items
// brings (each at most once, its #echo values escaped), and nothing else writes (#exec
// fails here). A value is at most a directive's text (#set), a header line or an
// environment entry.
size_t page_bound(std::string_view page)
{
    size_t value = std::max({quorvel::SSI_DIRECTIVE_SIZE, REQUEST_HEAD.size(), longest_value});
    size_t echo = ESCAPE_GROWTH * value;
    size_t include = fixed_bytes + fixed_echoes * echo;
    return page.size() + count(page, "<!--#echo") * echo + count(page, "<!--#include") * include;
}

void check(std::string_view page, int rc, const quorvel::request_data* request)
{
    const quorvel::buffer* b = request->out;
    std::string_view out =
        b != nullptr && b->data != nullptr
            ? std::string_view(b->data, static_cast<size_t>(b->write_pos - b->data))
            : std::string_view();
    if (show_output)
        std::fprintf(stderr, "ssi_fuzz: %d, %zu bytes\n%.*s\n", rc, out.size(),
                     static_cast<int>(std::min<size_t>(out.size(), 2048)), out.data());
    for (const std::string& secret : secrets)
        if (holds(out, secret))
            fail("a protected text was included", page, out);
    // A page without directives comes out as it is.
    if (page.find("<!--#") == std::string_view::npos && (rc != 0 || out != page))
        fail("a page without directives changed", page, out);
    if (rc == -1) {
        if (!out.starts_with(ERROR_PAGE_HEAD) || !out.ends_with(ERROR_PAGE_TAIL) ||
            out.size() > ERROR_PAGE_MAX)
            fail("a failed build left more than the error page", page, out);
        // The line shown is one of the page's own: a failure below it fails its directive.
        std::string_view shown = out.substr(
            ERROR_PAGE_HEAD.size(), out.size() - ERROR_PAGE_HEAD.size() - ERROR_PAGE_TAIL.size());
        if (page.find(shown) == std::string_view::npos)
            fail("the error page shows a line that is not the page's", page, out);
        return;
    }
    if (rc != 0)
        fail("the result is neither 0 nor -1", page, out);
    if (out.size() > page_bound(page))
        fail("the page outgrew what its directives can write", page, out);
}

} // namespace

// Every popen of the process comes here: no command runs.
extern "C" std::FILE* popen(const char*, const char*)
{
    ++popen_calls;
    errno = EPERM;
    return nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    temp_root = fuzz::make_temp_root("ssi-fuzz");
    show_output = std::getenv("QUORVEL_FUZZ_SHOW") != nullptr;
    set_environment();
    std::atexit(clean_up);
    make_tree();
    make_server();
    quorvel::socket_block_sigpipe();
    if (quorvel::thread_heap_attach(static_cast<uint32_t>(quorvel::handler_heap_size())) != 0)
        std::abort();

    // The library's #exec must reach the popen above.
    int peer = -1;
    quorvel::request_data* request = read_request(REQUEST_PATHS[0], &peer);
    int rc = quorvel::ssi_buildpage(request, "<!--#exec cmd=\"exit 0\" -->\n",
                                    quorvel::SSI_SOURCE_STRING);
    if (rc != -1 || popen_calls != 1) {
        std::fprintf(stderr, "ssi_fuzz: #exec does not reach the driver's popen\n");
        std::abort();
    }
    quorvel::request_destroy(&request);
    ::close(peer);
    if (quorvel::heap_record* heap = quorvel::thread_heap_current(); heap != nullptr)
        quorvel::heap_reset(heap);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INPUT_LIMIT)
        return 0;
    std::string_view page(reinterpret_cast<const char*>(data), size);
    int peer = -1;
    quorvel::request_data* request =
        read_request(REQUEST_PATHS[size / 3 % std::size(REQUEST_PATHS)], &peer);

    int rc = 0;
    std::string text;
    switch (size % 3) {
    case 0: {
        // A new file each time: a file cut to nothing and written again is flushed to the
        // disk when it closes (on ext4), which would make the disk set the pace.
        ::unlink(page_file.c_str());
        write_file(page_file, page);
        rc = quorvel::ssi_buildpage(request, page_file.c_str(), quorvel::SSI_SOURCE_FILE);
        break;
    }
    case 1: {
        auto* bytes = const_cast<char*>(page.data());
        quorvel::buffer view{0, static_cast<uint32_t>(size), bytes, bytes, bytes + size};
        rc = quorvel::ssi_buildpage(request, &view, quorvel::SSI_SOURCE_BUFFER);
        break;
    }
    default:
        text.assign(page.data(), page.size());
        rc = quorvel::ssi_buildpage(request, text.c_str(), quorvel::SSI_SOURCE_STRING);
        // What the builder saw: the text up to its first NUL.
        page = page.substr(0, std::strlen(text.c_str()));
        break;
    }
    check(page, rc, request);

    quorvel::request_destroy(&request);
    ::close(peer);
    if (quorvel::heap_record* heap = quorvel::thread_heap_current(); heap != nullptr)
        quorvel::heap_reset(heap);
    return 0;
}
