#include "http/resolve.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "http/access.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace quorvel;

namespace {

char* page_fn(envelope*, envelope*)
{
    return nullptr;
}
char* other_fn(envelope*, envelope*)
{
    return nullptr;
}

std::vector<std::string> keys_of(const std::string& path)
{
    uri_parts parts;
    uri_keys keys;
    split_uri(path.c_str(), &parts);
    make_uri_keys(&parts, &keys);
    return std::vector<std::string>(std::begin(keys.key), std::end(keys.key));
}

// What map_uri made of one request; "<none>" stands for NULL.
struct outcome {
    uint32_t status = 0, kind = 0;
    std::string local, type;
    uint64_t size = 0;
    const void* target = nullptr;
    quorvel_uri_fn function = nullptr;
};

// A root "www" beside a canary file outside it, MIME rows, empty URI tables and a client on
// 127.0.0.1.
class Site : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = outer.file("www");
        std::filesystem::create_directories(root);
        canary = outer.write("secret.txt", "canary");
        server.root = root.data();
        std::strcpy(server.index, "/index.html");
        for (htable** t : tables())
            *t = htable_create(100);
        for (auto [ext, type, encoding] : {std::tuple{"html", "text/html", 1},
                                           {"txt", "text/plain", 1},
                                           {"unknown_txt", "text/plain", 1},
                                           {"unknown", "application/octet-stream", 0},
                                           {"jpg", "image/jpeg", 0}}) {
            mime_record row{nullptr, const_cast<char*>(type), static_cast<uint32_t>(encoding)};
            htable_store(server.mime_table, ext, static_cast<uint32_t>(std::strlen(ext)), &row,
                         sizeof(row), true, nullptr);
        }
        std::strcpy(sock.peer, "127.0.0.1");
    }
    void TearDown() override
    {
        for (htable** t : tables())
            htable_destroy(t);
    }
    std::vector<htable**> tables()
    {
        return {&server.mime_table, &server.get_uris, &server.post_uris, &server.content_cache};
    }
    void add_uri(htable* table, const std::string& key, quorvel_uri_fn fn, bool typed = true)
    {
        static mime_record html{nullptr, const_cast<char*>("text/html"), QUORVEL_ENC_TEXT};
        uri_record record{fn, typed ? &html : nullptr};
        htable_store(table, key.data(), static_cast<uint32_t>(key.size()), &record, sizeof(record),
                     true, nullptr);
    }
    outcome resolve(const std::string& path, uint32_t method = REQUEST_GET)
    {
        request_data request{};
        request.flags = method;
        request.server = &server;
        request.sock = &sock;
        request.headers = htable_create(10);
        if (!authorization.empty())
            htable_store(request.headers, "AUTHORIZATION", 13, authorization.c_str(),
                         static_cast<uint32_t>(authorization.size()), true, nullptr);
        int result = map_uri(&request, path.c_str());
        outcome o{request.status,
                  request.kind,
                  request.local_path != nullptr ? request.local_path : "<none>",
                  request.mime != nullptr ? request.mime->content_type : "<none>",
                  request.file_size,
                  request.target};
        EXPECT_EQ(result == 0, (request.flags & REQUEST_FAILED) == 0) << path;
        if (result == 0 && request.kind == KIND_FUNCTION)
            o.function = static_cast<const uri_record*>(request.target)->callback;
        // A file or directory is its own target: the one copy of the local path.
        if (result == 0 && request.kind <= KIND_DIRECTORY) {
            EXPECT_EQ(request.target, request.local_path) << path;
        }
        quorvel_mem_free(request.uri);
        quorvel_mem_free(request.local_path);
        htable_destroy(&request.headers);
        return o;
    }

    qtest::TempDir outer;
    qtest::ErrorLog log;
    std::string root, canary, authorization;
    server_record server{};
    quorvel::socket sock{};
};

} // namespace

TEST(SplitUri, TheSevenKeysInOrderAndTheirLengthBounds)
{
    EXPECT_EQ(keys_of("/cgi/run.x"),
              (std::vector<std::string>{"*run", "*run.*", "/cgi/run.*", "/cgi/*.*", "/cgi/*.x",
                                        "*run.x", "/cgi/*"}));
    EXPECT_EQ(keys_of("/docs/"),
              (std::vector<std::string>{"*", "*.*", "/docs/.*", "/docs/*.*", "", "", "/docs/*"}));
    // 259 bytes still split; 260 do not. An over-long key is skipped, the others stay.
    EXPECT_EQ(keys_of("/" + std::string(259, 'a')), std::vector<std::string>(7));
    std::string name79(79, 'n');
    EXPECT_EQ(keys_of("/" + name79)[0], "");
    EXPECT_EQ(keys_of("/" + name79)[1], "*" + name79 + ".*");
}

