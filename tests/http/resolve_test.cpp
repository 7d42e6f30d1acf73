#include "http/resolve.h"

#include "site.h"

#include <climits>
#include <fcntl.h>
#include <sys/resource.h>

using namespace qtest;

namespace {

// Leaves only `spare` descriptors free until destroyed: the soft limit is lowered a little
// above the descriptors in use and every free number below it is taken.
class ScarceDescriptors {
public:
    explicit ScarceDescriptors(int spare)
    {
        EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0);
        int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_GE(first, 0);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, static_cast<rlim_t>(first) + 32);
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
        held_.push_back(first);
        for (rlim_t i = 0; i < lowered.rlim_cur; ++i) {
            int fd = ::fcntl(first, F_DUPFD_CLOEXEC, 0);
            if (fd < 0)
                break;
            held_.push_back(fd);
        }
        for (int i = 0; i < spare && !held_.empty(); ++i) {
            ::close(held_.back());
            held_.pop_back();
        }
    }
    ~ScarceDescriptors()
    {
        for (int fd : held_)
            ::close(fd);
        EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &saved_), 0);
    }
    ScarceDescriptors(const ScarceDescriptors&) = delete;
    ScarceDescriptors& operator=(const ScarceDescriptors&) = delete;

private:
    rlimit saved_{};
    std::vector<int> held_;
};

// A path below the root of exactly `length` bytes, in segments of at most 200 bytes, the
// last one named `last`.
std::string deep_path(size_t length, const std::string& last)
{
    std::string path;
    while (path.size() + 1 + last.size() < length) {
        size_t left = length - path.size() - last.size() - 1; // for "/segment" pieces
        size_t segment = left <= 201 ? left - 1 : (left < 204 ? 198 : 200);
        path += "/" + std::string(segment, 'd');
    }
    return path + "/" + last;
}

} // namespace

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
    // HEAD runs what GET runs, without the page; a path registered only for POST answers GET
    // from the files.
    calls = 0;
    Reply head = exchange("HEAD /f.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.head(), get("/f.html").head());
    EXPECT_EQ(head.body(), "");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(status("/cgi/other.x", "HEAD "), "HTTP/1.0 500 Internal Server Error");
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

TEST_F(Site, PathsResolveUpToPathMaxAndAccessFilesStillGovernThem)
{
    // The longest local path a file can have; beyond it the request itself is at fault.
    std::string path = deep_path(PATH_MAX - 1 - root.size(), "0123456789.txt");
    ASSERT_EQ((root + path).size(), size_t{PATH_MAX - 1});
    std::string folder = path.substr(0, path.rfind('/'));
    dir.write("www" + path, "deep");
    EXPECT_EQ(get(path).body(), "deep");
    EXPECT_EQ(status(path + "x"), "HTTP/1.0 400 Bad Request");
    EXPECT_EQ(status(path.substr(0, path.size() - 1)), "HTTP/1.0 404 File not found");
    EXPECT_EQ(get(folder).head()[0], "HTTP/1.0 200 OK"); // its listing
    // A mapped path that cannot be checked against the access files is refused the same way.
    map(server.get_uris, path + "x", print_fn);
    EXPECT_EQ(status(path + "x"), "HTTP/1.0 400 Bad Request");
    EXPECT_EQ(calls, 0);

    // The nearest access file governs at any depth, the root's too.
    const std::string refused = "HTTP/1.0 401 Authorization required";
    for (std::string rules : {"www" + folder + "/.htaccess", std::string("www/.htaccess")}) {
        dir.write(rules, "deny from all\n");
        authorization = "Authorization: Basic eDp5\r\n";
        EXPECT_EQ(status(path), refused) << rules;
        EXPECT_EQ(status(folder), refused) << rules;
        std::filesystem::remove(dir.file(rules));
    }
}

TEST_F(Site, NoDescriptorLeftIsTheServersFailure)
{
    dir.write("www/notes", "text without an extension\n");
    dir.write("www/guarded/a.txt", "a");
    dir.write("www/guarded/.htaccess", "allow from all\n");
    dir.write("www/users/a.txt", "a");
    dir.write("www/users/.htaccess",
              "AuthUserFile " + dir.write("passwd", "x:y\n") + "\nrequire valid-user\n");
    // The path, the descriptors left free while it is resolved, and the status. The first
    // descriptor goes to the file (whose content also types it), the next to its access file,
    // the next to the password file.
    const std::tuple<const char*, int, uint32_t> cases[] = {
        {"/a.txt", 0, STATUS_INTERNAL},   {"/notes", 1, STATUS_OK},
        {"/docs", 0, STATUS_INTERNAL},    {"/guarded/a.txt", 1, STATUS_INTERNAL},
        {"/guarded/a.txt", 2, STATUS_OK}, {"/users/a.txt", 2, STATUS_INTERNAL},
        {"/users/a.txt", 3, STATUS_OK},
    };
    for (auto [path, spare, code] : cases) {
        SCOPED_TRACE(std::string(path) + " " + std::to_string(spare));
        qtest::SocketPair pair;
        qtest::send_all(pair.peer, std::string("GET ") + path +
                                       " HTTP/1.0\r\nAuthorization: Basic eDp5\r\n\r\n");
        request_data* r = http_request(&server, qtest::connection(pair.mine), 65536);
        ASSERT_NE(r, nullptr);
        {
            ScarceDescriptors scarce(spare);
            map_uri(r, r->path);
        }
        EXPECT_EQ(r->flags, REQUEST_GET | (code != STATUS_OK ? REQUEST_FAILED : 0));
        EXPECT_EQ(r->status, code);
        if (code == STATUS_OK) {
            EXPECT_STREQ(request_content_type(r), "text/plain");
        }
        request_destroy(&r);
    }
}
