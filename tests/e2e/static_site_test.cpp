// A static site on a started server on 127.0.0.1, asked by real clients the way browsers and
// tools ask: directories answered by their index file, HEAD for every kind of answer, listings
// that are never stale, today's file types, and debug lines that never show credentials.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WAIT_MS = 10000;
// "ann:s3cret" and "bob:hunter2" in base64.
const std::string ANN = "Authorization: Basic YW5uOnMzY3JldA==\r\n";
const std::string BOB = "Authorization: Basic Ym9iOmh1bnRlcjI=\r\n";

std::atomic<int> greetings = 0;

char* greet(envelope* request, envelope* out)
{
    ++greetings;
    quorvel_obj_set(request, quorvel_attrib_header, "X-Greeting", "hi");
    quorvel_obj_set(request, quorvel_attrib_cookie, "sid", "7", NULL, 0, 0);
    quorvel_printf(out, "Hello, %s!", "world");
    return nullptr;
}

// A reply split into its head lines (Date taken out) and its body.
struct Reply {
    std::vector<std::string> head;
    std::string body;
    std::string status() const { return head.empty() ? "<none>" : head[0]; }
    bool has(const std::string& line) const
    {
        return std::find(head.begin(), head.end(), line) != head.end();
    }
};

class StaticSite : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorvel_init();
        root.write("index.html", "<p>home</p>");
        root.write("docs/index.html", "<p>docs</p>");
        root.write("docs/a.txt", "a\n");
        root.write("nodex/caf\xc3\xa9.txt", "coffee\n");
        std::string users = root.write(".htpasswd", "ann:s3cret\n");
        root.write("private/index.html", "<p>private</p>");
        root.write("private/.htaccess", "AuthUserFile " + users + "\nRequire valid-user\n");
    }
    void TearDown() override
    {
        quorvel_debug(0);
        if (server != nullptr) {
            EXPECT_EQ(quorvel_obj_destroy(server), 0);
        }
    }
    // Starts a server with listings and the directory index as given.
    void start(int listing, int dir_index)
    {
        server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_dirlist, listing), 0);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_dir_index, dir_index), 0);
        for (int method : {QUORVEL_GET, QUORVEL_POST}) {
            ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri, method, "/greet",
                                      QUORVEL_ENC_TEXT, greet),
                      0);
        }
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/stored.txt",
                                  "stored bytes", 2),
                  0);
        port = qtest::serve_on_loopback(server, WAIT_MS);
        ASSERT_GT(port, 0);
    }
    Reply ask(const std::string& method, const std::string& path, const std::string& headers = "",
              const std::string& body = "") const
    {
        Reply reply;
        int fd = qtest::connect_loopback(port, WAIT_MS);
        if (fd < 0)
            return reply;
        qtest::send_all(fd, method + " " + path + " HTTP/1.0\r\n" + headers + "\r\n" + body);
        std::string text = qtest::read_to_end(fd, WAIT_MS);
        ::close(fd);
        size_t end = text.find("\r\n\r\n");
        if (end == std::string::npos)
            return reply;
        for (size_t at = 0, next; at < end + 2; at = next + 2) {
            next = text.find("\r\n", at);
            if (!text.compare(at, 6, "Date: "))
                continue;
            reply.head.push_back(text.substr(at, next - at));
        }
        reply.body = text.substr(end + 4);
        return reply;
    }
    Reply get(const std::string& path, const std::string& headers = "") const
    {
        return ask("GET", path, headers);
    }

    qtest::ErrorLog log;
    qtest::TempDir root;
    envelope* server = nullptr;
    int port = -1;
};

bool is_listing(const Reply& r, const std::string& title)
{
    return r.status() == "HTTP/1.0 200 OK" &&
           r.body.starts_with("<html><head><meta charset=\"utf-8\"><title>Index of " + title +
                              "</title>");
}

TEST_F(StaticSite, DirectoriesAnswerWithTheirIndexFileWithOrWithoutTheSlash)
{
    start(1, 1);
    for (const char* path : {"/", "/docs/", "/docs", "/docs//"}) {
        Reply r = get(path);
        std::string page = std::string(path) == "/" ? "<p>home</p>" : "<p>docs</p>";
        EXPECT_EQ(r.status(), "HTTP/1.0 200 OK") << path;
        EXPECT_TRUE(r.has("Content-Type: text/html")) << path;
        EXPECT_TRUE(r.has("Content-Length: " + std::to_string(page.size()))) << path;
        EXPECT_EQ(r.body, page) << path;
    }
    // No index file: listed, the same page with or without the slash.
    EXPECT_TRUE(is_listing(get("/nodex/"), "/nodex"));
    EXPECT_EQ(get("/nodex").body, get("/nodex/").body);
    // The index file is under the access file of its directory, like any file there.
    for (const char* path : {"/private/", "/private"}) {
        EXPECT_EQ(get(path).status(), "HTTP/1.0 401 Authorization required") << path;
        EXPECT_EQ(get(path, BOB).status(), "HTTP/1.0 401 Authorization required") << path;
        EXPECT_EQ(get(path, ANN).body, "<p>private</p>") << path;
    }
    Reply head = ask("HEAD", "/docs");
    EXPECT_EQ(head.head, get("/docs/").head);
    EXPECT_EQ(head.body, "");
}

