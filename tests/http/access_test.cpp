#include "http/access.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"
#include "support/support.h"

#include <cerrno>
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
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
    }
    if (in.size() - i == 1) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
    } else if (in.size() - i == 2) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
    }
    return out;
}

std::string decode(const std::string& text, int size = 64)
{
    unsigned char out[64] = {};
    int n = b64_decode(text.c_str(), out, size);
    return n < 0 ? "<fail>" : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

// A root "www" inside a scratch directory, a request from 127.0.0.1 and a password file
// (alice/secret, bob/hunter2) and group file outside the root.
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
        authorize_raw("Basic " + base64(user + ":" + password));
    }
    void authorize_raw(const std::string& value)
    {
        ASSERT_EQ(htable_store(request.headers, "AUTHORIZATION", 13, value.c_str(),
                               static_cast<uint32_t>(value.size()), true, nullptr),
                  0);
    }
    void protect(const std::string& dir, const std::string& rules)
    {
        outer.write("www/" + dir + (dir.empty() ? "" : "/") + ".htaccess", rules);
    }
    // The check for `rel` below the root: true when allowed. A refusal must mark the request.
    bool allowed(const std::string& rel, int is_dir = 0)
    {
        request.flags = REQUEST_GET;
        request.status = 0;
        int result = http_check_htaccess(&request, (root + rel).c_str(), is_dir);
        if (result == 0) {
            EXPECT_EQ(request.flags, REQUEST_GET) << rel;
            return true;
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(request.flags, REQUEST_GET | REQUEST_FAILED) << rel;
        EXPECT_EQ(request.status, STATUS_AUTH_REQUIRED) << rel;
        return false;
    }

    qtest::TempDir outer;
    qtest::ErrorLog log;
    std::string root;
    std::string passwords;
    std::string groups;
    server_record server{};
    quorvel::socket sock{};
    request_data request{};
};

} // namespace

TEST(Base64, DecodesByTheStrictRules)
{
    EXPECT_EQ(decode("dXNlcjpwYXNz"), "user:pass");
    EXPECT_EQ(decode("YQ=="), "a");
    EXPECT_EQ(decode("YWI="), "ab");
    EXPECT_EQ(decode(" dX\tNl\ncjpw YXNz \r\n"), "user:pass");
    EXPECT_EQ(decode("YQ== \n"), "a");
    EXPECT_EQ(decode("YQ =\n="), "a");
    EXPECT_EQ(decode(""), "");
    EXPECT_EQ(decode("YWM="), "ac");
    for (const char* bad : {"YQ", "YQ=", "Y===", "====", "YR==", "YWJ=x",
                            "YWI==", "YQ==YQ==", "dXNl*jpw", "dXNl-cjp", "YWN=", "\x80"})
        EXPECT_EQ(decode(bad), "<fail>") << bad;
    // The output bound counts every byte written.
    EXPECT_EQ(decode("YWJj", 3), "abc");
    EXPECT_EQ(decode("YWJj", 2), "<fail>");
    // As in the classic routine, a quantum's padding-only byte needs room too.
    EXPECT_EQ(decode("YWI=", 3), "ab");
    EXPECT_EQ(decode("YWI=", 2), "<fail>");
}

