// The access log of a started server on 127.0.0.1, read back after real clients were
// answered: one whole line per answer, each field as the client saw the answer.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int WAIT_MS = 10000;

// One line of the Common Log Format, with the fields the server writes. The quoted field holds
// printable ASCII other than '"' and '\', and escapes written \xNN.
const std::regex
    LOG_LINE(R"re((\S+) - (\S+) \[(\d\d)/([A-Z][a-z]{2})/(\d{4}):(\d\d):(\d\d):(\d\d) )re"
             R"re(\+0000\] "((?:[\x20\x21\x23-\x5b\x5d-\x7e]|\\x[0-9A-F]{2})*)" )re"
             R"re((\d{3}) (\d+|-))re");
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct Entry {
    std::string host, user, request, status, bytes;
    time_t when = 0;
};

// The lines of `text` as entries; a line that does not parse goes to `bad`.
std::vector<Entry> parse(const std::string& text, std::vector<std::string>* bad)
{
    std::vector<Entry> entries;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        std::smatch m;
        if (!std::regex_match(line, m, LOG_LINE)) {
            bad->push_back(line);
            continue;
        }
        std::tm t{};
        t.tm_mday = std::stoi(m[3]);
        t.tm_mon = static_cast<int>(std::find(std::begin(MONTHS), std::end(MONTHS), m[4].str()) -
                                    std::begin(MONTHS));
        t.tm_year = std::stoi(m[5]) - 1900;
        t.tm_hour = std::stoi(m[6]);
        t.tm_min = std::stoi(m[7]);
        t.tm_sec = std::stoi(m[8]);
        entries.push_back({m[1], m[2], m[9], m[10], m[11], ::timegm(&t)});
    }
    if (!text.empty() && text.back() != '\n')
        bad->push_back("unterminated: " + text.substr(text.rfind('\n') + 1));
    return entries;
}

// Writes "Hello, world!" with a header line and a cookie.
char* hello(envelope* request, envelope* out)
{
    quorvel_obj_set(request, quorvel_attrib_header, "X-Greeting", "hi");
    quorvel_obj_set(request, quorvel_attrib_cookie, "sid", "7", NULL, 0, 0);
    quorvel_put(out, "Hello, world!", 13);
    return nullptr;
}

char* broken(envelope*, envelope*)
{
    return quorvel_make_return_value("database down");
}

class AccessLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Local time far from UTC: the log must not follow it.
        ::setenv("TZ", "QTZ-07", 1);
        ::tzset();
        quorvel_init();
        root.write("a.txt", "hello\n");
        root.write("dir/b.txt", "b\n");
        std::string users = root.write(".htpasswd", "ann:s3cret\nsp ace\"q:pw\n");
        root.write("private/s.txt", "secret\n");
        root.write("private/.htaccess", "AuthUserFile " + users + "\nRequire valid-user\n");
        // Admits every local client, with or without a valid password.
        root.write("local/s.txt", "local\n");
        root.write("local/.htaccess", "AuthUserFile " + users + "\nAllow from 127.0.0.1\n");
        server = quorvel_obj_create(quorvel_obj_server, 2u, root.path().c_str());
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_dirlist, 1), 0);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/fn", QUORVEL_ENC_TEXT,
                                  hello),
                  0);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, "/fail",
                                  QUORVEL_ENC_TEXT, broken),
                  0);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, "/stored.txt",
                                  "stored bytes", 2),
                  0);
    }
    void TearDown() override
    {
        stop();
        quorvel_obj_set(quorvel_get_sys(), quorvel_attrib_request_timeout, 10);
    }
    void start()
    {
        port = qtest::serve_on_loopback(server, WAIT_MS);
        ASSERT_GT(port, 0);
    }
    // Stops the server: every handler has written its lines once this returns.
    void stop()
    {
        if (server != nullptr) {
            EXPECT_EQ(quorvel_obj_destroy(server), 0);
        }
        server = nullptr;
    }
    // The reply to `request`; the client ends its side after it unless `keep_open`.
    std::string ask(const std::string& request, bool keep_open = false) const
    {
        int fd = qtest::connect_loopback(port, WAIT_MS);
        if (fd < 0)
            return "<no connection>";
        qtest::send_all(fd, request);
        if (!keep_open)
            ::shutdown(fd, SHUT_WR);
        std::string reply = qtest::read_to_end(fd, WAIT_MS);
        ::close(fd);
        return reply;
    }
    std::vector<Entry> entries(const std::string& path) const
    {
        std::vector<std::string> bad;
        std::vector<Entry> parsed = parse(qtest::read_file(path), &bad);
        EXPECT_EQ(bad, std::vector<std::string>{});
        return parsed;
    }

    qtest::ErrorLog log;
    qtest::TempDir dir;
    qtest::TempDir root;
    std::string access = dir.file("access.log");
    envelope* server = nullptr;
    int port = -1;
};

