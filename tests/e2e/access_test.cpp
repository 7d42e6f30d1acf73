// Access control on the wire: a started server on 127.0.0.1 answers clients for trees guarded
// by access files written the way administrators write them, password files written by the
// htpasswd tool in each of its formats, and stored, cached and mapped URIs in and out of a
// guarded directory.
#include "quorvel.h"
#include "support/support.h"
#include "support/wire.h"

#include <atomic>
#include <openssl/evp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int WAIT_MS = 10000;
const std::string FIXTURE = QUORVEL_SOURCE_DIR "/tests/fixtures/htpasswd";

// The users of the fixture, one per format the htpasswd tool writes (and two written by other
// tools), with their passwords; "yes" holds a hash of a kind the server does not verify.
const std::pair<std::string, std::string> FIXTURE_USERS[] = {
    {"bea", "Blow fish 5"}, {"april", "apr:il-1"}, {"shay", "sha one"},
    {"des", "oldpass8"},    {"sam", "sha-256 pw"}, {"sue", "sha-512 pw"},
    {"pat", "plain text"},  {"bob2b", "bee two"},  {"mona", "md5 crypt"},
};

// An Authorization value with the Basic credentials "user:password".
std::string basic(const std::string& credentials, const std::string& scheme = "Basic ")
{
    std::string out(4 * ((credentials.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(credentials.data()),
                            static_cast<int>(credentials.size()));
    return scheme + out.substr(0, static_cast<size_t>(n));
}

const std::string BEA = basic("bea:Blow fish 5");

// One request a client makes and the status it must get.
struct Ask {
    std::string authorization; // the header's value; none when empty
    int status;
    const char* source = "127.0.0.1";
};

class AccessOnTheWire : public ::testing::Test {
protected:
    static char* report(envelope*, envelope*)
    {
        ++mapped_calls;
        return nullptr;
    }

    void SetUp() override
    {
        quorvel_init();
        dir.write("www/private/secret.txt", "top secret\n");
        dir.write("www/private/.htaccess", "AuthUserFile " + FIXTURE + "\nRequire valid-user\n");
        dir.write("www/open/a.txt", "open\n");
        server = quorvel_obj_create(quorvel_obj_server, 2u, dir.file("www").c_str());
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_dirlist, 1), 0);
        for (const char* uri : {"/private/report", "/private/virtual/report", "/open/report"}) {
            ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_GET, uri,
                                      QUORVEL_ENC_TEXT, report),
                      0);
        }
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri, QUORVEL_POST, "/private/post",
                                  QUORVEL_ENC_TEXT, report),
                  0);
        for (const char* uri : {"/private/stored.html", "/open/stored.html"}) {
            ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri_content, QUORVEL_GET, uri,
                                      "<p>stored</p>", 2),
                      0);
        }
        ASSERT_EQ(quorvel_obj_set(server, quorvel_attrib_uri_cache, QUORVEL_GET,
                                  "/private/secret.txt", "private/secret.txt", 2),
                  0);
        port = qtest::serve_on_loopback(server, WAIT_MS);
        ASSERT_GT(port, 0);
    }
    void TearDown() override { EXPECT_EQ(server != nullptr ? quorvel_obj_destroy(server) : 0, 0); }

    // The status code a client at `source` gets for `request_line` with `authorization`.
    int status(const std::string& request_line, const std::string& authorization,
               const char* source = "127.0.0.1") const
    {
        int fd = qtest::connect_loopback(port, WAIT_MS, source);
        if (fd < 0)
            return -1;
        std::string request = request_line + " HTTP/1.0\r\n";
        if (!authorization.empty())
            request += "Authorization: " + authorization + "\r\n";
        if (request_line.starts_with("POST"))
            request += "Content-Length: 0\r\n";
        request += "\r\n";
        std::string reply;
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()))
            reply = qtest::read_to_end(fd, WAIT_MS);
        ::close(fd);
        return reply.starts_with("HTTP/1.0 ") ? std::stoi(reply.substr(9, 3)) : -1;
    }
    // Checks every ask against GET `path`.
    void expect(const std::string& path, const std::vector<Ask>& asks, const std::string& why)
    {
        for (const Ask& ask : asks)
            EXPECT_EQ(status("GET " + path, ask.authorization, ask.source), ask.status)
                << why << "\nfrom " << ask.source << " with \"" << ask.authorization << "\"";
    }

    static inline std::atomic<int> mapped_calls = 0;
    qtest::ErrorLog log;
    qtest::TempDir dir;
    envelope* server = nullptr;
    int port = 0;
};