TEST_F(Guarded, PasswordFileDecidesCredentials)
{
    char user[HTACCESS_USER_SIZE];
    auto check = [&](const std::string& file, const std::string& credentials) {
        return http_check_access(file.c_str(), credentials.c_str(), user, "10.0.0.7", sizeof(user));
    };
    set_debug(true);
    EXPECT_EQ(check(passwords, base64("bob:hunter2")), 1);
    EXPECT_STREQ(user, "bob");
    EXPECT_EQ(log.text(), "(http_check_access, 10558): user bob ip:10.0.0.7 connected\n");
    set_debug(false);
    log.clear();

    EXPECT_EQ(check(passwords, base64("alice:secreT")), 0);
    EXPECT_STREQ(user, "alice");
    EXPECT_EQ(log.text(),
              "error (http_check_access, 10566): invalid password for alice ip:10.0.0.7 entered\n");
    log.clear();
    EXPECT_EQ(check(passwords, base64("eve:secret")), 0);
    EXPECT_EQ(log.text(), "error (http_check_access, 10575): unknown user eve attempted to "
                          "login from ip:10.0.0.7\n");
    log.clear();
    EXPECT_EQ(check(passwords, "not base64!"), 0);
    EXPECT_EQ(log.text(), "error (http_check_access, 10524): could not decode string \"not "
                          "base64!\" from ip:10.0.0.7\n");
    log.clear();
    EXPECT_EQ(check(passwords, base64("alice")), 0);
    EXPECT_EQ(log.text(), "error (http_check_access, 10534): missing password string from user "
                          "alice, ip:10.0.0.7\n");
    log.clear();
    EXPECT_EQ(check(outer.file("none"), base64("alice:secret")), 0);
    EXPECT_EQ(log.text(), "error (http_check_access, 10513): No such file or directory\n");
    log.clear();
    // A zero byte would make "secret\0junk" equal to "secret".
    EXPECT_EQ(check(passwords, base64(std::string("alice:secret\0junk", 17))), 0);
    EXPECT_NE(log.text().find("could not decode string"), std::string::npos);
    // Control characters a client sends are escaped in the log.
    log.clear();
    EXPECT_EQ(check(passwords, base64("ev\ne:x")), 0);
    EXPECT_NE(log.text().find("unknown user ev\\x0Ae attempted"), std::string::npos) << log.text();
}

TEST_F(Guarded, PasswordLinesWithoutLineFeedOrWithCarriageReturn)
{
    char user[HTACCESS_USER_SIZE];
    std::string last = outer.write("last", "bob:x\nalice:secret");
    EXPECT_EQ(http_check_access(last.c_str(), base64("alice:secret").c_str(), user, "", 1024), 1);
    EXPECT_EQ(http_check_access(last.c_str(), base64("alice:secre").c_str(), user, "", 1024), 0);
    std::string crlf = outer.write("crlf", "bob:x\r\nalice:secret\r\n");
    EXPECT_EQ(http_check_access(crlf.c_str(), base64("alice:secret").c_str(), user, "", 1024), 1);
    // The tail of an over-long line is not a line of its own.
    std::string over = outer.write("over", "carol:" + std::string(600, 'p') + "bob:pw\n");
    EXPECT_EQ(http_check_access(over.c_str(), base64("bob:pw").c_str(), user, "", 1024), 0);
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
    // The first group listing the user wins; separators are blanks, commas, semicolons, colons.
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

TEST(AccessRules, AddressPrefixesMatchWholeFields)
{
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"10.1", "10.1.2.3", true},
        {"10.1.", "10.1.2.3", true},
        {"10.1", "10.10.0.1", false},
        {"10.1.", "10.10.0.1", false},
        {"10.", "110.1.2.3", false},
        {"10.", "10.1.2.3", true},
        {"10.1.2.3", "10.1.2.3", true},
        {"10.1.2.3", "10.1.2.30", false},
        {"10.1", "::ffff:10.1.2.3", true},
        {"10.1", "::FFFF:10.10.2.3", false},
        {"::ffff:10.1", "10.1.2.3", true},
        {"2001:db8", "2001:db8::1", true},
        {"2001:DB8:", "2001:db8::1", true},
        {"2001:db", "2001:db8::1", false},
        {"::1", "::1", true},
        {"all", "192.168.0.1", true},
        {"", "192.168.0.1", true},
        {"192.168.0.1", "", false},
    };
    for (auto [prefix, client, expected] : cases)
        EXPECT_EQ(http_address_match(prefix, client), expected) << prefix << " / " << client;
}

