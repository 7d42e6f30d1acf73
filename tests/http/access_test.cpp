#include "http/access.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"
#include "support/support.h"

#include <climits>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace quorvel;

namespace {

std::string base64(const std::string& in)
{
    static const char t[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = uint8_t(in[i]) << 16;
        v |= i + 1 < in.size() ? uint8_t(in[i + 1]) << 8 : 0;
        v |= i + 2 < in.size() ? uint8_t(in[i + 2]) : 0;
        out += {t[v >> 18], t[(v >> 12) & 63], i + 1 < in.size() ? t[(v >> 6) & 63] : '=',
                i + 2 < in.size() ? t[v & 63] : '='};
    }
    return out;
}

std::string decode(const std::string& text, int size = 64)
{
    unsigned char out[64] = {};
    int n = b64_decode(text.c_str(), out, size);
    return n < 0 ? "<fail>" : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

// A root "www" inside a scratch directory, a request from 127.0.0.1, and a password file
// (alice/secret, bob/hunter2) and a group file outside the root.
class Guarded : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = outer.file("www");
        std::filesystem::create_directories(root);
        server.root = root.data();
        std::strcpy(sock.peer, "127.0.0.1");
        request.sock = &sock;
        request.server = &server;
        request.headers = htable_create(10);
        passwords = outer.write("passwd", "alice:secret\nbob:hunter2\n");
        groups = outer.write("groups", "staff: carol\nadmin: alice\nusers: bob, alice\n");
    }
    void TearDown() override { htable_destroy(&request.headers); }

    void authorize(const std::string& user, const std::string& password)
    {
        std::string value = "Basic " + base64(user + ":" + password);
        htable_store(request.headers, "AUTHORIZATION", 13, value.c_str(),
                     static_cast<uint32_t>(value.size()), true, nullptr);
    }
    void protect(const std::string& dir, const std::string& rules)
    {
        outer.write("www" + dir + "/.htaccess", rules);
    }
    // The check for `rel` below the root: true when allowed. A refusal must mark the request.
    bool allowed(const std::string& rel, int is_dir = 0)
    {
        request.flags = REQUEST_GET;
        request.status = 0;
        if (http_check_htaccess(&request, (root + rel).c_str(), is_dir) == 0)
            return request.flags == REQUEST_GET;
        EXPECT_EQ(request.flags, REQUEST_GET | REQUEST_FAILED) << rel;
        EXPECT_EQ(request.status, STATUS_AUTH_REQUIRED) << rel;
        return false;
    }
    // http_check_access against `file` from 10.0.0.7, and the line it wrote.
    std::pair<int, std::string> login(const std::string& file, const std::string& credentials)
    {
        log.clear();
        char user[HTACCESS_USER_SIZE];
        int result =
            http_check_access(file.c_str(), credentials.c_str(), user, "10.0.0.7", sizeof(user));
        return {result, log.text()};
    }

    qtest::TempDir outer;
    qtest::ErrorLog log;
    std::string root, passwords, groups;
    server_record server{};
    quorvel::socket sock{};
    request_data request{};
};

} // namespace

TEST(Base64, DecodesByTheStrictRules)
{
    EXPECT_EQ(decode("dXNlcjpwYXNz"), "user:pass");
    EXPECT_EQ(decode("YQ=="), "a");
    EXPECT_EQ(decode("YWM="), "ac");
    EXPECT_EQ(decode(" dX\tNl\ncjpw YXNz \r\n"), "user:pass");
    EXPECT_EQ(decode("YQ =\n= \n"), "a");
    EXPECT_EQ(decode(""), "");
    for (const char* bad : {"YQ", "YQ=", "Y===", "====", "YR==", "YWN=", "YWJ=x",
                            "YWI==", "YQ==YQ==", "dXNl*jpw", "dXNl-cjp", "\x80"})
        EXPECT_EQ(decode(bad), "<fail>") << bad;
    // Every byte written counts against the bound; as in the classic routine, so does the
    // padding-only byte of a quantum.
    EXPECT_EQ(decode("YWJj", 3), "abc");
    EXPECT_EQ(decode("YWJj", 2), "<fail>");
    EXPECT_EQ(decode("YWI=", 2), "<fail>");
}