TEST_F(AccessLog, EveryAnswerIsLoggedAsTheClientGotIt)
{
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, access.c_str()), 0);
    ASSERT_EQ(quorvel_obj_set(quorvel_get_sys(), quorvel_attrib_request_timeout, 1), 0);
    start();
    // "ann:s3cret", "sp ace\"q:pw" and "ann:wrong".
    const std::string ann = "Authorization: Basic YW5uOnMzY3JldA==\r\n";
    const std::string odd = "Authorization: Basic c3AgYWNlInE6cHc=\r\n";
    const std::string wrong = "Authorization: Basic YW5uOndyb25n\r\n";
    struct Row {
        std::string request;    // sent as it stands
        std::string logged;     // the request field
        std::string user = "-"; // the user field
        bool keep_open = false; // the client waits without ending its side
    };
    // Handlers write their lines in the order they finish: each request line is its own.
    const Row rows[] = {
        {"GET /a.txt HTTP/1.0\r\n\r\n", "GET /a.txt HTTP/1.0"},
        {"HEAD /a.txt HTTP/1.0\r\n\r\n", "HEAD /a.txt HTTP/1.0"},
        {"GET /a.txt?since HTTP/1.0\r\nIf-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n\r\n",
         "GET /a.txt?since HTTP/1.0"},
        {"GET /missing.txt HTTP/1.0\r\n\r\n", "GET /missing.txt HTTP/1.0"},
        {"GET /private/s.txt HTTP/1.0\r\n\r\n", "GET /private/s.txt HTTP/1.0"},
        {"GET /private/s.txt?ann HTTP/1.0\r\n" + ann + "\r\n", "GET /private/s.txt?ann HTTP/1.0",
         "ann"},
        {"GET /private/s.txt?odd HTTP/1.0\r\n" + odd + "\r\n", "GET /private/s.txt?odd HTTP/1.0",
         "sp\\x20ace\\x22q"},
        {"GET /private/s.txt?wrong HTTP/1.0\r\n" + wrong + "\r\n",
         "GET /private/s.txt?wrong HTTP/1.0"},
        // Admitted without a valid password: no user.
        {"GET /local/s.txt HTTP/1.0\r\n" + wrong + "\r\n", "GET /local/s.txt HTTP/1.0"},
        {"GET /fn?x=1 HTTP/1.0\r\n\r\n", "GET /fn?x=1 HTTP/1.0"},
        {"HEAD /fn HTTP/1.0\r\n\r\n", "HEAD /fn HTTP/1.0"},
        {"GET /fail HTTP/1.0\r\n\r\n", "GET /fail HTTP/1.0"},
        {"GET /stored.txt HTTP/1.0\r\n\r\n", "GET /stored.txt HTTP/1.0"},
        {"GET /dir/ HTTP/1.0\r\n\r\n", "GET /dir/ HTTP/1.0"},
        {"BREW /a.txt HTTP/1.0\r\n\r\n", "BREW /a.txt HTTP/1.0"},
        {"GET /a\"b\x01\x7f\\c\xc3\xa9 HTTP/1.0\r\n\r\n",
         "GET /a\\x22b\\x01\\x7F\\x5Cc\\xC3\\xA9 HTTP/1.0"},
        {"\r\n\r\n", "-"},
        // Requests that never arrive whole: what arrived of the line.
        {"GET /cut HTTP/1.0\r\nHost: x\r\n", "GET /cut HTTP/1.0"},
        {"GET /late HTTP/1.0\r\n", "GET /late HTTP/1.0", "-", true},
    };
    std::vector<std::string> replies;
    for (const Row& row : rows)
        replies.push_back(ask(row.request, row.keep_open));
    time_t now = ::time(nullptr);
    stop();

    std::vector<Entry> logged = entries(access);
    ASSERT_EQ(logged.size(), std::size(rows));
    std::set<std::string> statuses;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::string& reply = replies[i];
        SCOPED_TRACE(rows[i].logged + "\n" + reply.substr(0, 200));
        auto e = std::find_if(logged.begin(), logged.end(),
                              [&](const Entry& x) { return x.request == rows[i].logged; });
        ASSERT_NE(e, logged.end());
        size_t body = reply.find("\r\n\r\n");
        ASSERT_TRUE(reply.starts_with("HTTP/1.0 ") && body != std::string::npos);
        size_t size = reply.size() - body - 4;
        EXPECT_EQ(e->host, "127.0.0.1");
        EXPECT_EQ(e->user, rows[i].user);
        EXPECT_EQ(e->status, reply.substr(9, 3));
        EXPECT_EQ(e->bytes, size == 0 ? "-" : std::to_string(size));
        EXPECT_LE(std::abs(static_cast<long>(e->when - now)), 120L);
        if (i == 0 || i == 9) { // the file's 6 bytes; the 13 the function wrote
            EXPECT_EQ(e->bytes, i == 0 ? "6" : "13");
        }
        statuses.insert(e->status);
    }
    EXPECT_EQ(statuses,
              (std::set<std::string>{"200", "304", "400", "401", "404", "405", "408", "500"}));
}