TEST(AccessRules, GroupListsNameWholeGroups)
{
    EXPECT_FALSE(http_group_listed("admins", "admin"));
    EXPECT_FALSE(http_group_listed("superadmin", "admin"));
    EXPECT_TRUE(http_group_listed("admins admin", "admin"));
    EXPECT_TRUE(http_group_listed("  staff\tadmin  ", "admin"));
    EXPECT_FALSE(http_group_listed("", "admin"));
    EXPECT_FALSE(http_group_listed("admin", ""));
}

TEST_F(Guarded, WithoutAnAccessFileEverythingPasses)
{
    outer.write("www/a/b.txt", "x");
    EXPECT_TRUE(allowed("/a/b.txt"));
    EXPECT_TRUE(allowed("/a", 1));
    EXPECT_TRUE(allowed("", 1));
    // An access file above the root does not govern the tree below it.
    outer.write(".htaccess", "deny from \n");
    EXPECT_TRUE(allowed("/a/b.txt"));
}

TEST_F(Guarded, ValidUserNeedsTheRightCredentials)
{
    protect("", "AuthUserFile " + passwords + "\nrequire valid-user\n");
    EXPECT_FALSE(allowed("/page.html"));
    authorize_raw("Bearer " + base64("alice:secret"));
    EXPECT_FALSE(allowed("/page.html"));
    authorize("alice", "wrong");
    log.clear();
    EXPECT_FALSE(allowed("/page.html"));
    EXPECT_EQ(
        log.text(),
        "error (http_check_access, 10566): invalid password for alice ip:127.0.0.1 entered\n");
    authorize("alice", "secret");
    EXPECT_TRUE(allowed("/page.html"));
    EXPECT_TRUE(allowed("", 1));
}

TEST_F(Guarded, NearestAccessFileGovernsUpToTheRoot)
{
    protect("", "AuthUserFile " + passwords + "\nrequire valid-user\n");
    outer.write("www/docs/deep/x.txt", "x");
    // A subdirectory without rules of its own inherits the root's.
    EXPECT_FALSE(allowed("/docs/deep/x.txt"));
    EXPECT_FALSE(allowed("/docs/deep", 1));
    EXPECT_FALSE(allowed("//docs//deep/", 1));
    authorize("bob", "hunter2");
    EXPECT_TRUE(allowed("/docs/deep/x.txt"));
    // A nearer file replaces the root's rules for its tree, and a directory request is governed
    // by the directory's own file.
    protect("docs", "allow from 10.\n");
    EXPECT_FALSE(allowed("/docs/deep/x.txt"));
    EXPECT_FALSE(allowed("/docs", 1));
    EXPECT_TRUE(allowed("/x.txt"));
    std::strcpy(sock.peer, "10.9.8.7");
    EXPECT_TRUE(allowed("/docs/deep/x.txt"));
    EXPECT_TRUE(allowed("/docs", 1));
}

TEST_F(Guarded, AllowAndDenyRules)
{
    authorize("nobody", "x");
    protect("open", "allow from 127.0.0.1\n");
    EXPECT_TRUE(allowed("/open/a"));
    std::strcpy(sock.peer, "::ffff:127.0.0.1");
    EXPECT_TRUE(allowed("/open/a"));
    std::strcpy(sock.peer, "127.0.0.10");
    EXPECT_FALSE(allowed("/open/a"));
    htable_destroy(&request.headers);
    request.headers = htable_create(10);
    std::strcpy(sock.peer, "127.0.0.1");
    EXPECT_FALSE(allowed("/open/a")); // the header is demanded whenever an access file exists
    authorize("nobody", "x");

    protect("closed", "deny from \n");
    EXPECT_FALSE(allowed("/closed/a"));
    protect("closed", "deny from all\n");
    EXPECT_FALSE(allowed("/closed/a"));
    protect("closed", "deny from localhost\n");
    EXPECT_FALSE(allowed("/closed/a"));
    protect("tens", "deny from 10. \n");
    std::strcpy(sock.peer, "10.1.2.3");
    EXPECT_FALSE(allowed("/tens/a"));
    std::strcpy(sock.peer, "110.1.2.3");
    EXPECT_TRUE(allowed("/tens/a"));
    // A refusing line stops the reading: the allow after it is never seen.
    protect("order", "deny from 110.1\nallow from 110.1\n");
    EXPECT_FALSE(allowed("/order/a"));
    protect("order", "allow from 110.1\ndeny from 110.1.2\n");
    EXPECT_FALSE(allowed("/order/a"));
}