TEST_F(Guarded, PasswordFileDecidesCredentials)
{
    set_debug(true);
    EXPECT_EQ(login(passwords, base64("bob:hunter2")),
              std::pair(1, std::string("(http_check_access, 10558): user bob ip:10.0.0.7 "
                                       "connected\n")));
    set_debug(false);
    const std::pair<std::string, std::string> refusals[] = {
        {base64("alice:secreT"), "10566): invalid password for alice ip:10.0.0.7 entered\n"},
        {base64("eve:secret"), "10575): unknown user eve attempted to login from ip:10.0.0.7\n"},
        {"not base64!", "10524): could not decode string \"not base64!\" from ip:10.0.0.7\n"},
        {base64("alice"), "10534): missing password string from user alice, ip:10.0.0.7\n"},
        // A zero byte would make "secret\0junk" equal to "secret".
        {base64(std::string("alice:secret\0x", 14)),
         "10524): could not decode string \"YWxpY2U6c2VjcmV0AHg=\" from ip:10.0.0.7\n"},
        // Control characters a client sends are escaped in the log.
        {base64("ev\ne:x"), "10575): unknown user ev\\x0Ae attempted to login from ip:10.0.0.7\n"},
    };
    for (const auto& [credentials, line] : refusals)
        EXPECT_EQ(login(passwords, credentials), std::pair(0, "error (http_check_access, " + line));
    EXPECT_EQ(login(outer.file("none"), base64("alice:secret")),
              std::pair(0, std::string("error (http_check_access, 10513): No such file or "
                                       "directory\n")));

    // The last line keeps its last character without a line feed; CR LF ends lines too; the
    // tail of an over-long line is not a line of its own.
    std::string last = outer.write("last", "bob:x\nalice:secret");
    EXPECT_EQ(login(last, base64("alice:secret")).first, 1);
    EXPECT_EQ(login(last, base64("alice:secre")).first, 0);
    EXPECT_EQ(login(outer.write("crlf", "bob:x\r\nalice:secret\r\n"), base64("alice:secret")).first,
              1);
    std::string over = outer.write("over", "carol:" + std::string(600, 'p') + "bob:pw\n");
    EXPECT_EQ(login(over, base64("bob:pw")).first, 0);
}

TEST_F(Guarded, GroupFileMembership)
{
    char group[HTACCESS_GROUP_SIZE];
    auto group_of = [&](const std::string& file, const char* user) -> std::string {
        return http_get_group(file.c_str(), user, group, sizeof(group)) == 1 ? group : "<none>";
    };
    std::string dev = outer.write("dev", "dev: alice,bob\n");
    EXPECT_EQ(group_of(dev, "alice"), "dev");
    EXPECT_EQ(group_of(dev, "bob"), "dev");
    EXPECT_EQ(group_of(dev, "ali"), "<none>");
    // The first group listing the user wins; members are split at blanks , ; and :.
    EXPECT_EQ(group_of(groups, "alice"), "admin");
    std::string mixed = outer.write("mixed", "nocolon alice\r\nops:x;alice:y\r\nlater: alice\n");
    EXPECT_EQ(group_of(mixed, "alice"), "ops");
    EXPECT_EQ(group_of(mixed, "y"), "ops");
    // A group name too long for the output is passed over rather than cut.
    std::string long_name = outer.write("long", std::string(200, 'g') + ": alice\nshort: alice\n");
    EXPECT_EQ(group_of(long_name, "alice"), "short");
    log.clear();
    EXPECT_EQ(group_of(outer.file("none"), "alice"), "<none>");
    EXPECT_EQ(log.text(), "error (http_get_group, 10449): No such file or directory\n");
}