TEST_F(Site, DirectoriesAndTheIndexFile)
{
    std::string index = outer.write("www/index.html", "<p>home</p>");
    outer.write("www/sub/index.html", "x");
    outcome o = resolve("/");
    EXPECT_EQ(o.kind, KIND_FILE);
    EXPECT_EQ(o.local, index);
    EXPECT_EQ(o.type, "text/html");
    EXPECT_EQ(o.size, 11u);
    // A subdirectory is never answered with its index file.
    EXPECT_EQ(resolve("/sub").status, STATUS_NOT_FOUND);
    EXPECT_EQ(log.text(), "error (httpsrv_rslvpath, 14585): " + root + "/sub is not a file\n");
    server.flags = SERVER_DIRLIST;
    o = resolve("/sub");
    EXPECT_EQ(o.kind, KIND_DIRECTORY);
    EXPECT_EQ(o.type, "text/html");
    std::filesystem::remove(index);
    EXPECT_EQ(resolve("/").local, root);
    // The fallback is for the index name only, and only onto a directory.
    for (const char* path :
         {"/sub/x/index.html", "/sub/old-index.html", "/sub/index.html/index.html"})
        EXPECT_EQ(resolve(path).status, STATUS_NOT_FOUND) << path;
    server.flags = 0;
    EXPECT_EQ(resolve("/").status, STATUS_NOT_FOUND);
}

TEST_F(Site, MimeByExtensionThenByContent)
{
    const std::tuple<const char*, std::string, const char*> files[] = {
        {"/style.min.css", "body { color: red; }\r\n\t", "text/plain"},
        {"/blob.min.css", std::string("\x89PNG\0", 5), "application/octet-stream"},
        {"/FILE.HTML", "<p>x</p>", "text/plain"},
        {"/photo.jpg", "not really a jpeg", "image/jpeg"},
        {"/empty", "", "application/octet-stream"},
        {"/high", "caf\xC3\xA9", "application/octet-stream"},
        {"/del", "\x7F", "application/octet-stream"},
        {"/long", std::string(256, 'a') + "\x01", "text/plain"},
        {"/html", "\x01", "text/html"},
    };
    for (const auto& [path, contents, type] : files) {
        outer.write(std::string("www") + path, contents);
        EXPECT_EQ(resolve(path).type, type) << path;
    }
    // Without the last fallback row nothing can type the answer.
    htable_destroy(&server.mime_table);
    server.mime_table = htable_create(10);
    EXPECT_EQ(resolve("/blob.min.css").status, STATUS_INTERNAL);
}

TEST_F(Site, MappedPathsByMethod)
{
    outer.write("www/f.html", "file");
    add_uri(server.get_uris, "/f.html", page_fn);
    add_uri(server.get_uris, "/cgi/*", other_fn);
    add_uri(server.get_uris, "*run", page_fn);
    add_uri(server.post_uris, "/form", page_fn, false);
    htable_store(server.content_cache, "/about", 6, "<p>stored</p>", 13, true, nullptr);

    outcome o = resolve("/f.html");
    EXPECT_EQ(o.function, &page_fn);
    EXPECT_EQ(o.local, root + "/f.html");
    EXPECT_EQ(resolve("/cgi/run.x").function, &page_fn); // "*run" is tried before "/cgi/*"
    EXPECT_EQ(resolve("/cgi/other.x").function, &other_fn);
    // HEAD is always a file; a path registered only for POST answers GET from the files.
    EXPECT_EQ(resolve("/f.html", REQUEST_HEAD).kind, KIND_FILE);
    EXPECT_EQ(resolve("/cgi/run.x", REQUEST_HEAD).status, STATUS_NOT_FOUND);
    EXPECT_EQ(resolve("/form").status, STATUS_NOT_FOUND);
    o = resolve("/form", REQUEST_POST);
    EXPECT_EQ(o.function, &page_fn);
    EXPECT_EQ(o.type, "application/octet-stream");
    o = resolve("/about");
    EXPECT_EQ(o.kind, KIND_CONTENT);
    EXPECT_STREQ(static_cast<const char*>(o.target), "<p>stored</p>");
    // A mapped path may hold "..": it reaches its function, with no local path.
    o = resolve("/cgi/a..b");
    EXPECT_EQ(o.function, &other_fn);
    EXPECT_EQ(o.local, "<none>");
    // A path too long to split is still looked up whole.
    std::string path = "/" + std::string(200, 'd') + "/" + std::string(100, 'f') + ".txt";
    outer.write("www" + path, "long");
    EXPECT_EQ(resolve(path).local, root + path);
    add_uri(server.get_uris, path, other_fn);
    EXPECT_EQ(resolve(path).function, &other_fn);
}

