#include "http/resolve.h"

#include "site.h"

using namespace qtest;

TEST(SplitUri, KeysAreBoundedInLength)
{
    uri_parts parts;
    uri_keys keys;
    // 259 bytes still split, 260 do not; a key too long is skipped and the others stay.
    for (auto [path, first, second] :
         {std::tuple<std::string, std::string, std::string>{"/" + std::string(259, 'a'), "", ""},
          {"/" + std::string(79, 'n'), "", "*" + std::string(79, 'n') + ".*"},
          {"/cgi/run.x", "*run", "*run.*"}}) {
        split_uri(path.c_str(), &parts);
        make_uri_keys(&parts, &keys);
        EXPECT_EQ(keys.key[0], first) << path;
        EXPECT_EQ(keys.key[1], second) << path;
    }
}

TEST_F(Site, IndexFilesDirectoriesAndMimeTypes)
{
    const std::string not_found = "HTTP/1.0 404 File not found";
    dir.write("www/index.html", "<p>home</p>");
    dir.write("www/sub/index.html", "x");
    EXPECT_EQ(get("/").body(), "<p>home</p>");
    EXPECT_TRUE(listing_head(get("/sub").body(), "/sub", 'm')); // never its index file
    // The fallback is for the index name only, and only onto a directory.
    for (const char* path :
         {"/sub/x/index.html", "/sub/old-index.html", "/sub/index.html/index.html"})
        EXPECT_EQ(status(path), not_found) << path;
    server.flags = 0; // and without listings, no index file is no page
    std::filesystem::remove(root + "/index.html");
    EXPECT_EQ(status("/"), not_found);
    log.clear();
    EXPECT_EQ(status("/sub"), not_found);
    EXPECT_EQ(log.text(), "error (httpsrv_rslvpath, 14585): " + root + "/sub is not a file\n");

    const std::tuple<const char*, std::string, const char*> files[] = {
        {"/style.min.css", "body { color: red; }\r\n\t", "text/plain"},
        {"/blob.min.css", std::string("\x89PNG\0", 5), "application/octet-stream"},
        {"/FILE.HTML", "<p>x</p>", "text/plain"},
        {"/photo.jpg", "not really a jpeg", "image/jpeg"},
        {"/empty", "", "application/octet-stream"},
        {"/high", "caf\xC3\xA9", "application/octet-stream"},
        {"/del", "\x7F", "application/octet-stream"},
        {"/long", std::string(256, 'a') + "\x01", "text/plain"},
        {"/html", "\x01", "text/html"}};
    for (const auto& [path, contents, type] : files) {
        dir.write(std::string("www") + path, contents);
        EXPECT_EQ(get(path).head()[3], std::string("Content-Type: ") + type) << path;
    }
    // Without the last fallback row nothing can type the answer.
    htable_destroy(&server.mime_table);
    server.mime_table = htable_create(10);
    EXPECT_EQ(status("/blob.min.css"), "HTTP/1.0 500 Internal Server Error");
}