TEST(AccessRules, AddressPrefixesAndGroupNamesMatchWholeFields)
{
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"10.1", "10.1.2.3", true},        {"10.1.", "10.1.2.3", true},
        {"10.1", "10.10.0.1", false},      {"10.1.", "10.10.0.1", false},
        {"10.", "110.1.2.3", false},       {"10.1.2.3", "10.1.2.30", false},
        {"10.1", "::ffff:10.1.2.3", true}, {"10.1", "::FFFF:10.10.2.3", false},
        {"::ffff:10.1", "10.1.2.3", true}, {"2001:DB8:", "2001:db8::1", true},
        {"2001:db8", "2001:db8::1", true}, {"2001:db", "2001:db8::1", false},
        {"all", "192.168.0.1", true},      {"192.168.0.1", "", false}};
    for (auto [prefix, client, expected] : cases)
        EXPECT_EQ(http_address_match(prefix, client), expected) << prefix << " / " << client;

    EXPECT_FALSE(http_group_listed("admins", "admin"));
    EXPECT_FALSE(http_group_listed("superadmin", "admin"));
    EXPECT_TRUE(http_group_listed("admins admin", "admin"));
    EXPECT_TRUE(http_group_listed("  staff\tadmin  ", "admin"));
    EXPECT_FALSE(http_group_listed("admin", ""));
}

TEST_F(Guarded, ValidUserAndTheNearestAccessFile)
{
    outer.write("www/docs/deep/x.txt", "x");
    EXPECT_TRUE(allowed("/docs/deep/x.txt"));
    // An access file above the root does not govern the tree below it.
    outer.write(".htaccess", "deny from \n");
    EXPECT_TRUE(allowed("/docs", 1));

    protect("", "AuthUserFile " + passwords + "\nrequire valid-user\n");
    // A subdirectory without rules of its own inherits the root's.
    for (auto [rel, is_dir] : {std::pair{"/docs/deep/x.txt", 0}, {"//docs//deep/", 1}, {"", 1}})
        EXPECT_FALSE(allowed(rel, is_dir)) << rel;
    std::string value = "Bearer " + base64("alice:secret");
    htable_store(request.headers, "AUTHORIZATION", 13, value.c_str(),
                 static_cast<uint32_t>(value.size()), true, nullptr);
    EXPECT_FALSE(allowed("/x"));
    authorize("alice", "wrong");
    log.clear();
    EXPECT_FALSE(allowed("/x"));
    EXPECT_EQ(log.text(), "error (http_check_access, 10566): invalid password for alice "
                          "ip:127.0.0.1 entered\n");
    authorize("bob", "hunter2");
    EXPECT_TRUE(allowed("/docs/deep/x.txt"));
    EXPECT_TRUE(allowed("", 1));

    // A nearer file replaces the root's rules for its tree; a directory has its own.
    protect("/docs", "allow from 10.\n");
    EXPECT_FALSE(allowed("/docs/deep/x.txt"));
    EXPECT_FALSE(allowed("/docs", 1));
    EXPECT_TRUE(allowed("/x.txt"));
    std::strcpy(sock.peer, "10.9.8.7");
    EXPECT_TRUE(allowed("/docs/deep/x.txt"));
    EXPECT_TRUE(allowed("/docs", 1));
}