TEST_F(AccessLog, ConcurrentClientsGetOneWholeLineEach)
{
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, access.c_str()), 0);
    start();
    constexpr int clients = 8, rounds = 40;
    std::vector<std::thread> threads;
    std::vector<int> failures(clients, 0);
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (int r = 0; r < rounds; ++r) {
                std::string path = (r % 2 ? "/fn?" : "/a.txt?") + std::to_string(c * rounds + r);
                if (!ask("GET " + path + " HTTP/1.0\r\n\r\n").starts_with("HTTP/1.0 200 OK\r\n"))
                    ++failures[c];
            }
        });
    }
    for (auto& t : threads)
        t.join();
    stop();
    EXPECT_EQ(failures, std::vector<int>(clients, 0));
    std::set<std::string> requests;
    for (const Entry& e : entries(access)) {
        EXPECT_EQ(e.status, "200");
        EXPECT_EQ(e.bytes, e.request.starts_with("GET /fn") ? "13" : "6");
        requests.insert(e.request);
    }
    EXPECT_EQ(requests.size(), size_t{clients * rounds});
}

TEST_F(AccessLog, OffByNullAndARefusedPathKeepsTheOldSetting)
{
    std::string first = dir.file("first.log");
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, first.c_str()), 0);
    log.clear();
    std::string missing = dir.file("no/such/dir.log");
    for (auto [path, error] : {std::pair{missing, ENOENT}, {dir.path(), EISDIR}}) {
        EXPECT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, path.c_str()), -1);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(quorvel_last_error(), uint32_t{QUORVEL_LAST_WRITE_PROTECT});
    }
    EXPECT_EQ(log.text(),
              "error (quorvel_obj_set:: quorvel_attrib_access_log, 18118): access log " + missing +
                  " could not be opened: No such file or directory\n"
                  "error (quorvel_obj_set:: quorvel_attrib_access_log, 18118): access log " +
                  dir.path() + " could not be opened: Is a directory\n");
    start();
    ask("GET /a.txt HTTP/1.0\r\n\r\n");
    stop();
    std::vector<Entry> logged = entries(first);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].request, "GET /a.txt HTTP/1.0");

    // NULL turns it off: the file opened before gets nothing.
    SetUp();
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, access.c_str()), 0);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, NULL), 0);
    start();
    EXPECT_TRUE(ask("GET /a.txt HTTP/1.0\r\n\r\n").starts_with("HTTP/1.0 200 OK"));
    stop();
    EXPECT_EQ(qtest::read_file(access), "");
}

TEST_F(AccessLog, DashIsStandardErrorItself)
{
    // Descriptor 2 is pointed at a file for the test, as a shell redirection would.
    std::string captured = dir.file("stderr");
    int saved = ::dup(STDERR_FILENO);
    int file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(saved, 0);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::dup2(file, STDERR_FILENO), STDERR_FILENO);
    ::close(file);
    ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_access_log, "-"), 0);
    start();
    std::string reply = ask("GET /fn HTTP/1.0\r\n\r\n");
    stop();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_TRUE(reply.starts_with("HTTP/1.0 200 OK")) << reply;
    std::vector<Entry> logged = entries(captured);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].request, "GET /fn HTTP/1.0");
    // Standard error stays open for whoever else writes there.
    EXPECT_NE(::fcntl(STDERR_FILENO, F_GETFD), -1);
}

} // namespace