TEST_F(Guarded, GroupRequirements)
{
    const std::string files = "AuthUserFile " + passwords + "\nAuthGroupFile " + groups + "\n";
    authorize("alice", "secret");
    protect("admin", files + "require group admins\n");
    EXPECT_FALSE(allowed("/admin/a"));
    protect("admin", files + "require group superadmin\n");
    EXPECT_FALSE(allowed("/admin/a"));
    protect("admin", files + "require group admins admin\n");
    EXPECT_TRUE(allowed("/admin/a"));
    // The group file only counts after the password file.
    protect("admin",
            "AuthGroupFile " + groups + "\nAuthUserFile " + passwords + "\nrequire group admin\n");
    EXPECT_FALSE(allowed("/admin/a"));
    protect("admin", "AuthGroupFile " + groups + "\nAuthUserFile " + passwords + "\n");
    EXPECT_FALSE(allowed("/admin/a"));
    // A wrong password finds no group.
    authorize("alice", "guess");
    protect("admin", files + "require group admin\n");
    EXPECT_FALSE(allowed("/admin/a"));
    authorize("bob", "hunter2");
    protect("admin", files + "require group users\n");
    EXPECT_TRUE(allowed("/admin/a"));
}

TEST_F(Guarded, CarriageReturnsAreStripped)
{
    authorize("alice", "secret");
    std::string crlf_passwords = outer.write("passwd.crlf", "alice:secret\r\n");
    std::string crlf_groups = outer.write("groups.crlf", "admin: bob alice\r\n");
    protect("", "AuthUserFile " + crlf_passwords + "\r\nAuthGroupFile " + crlf_groups +
                    "\r\n\r\nrequire group admin\r\nallow from 127.0.0.1\r\n");
    EXPECT_TRUE(allowed("/a"));
}

TEST_F(Guarded, WhatCannotBeReadOrSearchedRefuses)
{
    authorize("alice", "secret");
    protect("", "allow from 127.0.0.1\n");
    EXPECT_TRUE(allowed("/a"));
    // A line longer than the reader's buffer might hide a refusing rule.
    protect("", "allow from 127.0.0.1\n#" + std::string(3000, 'x') + "\n");
    EXPECT_FALSE(allowed("/a"));
    // An access "file" that is a directory cannot be read as rules.
    std::filesystem::create_directories(root + "/d/.htaccess");
    EXPECT_FALSE(allowed("/d/a"));
    // A path too long to search is refused, never treated as unprotected.
    std::string deep = "/" + std::string(PATH_MAX - root.size() - 8, 'x') + "/f";
    EXPECT_FALSE(allowed(deep));
    EXPECT_FALSE(allowed(std::string(PATH_MAX, 'y')));
    EXPECT_FALSE(allowed("/" + std::string(PATH_MAX, 'z'), 1));
}

TEST_F(Guarded, UnsearchableDirectoryRefuses)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    authorize("alice", "secret");
    outer.write("www/hidden/a", "x");
    ::chmod((root + "/hidden").c_str(), 0);
    // Whether an access file is there cannot be told, so the request is not let through.
    EXPECT_FALSE(allowed("/hidden/a"));
    ::chmod((root + "/hidden").c_str(), 0700);
    EXPECT_TRUE(allowed("/hidden/a"));
}