TEST_F(Site, MappedPathsByMethod)
{
    const std::string hello = "hello", failure = message_page("database <down>");
    dir.write("www/f.html", "file");
    map(server.get_uris, "/f.html", print_fn);
    map(server.get_uris, "/cgi/*", failing_fn);
    map(server.get_uris, "*run", print_fn);
    map(server.post_uris, "/form", print_fn, false);
    EXPECT_EQ(get("/f.html").body(), hello);
    EXPECT_EQ(get("/cgi/run.x").body(), hello); // "*run" is tried before "/cgi/*"
    EXPECT_EQ(get("/cgi/other.x").body(), failure);
    // HEAD is always a file; a path registered only for POST answers GET from the files.
    EXPECT_EQ(exchange("HEAD /f.html HTTP/1.0\r\n\r\n").head()[5], "Content-Length: 4");
    EXPECT_EQ(status("/cgi/run.x", "HEAD "), "HTTP/1.0 404 File not found");
    EXPECT_EQ(status("/form"), "HTTP/1.0 404 File not found");
    Reply post = exchange("POST /form HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(post.head()[3], "Content-Type: application/octet-stream");
    EXPECT_EQ(post.body(), hello);
    // A mapped path may hold "..": it reaches its function, unless ".." is a whole segment,
    // which cannot be placed under the root to be checked for access files.
    EXPECT_EQ(get("/cgi/a..b").body(), failure);
    EXPECT_EQ(status("/cgi/../run.x"), "HTTP/1.0 401 Authorization required");
    // A path too long to split is still looked up whole.
    std::string path = "/" + std::string(200, 'd') + "/" + std::string(100, 'f') + ".txt";
    dir.write("www" + path, "long");
    EXPECT_EQ(get(path).body(), "long");
    map(server.get_uris, path, failing_fn);
    EXPECT_EQ(get(path).body(), failure);
}

TEST_F(Site, ResolverRefusals)
{
    char out[RESOLVED_PATH_SIZE];
    uint32_t code = 0;
    int is_dir = 1;
    EXPECT_EQ(httpsrv_rslvpath(out, nullptr, &server, sizeof(out), &code, &is_dir), -1);
    qtest::expect_report(log, "error (httpsrv_rslvpath, 14492): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);
    // Root, path, separator and terminator must fit exactly.
    std::string path = "/" + std::string(RESOLVED_PATH_SIZE - root.size() - 2, 'x');
    EXPECT_EQ(httpsrv_rslvpath(out, path.c_str(), &server, sizeof(out), &code, &is_dir), -1);
    EXPECT_EQ(code, STATUS_NOT_FOUND);
    path += "x";
    log.clear();
    EXPECT_EQ(httpsrv_rslvpath(out, path.c_str(), &server, sizeof(out), &code, &is_dir),
              static_cast<int>(root.size() + path.size()));
    qtest::expect_report(log, "error (httpsrv_rslvpath, 14516): provided buffer is too small\n",
                         ENOSPC, LAST_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(status(path), "HTTP/1.0 500 Internal Server Error");
    EXPECT_EQ(map_local_path(&server, "a\\b", out, sizeof(out)), 0);
    EXPECT_EQ(out, root + "/a/b");
    EXPECT_EQ(map_local_path(&server, "/a/../b", out, sizeof(out)), -1);
    // A FIFO is refused at once instead of blocking the handler.
    ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
    EXPECT_EQ(status("/pipe"), "HTTP/1.0 401 Unauthorized");
    // File sizes beyond four gigabytes, where sparse files exist.
    std::error_code error;
    std::filesystem::resize_file(dir.write("www/big.bin", ""), 5ull << 30, error);
    EXPECT_TRUE(error || exchange("HEAD /big.bin HTTP/1.0\r\n\r\n").head()[5] ==
                             "Content-Length: 5368709120");
    if (::geteuid() == 0)
        return; // permissions do not bind the superuser
    ::chmod((root + "/docs").c_str(), 0);
    EXPECT_EQ(status("/docs"), "HTTP/1.0 401 Unauthorized");
    ::chmod((root + "/docs").c_str(), 0700);
}

TEST_F(Site, RequestsNeverLeaveTheRootNorReachAccessFiles)
{
    dir.write("www/index.html", "home");
    dir.write("www/sub/a.txt", "a");
    dir.write("www/sub/.htpasswd", "alice:secret\n");
    dir.write("www/.htdir/x", "");
    const std::string refused = "HTTP/1.0 401 Unauthorized", forbidden = "HTTP/1.0 403 Forbidden";
    const std::pair<std::string, std::string> attempts[] = {
        {"/../secret.txt", refused},
        {"/sub/../../secret.txt", refused},
        {"/sub\\..\\..\\secret.txt", refused},
        {"/%2e%2e/secret.txt", refused},
        {"/sub/%2e%2e%2f%2e%2e%2fsecret.txt", refused},
        {"/sub/..", refused},
        {"/sub/a.txt%00/../../secret.txt", refused},
        {canary, "HTTP/1.0 404 File not found"},
        {"//" + canary.substr(1), "HTTP/1.0 404 File not found"},
        {"/sub/.htpasswd", forbidden},
        {"\\sub\\.htpasswd", forbidden},
        {"/.htdir/.", forbidden},
        {"/sub/.htmissing", forbidden}};
    for (const auto& [path, line] : attempts) {
        Reply r = get(path);
        EXPECT_EQ(r.head()[0], line) << path;
        EXPECT_EQ(r.body().find("canary"), npos) << path;
    }
    log.clear();
    get("/../secret.txt");
    EXPECT_EQ(log.text(), "error (httpsrv_rslvpath, 14503): invalid path \"/../secret.txt\", "
                          "\"..\" not allowed\n");
    // A backslash is a separator; a name without '/' is the index.
    EXPECT_EQ(get("\\sub\\a.txt").body(), "a");
    EXPECT_EQ(get("secret.txt").body(), "home");
}