TEST_F(AccessOnTheWire, AccessFilesAsAdministratorsWriteThem)
{
    const std::string groups =
        dir.write("groups", "staff: bea april\nadmins: sam\n\nguests: sue, pat\n");
    const std::string second = dir.write("second", "kim:second file\n");
    const std::string users = "AuthUserFile " + FIXTURE + "\n";
    const std::string wrong = basic("bea:blow fish 5"), nobody = basic("zed:Blow fish 5");
    const std::pair<std::string, std::vector<Ask>> rows[] = {
        {"# Reports for the team\nAuthType Basic\nAuthName \"Team reports\"\n" + users +
             "Require valid-user\n",
         {{"", 401},
          {BEA, 200},
          {basic("bea:Blow fish 5", "basic "), 200},
          {basic("bea:Blow fish 5", "BASIC  "), 200},
          {wrong, 401},
          {nobody, 401},
          {basic("be:Blow fish 5"), 401}, // a prefix of a user name
          {"Basic !!!", 401},
          {"Bearer x " + BEA, 401},
          {"Basic", 401}}},
        // Rules commented out stay out; CR LF line ends, as a file edited elsewhere has them.
        {users + "#   deny from all\r\n  # Require group admins\r\n\tRequire valid-user\r\n",
         {{BEA, 200}, {"", 401}, {wrong, 401}}},
        // The first line after the byte-order mark some editors write.
        {"\xEF\xBB\xBF"
         "Deny from all\nAuthType Basic\n",
         {{BEA, 401}, {nobody, 401, "127.0.0.2"}}},
        {"AuthType Basic\nAuthName \"Staff\"\n" + users + "AuthGroupFile " + groups +
             "\nRequire group staff admins\n",
         {{BEA, 200},
          {basic("april:apr:il-1"), 200},
          {basic("sam:sha-256 pw"), 200},
          {wrong, 401},                      // in the group, wrong password
          {basic("des:oldpass8"), 401},      // in no group
          {basic("sue:sha-512 pw"), 401},    // in another group
          {basic("kim:second file"), 401}}}, // unknown
        // Only the first password file counts; a tab may follow a keyword.
        {"AuthUserFile\t" + FIXTURE + "\nAuthUserFile " + second + "\nrequire valid-user\n",
         {{BEA, 200}, {basic("kim:second file"), 401}}},
        {"AuthUserFile " + dir.file("missing") + "\nRequire valid-user\n", {{BEA, 401}}},
        {"AuthGroupFile " + groups + "\n" + users + "Require group staff\n", {{BEA, 401}}},
        // Address rules need the header too; a client outside them is refused.
        {"Order Deny,Allow\nDeny from 127.0.0.2\nAllow from all\n",
         {{nobody, 200}, {"", 401}, {nobody, 401, "127.0.0.2"}}},
        {users + "Require valid-user\nAllow from 10.1 127.0.0.1\n",
         {{BEA, 200}, {BEA, 401, "127.0.0.2"}, {wrong, 401}}},
        {"Allow from 127.0.0\n", {{nobody, 200, "127.0.0.2"}}},
        // A requirement this server does not know refuses rather than being skipped.
        {users + "Require user bea\n", {{BEA, 401}}},
    };
    int row = 0;
    for (const auto& [rules, asks] : rows) {
        std::string path = "/row" + std::to_string(++row) + "/";
        dir.write("www" + path + ".htaccess", rules);
        dir.write("www" + path + "f.txt", "f\n");
        expect(path + "f.txt", asks, rules);
        if (asks[0].status == 200)
            expect(path, {asks[0]}, "the directory itself: " + rules);
    }
}

TEST_F(AccessOnTheWire, PasswordFilesFromHtpasswdInEveryFormat)
{
    std::string hashes = qtest::read_file(FIXTURE);
    for (const auto& [user, password] : FIXTURE_USERS) {
        size_t at = hashes.find(user + ":");
        std::string hash = hashes.substr(at + user.size() + 1);
        hash = hash.substr(0, hash.find('\n'));
        EXPECT_EQ(status("GET /private/secret.txt", basic(user + ":" + password)), 200) << user;
        if (hash != password) {
            EXPECT_EQ(status("GET /private/secret.txt", basic(user + ":" + hash)), 401) << user;
        }
        EXPECT_EQ(status("GET /private/secret.txt", basic(user + ":x" + password)), 401) << user;
    }
    // A hash of a kind that is not verified refuses, saying why.
    log.clear();
    EXPECT_EQ(status("GET /private/secret.txt", basic("yes:yes crypt")), 401);
    EXPECT_TRUE(log.contains("(http_check_access, 10570): unsupported password hash for user "
                             "yes in \"" +
                             FIXTURE + "\"\n"))
        << log.text();
}

TEST_F(AccessOnTheWire, StoredCachedAndMappedUrisUnderAGuardedDirectory)
{
    for (const char* request :
         {"GET /private/report", "GET /private/virtual/report", "POST /private/post",
          "GET /private/stored.html", "GET /private/secret.txt", "GET /private/"}) {
        mapped_calls = 0;
        EXPECT_EQ(status(request, ""), 401) << request;
        EXPECT_EQ(status(request, basic("bea:wrong")), 401) << request;
        EXPECT_EQ(mapped_calls, 0) << "a refused request reached its function: " << request;
        EXPECT_EQ(status(request, BEA), 200) << request;
    }
    for (const char* request : {"GET /open/report", "GET /open/stored.html", "GET /open/a.txt"})
        EXPECT_EQ(status(request, ""), 200) << request;
}

} // namespace