TEST_F(Site, RequestsNeverLeaveTheRootNorReachAccessFiles)
{
    outer.write("www/index.html", "home");
    outer.write("www/sub/a.txt", "a");
    outer.write("www/sub/.htpasswd", "alice:secret\n");
    outer.write("www/.htdir/x", "");
    server.flags = SERVER_DIRLIST;
    const std::pair<std::string, uint32_t> attempts[] = {
        {"/../secret.txt", STATUS_UNAUTHORIZED},
        {"/sub/../../secret.txt", STATUS_UNAUTHORIZED},
        {"/sub\\..\\..\\secret.txt", STATUS_UNAUTHORIZED},
        {"/sub/..", STATUS_UNAUTHORIZED},
        {"/%2e%2e/secret.txt", STATUS_NOT_FOUND}, // an escape left after decoding is a name
        {canary, STATUS_NOT_FOUND},
        {"//" + canary.substr(1), STATUS_NOT_FOUND},
        {"/sub/.htpasswd", STATUS_FORBIDDEN},
        {"\\sub\\.htpasswd", STATUS_FORBIDDEN},
        {"/.htdir/.", STATUS_FORBIDDEN},
        {"/sub/.htmissing", STATUS_FORBIDDEN},
    };
    for (const auto& [path, status] : attempts) {
        outcome o = resolve(path);
        EXPECT_EQ(o.status, status) << path;
        EXPECT_EQ(o.local, "<none>") << path;
    }
    log.clear();
    resolve("/../secret.txt");
    EXPECT_EQ(log.text(), "error (httpsrv_rslvpath, 14503): invalid path \"/../secret.txt\", "
                          "\"..\" not allowed\n");
    // A NUL byte ends the path; a backslash is a separator; a name without '/' is the index.
    EXPECT_EQ(resolve(std::string("/sub/a.txt\0/../../secret.txt", 28)).local, root + "/sub/a.txt");
    EXPECT_EQ(resolve("\\sub\\a.txt").local, root + "/sub/a.txt");
    EXPECT_EQ(resolve("secret.txt").local, root + "/index.html");
    // Access rules guard files and listings alike.
    std::string passwords = outer.write("passwd", "alice:secret\n");
    outer.write("www/.htaccess", "AuthUserFile " + passwords + "\nrequire valid-user\n");
    for (const char* path : {"/sub/a.txt", "/sub", "/"})
        EXPECT_EQ(resolve(path).status, STATUS_AUTH_REQUIRED) << path;
    authorization = "Basic YWxpY2U6c2VjcmV0"; // alice:secret
    EXPECT_EQ(resolve("/sub").kind, KIND_DIRECTORY);
    EXPECT_EQ(resolve("/.htaccess").status, STATUS_FORBIDDEN);
}

TEST_F(Site, ResolverRefusals)
{
    char out[RESOLVED_PATH_SIZE];
    uint32_t status = 0;
    int is_dir = 1;
    EXPECT_EQ(httpsrv_rslvpath(out, nullptr, &server, sizeof(out), &status, &is_dir), -1);
    qtest::expect_report(log, "error (httpsrv_rslvpath, 14492): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);
    // Root, path, separator and terminator must fit exactly.
    std::string path = "/" + std::string(RESOLVED_PATH_SIZE - root.size() - 2, 'x');
    EXPECT_EQ(httpsrv_rslvpath(out, path.c_str(), &server, sizeof(out), &status, &is_dir), -1);
    EXPECT_EQ(status, STATUS_NOT_FOUND);
    path += "x";
    log.clear();
    EXPECT_EQ(httpsrv_rslvpath(out, path.c_str(), &server, sizeof(out), &status, &is_dir),
              static_cast<int>(root.size() + path.size()));
    qtest::expect_report(log, "error (httpsrv_rslvpath, 14516): provided buffer is too small\n",
                         ENOSPC, LAST_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(resolve(path).status, STATUS_INTERNAL);
    EXPECT_EQ(map_local_path(&server, "a\\b", out, sizeof(out)), 0);
    EXPECT_EQ(out, root + "/a/b");
    EXPECT_EQ(map_local_path(&server, "/a/../b", out, sizeof(out)), -1);

    // A FIFO is refused at once instead of blocking the handler.
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
    EXPECT_EQ(resolve("/pipe").status, STATUS_UNAUTHORIZED);
    EXPECT_FALSE(is_text_file((root + "/pipe").c_str()));
    // File sizes beyond four gigabytes.
    std::error_code error;
    std::filesystem::resize_file(outer.write("www/big.bin", ""), 5ull << 30, error);
    if (!error) {
        EXPECT_EQ(resolve("/big.bin").size, 5ull << 30);
    }
    if (::geteuid() == 0)
        return; // permissions do not bind the superuser
    outer.write("www/closed/a", "x");
    ::chmod((root + "/closed").c_str(), 0);
    server.flags = SERVER_DIRLIST;
    EXPECT_EQ(resolve("/closed").status, STATUS_UNAUTHORIZED);
    ::chmod((root + "/closed").c_str(), 0700);
}