TEST_F(Guarded, AllowAndDenyRules)
{
    protect("/open", "allow from 127.0.0.1\n");
    EXPECT_FALSE(allowed("/open/a")); // the header is demanded whenever an access file exists
    authorize("nobody", "x");
    EXPECT_TRUE(allowed("/open/a"));
    std::strcpy(sock.peer, "::ffff:127.0.0.1");
    EXPECT_TRUE(allowed("/open/a"));
    std::strcpy(sock.peer, "127.0.0.10");
    EXPECT_FALSE(allowed("/open/a"));

    // An empty deny, "all" and anything that is no address prefix refuse everyone.
    for (const char* rule : {"deny from \n", "deny from all\n", "deny from localhost\n"}) {
        protect("/closed", rule);
        EXPECT_FALSE(allowed("/closed/a")) << rule;
    }
    protect("/tens", "deny from 10. \n");
    std::strcpy(sock.peer, "10.1.2.3");
    EXPECT_FALSE(allowed("/tens/a"));
    std::strcpy(sock.peer, "110.1.2.3");
    EXPECT_TRUE(allowed("/tens/a"));
    // A refusing line stops the reading; a later deny still refuses.
    protect("/order", "deny from 110.1\nallow from 110.1\n");
    EXPECT_FALSE(allowed("/order/a"));
    protect("/order", "allow from 110.1\ndeny from 110.1.2\n");
    EXPECT_FALSE(allowed("/order/a"));
}

TEST_F(Guarded, GroupRequirements)
{
    const std::string files = "AuthUserFile " + passwords + "\nAuthGroupFile " + groups + "\n";
    const std::string reversed = "AuthGroupFile " + groups + "\nAuthUserFile " + passwords + "\n";
    authorize("alice", "secret");
    const std::pair<std::string, bool> rules[] = {
        {files + "require group admins\n", false},
        {files + "require group superadmin\n", false},
        {files + "require group admins admin\n", true},
        {reversed + "require group admin\n", false}, // groups only count after the users
        {reversed, false},
    };
    for (const auto& [text, expected] : rules) {
        protect("/admin", text);
        EXPECT_EQ(allowed("/admin/a"), expected) << text;
    }
    authorize("alice", "guess"); // a wrong password finds no group
    protect("/admin", files + "require group admin\n");
    EXPECT_FALSE(allowed("/admin/a"));
    authorize("bob", "hunter2");
    protect("/admin", files + "require group users\n");
    EXPECT_TRUE(allowed("/admin/a"));

    // Every file may end its lines with CR LF.
    std::string crlf_passwords = outer.write("passwd.crlf", "alice:secret\r\n");
    std::string crlf_groups = outer.write("groups.crlf", "admin: bob alice\r\n");
    protect("", "AuthUserFile " + crlf_passwords + "\r\nAuthGroupFile " + crlf_groups +
                    "\r\n\r\nrequire group admin\r\nallow from 127.0.0.1\r\n");
    authorize("alice", "secret");
    EXPECT_TRUE(allowed("/a"));
}

TEST_F(Guarded, WhatCannotBeReadOrSearchedRefuses)
{
    authorize("alice", "secret");
    // A line longer than the reader's buffer might hide a refusing rule.
    protect("", "allow from 127.0.0.1\n#" + std::string(3000, 'x') + "\n");
    EXPECT_FALSE(allowed("/a"));
    // An access "file" that is a directory cannot be read as rules.
    std::filesystem::create_directories(root + "/d/.htaccess");
    EXPECT_FALSE(allowed("/d/a"));
    std::filesystem::create_directories(root + "/e");
    std::filesystem::create_symlink(outer.file("gone"), root + "/e/.htaccess");
    EXPECT_FALSE(allowed("/e/a"));
    // A path too long to search is refused, never treated as unprotected.
    EXPECT_FALSE(allowed("/" + std::string(PATH_MAX - root.size() - 8, 'x') + "/f"));
    EXPECT_FALSE(allowed(std::string(PATH_MAX, 'y')));
    EXPECT_FALSE(allowed("/" + std::string(PATH_MAX, 'z'), 1));
    if (::geteuid() == 0)
        return; // permissions do not bind the superuser
    std::filesystem::remove(root + "/.htaccess");
    outer.write("www/hidden/a", "x");
    ::chmod((root + "/hidden").c_str(), 0);
    EXPECT_FALSE(allowed("/hidden/a"));
    ::chmod((root + "/hidden").c_str(), 0700);
    EXPECT_TRUE(allowed("/hidden/a"));
}