TEST_F(StaticSite, WithoutTheDirectoryIndexOnlyTheRootGetsIt)
{
    start(1, 0);
    EXPECT_EQ(get("/").body, "<p>home</p>");
    EXPECT_TRUE(is_listing(get("/docs/"), "/docs"));
    // Listings off: a directory with its index file still answers with it, one without is
    // not found.
    EXPECT_EQ(quorvel_obj_destroy(server), 0);
    start(0, 1);
    EXPECT_EQ(get("/docs/").body, "<p>docs</p>");
    EXPECT_EQ(get("/nodex/").status(), "HTTP/1.0 404 File not found");
}

TEST_F(StaticSite, HeadAnswersAsGetWithoutTheBody)
{
    start(1, 1);
    for (const char* path : {"/docs/a.txt", "/stored.txt", "/greet", "/nodex/", "/missing"}) {
        greetings = 0;
        Reply got = get(path), head = ask("HEAD", path);
        EXPECT_EQ(head.head, got.head) << path;
        EXPECT_EQ(head.body, "") << path;
        EXPECT_FALSE(got.body.empty()) << path;
        if (std::string(path) == "/greet") {
            // The function runs for HEAD too: its header line and cookie are there.
            EXPECT_EQ(greetings, 2);
            EXPECT_TRUE(head.has("X-Greeting: hi"));
            EXPECT_TRUE(head.has("Set-Cookie: sid=7; path=/"));
        }
    }
    EXPECT_TRUE(get("/stored.txt").has("Content-Length: 12"));
}

TEST_F(StaticSite, ListingsAreNeverNotModifiedAndDeclareUtf8)
{
    start(1, 1);
    const std::string future = "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n";
    EXPECT_EQ(get("/docs/a.txt", future).status(), "HTTP/1.0 304 Not modified");
    Reply listing = get("/nodex/", future);
    EXPECT_TRUE(is_listing(listing, "/nodex"));
    // No date a cache could keep a listing by.
    for (const std::string& line : listing.head)
        EXPECT_FALSE(line.starts_with("Last-Modified:")) << line;
    EXPECT_NE(listing.body.find("<a href=\"/nodex/caf%C3%A9.txt\">caf\xc3\xa9.txt</a>"),
              std::string::npos)
        << listing.body;
}

TEST_F(StaticSite, TodaysFileTypes)
{
    const std::pair<std::string, std::string> types[] = {
        {"app.js", "text/javascript"},
        {"mod.mjs", "text/javascript"},
        {"data.json", "application/json"},
        {"logo.svg", "image/svg+xml"},
        {"run.wasm", "application/wasm"},
        {"p.webp", "image/webp"},
        {"p.avif", "image/avif"},
        {"f.woff2", "font/woff2"},
        {"f.woff", "font/woff"},
        {"v.mp4", "video/mp4"},
        {"v.webm", "video/webm"},
        {"read.md", "text/markdown"},
        {"t.csv", "text/csv"},
        {"notes.txt", "text/plain"},
        {"favicon.ico", "image/vnd.microsoft.icon"},
        {"page.shtml", "text/html"},
        {"a.zip", "application/zip"},
        {"a.gz", "application/gzip"},
        {"blob.bin", "application/octet-stream"},
    };
    for (const auto& [name, type] : types)
        root.write("types/" + name, "\x01\x02");
    start(1, 1);
    for (const auto& [name, type] : types)
        EXPECT_TRUE(get("/types/" + name).has("Content-Type: " + type)) << name;
}

TEST_F(StaticSite, DebugLinesNeverShowCredentials)
{
    start(1, 1);
    log.clear();
    quorvel_debug(1);
    EXPECT_EQ(get("/private/", ANN + "Proxy-Authorization: Basic cHJveHk6cHc=\r\n"
                                     "Cookie: sid=s3ss10n\r\nX-Seen: shown\r\n")
                  .status(),
              "HTTP/1.0 200 OK");
    std::string form = "name=bob&password=hunter2&api_token=t0k3n";
    EXPECT_EQ(ask("POST", "/greet", "Content-Length: " + std::to_string(form.size()) + "\r\n", form)
                  .status(),
              "HTTP/1.0 200 OK");
    // Credentials without a colon may be a password alone.
    EXPECT_EQ(get("/private/", "Authorization: Basic aHVudGVyMg==\r\n").status(),
              "HTTP/1.0 401 Authorization required");
    quorvel_debug(0);
    std::string text = log.text();
    for (const char* shown :
         {"(parse_http_headers, 13717): Authorization: (hidden)\n",
          "(parse_http_headers, 13717): Proxy-Authorization: (hidden)\n",
          "(parse_http_headers, 13717): Cookie: (hidden)\n",
          "(parse_http_headers, 13717): X-Seen: shown\n", "(parse_post, 13585): storing NAME=bob\n",
          "(parse_post, 13585): storing PASSWORD=(hidden)\n",
          "(parse_post, 13585): storing API_TOKEN=(hidden)\n",
          "(http_check_access, 10534): missing password string from user (hidden)",
          "(http_responce, 15176): \tsent attributes:\nX-Greeting: hi\r\nSet-Cookie: (hidden)\r\n"})
        EXPECT_NE(text.find(shown), std::string::npos) << shown << "\n" << text;
    for (const char* secret : {"YW5uOnMzY3JldA", "s3cret", "cHJveHk6cHc", "s3ss10n", "hunter2",
                               "t0k3n", "aHVudGVyMg", "sid=7"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << "\n" << text;
}

} // namespace
