#include "http/dirlist.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "http/dir.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "net/socket.h"
#include "support/support.h"
#include "support/wire.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quorvel;
using qtest::set_mtime;

namespace {

const std::string footer =
    "</table></div><hr><address>Server powered by Quorvel version 0.9.0</address></body>"
    "</html>\r\n";

const std::string parent_row_end =
    "\">(Parent Directory..)</a></td><td>&nbsp;&nbsp</td><td align=\"right\">---</td><td>"
    "&nbsp;&nbsp;&nbsp</td><td align=\"right\">---</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n";

// The page head for `title` with the column links asking for `toggle`.
std::string page_head(const std::string& title, char toggle)
{
    std::string t(1, toggle);
    return "<html><head><title>Index of " + title +
           "</title><style type=\"text/css\">a:link {color: blue;text-decoration:none;}"
           "a:visited {color: purple;text-decoration:none;}a:active {background-color: "
           "yellow;text-decoration:none;}a:hover {color:red;text-decoration:none;}</style>"
           "</head><body><h2>Index of " +
           title +
           "</h2><pre><hr><div style=\"overflow:auto;  width: 100%; height: 80%; padding:0px; "
           "margin: 0px\"> <table width=\"100%\" cellpadding=\"0\"><tr><th align=\"left\"><a "
           "href=\"?n" +
           t + "\">Name</a></th><th>&nbsp;&nbsp;&nbsp;</th><th align=\"right\"><a href=\"?s" + t +
           "\">Size</a></th><th>&nbsp;&nbsp;&nbsp;</th><th align=\"right\"><a href=\"?m" + t +
           "\">Date Modified</a></th></tr><th>&nbsp;&nbsp;&nbsp;</th>";
}

std::string read_all(int fd)
{
    std::string got;
    char chunk[65536];
    for (int i = 0; i < 100000; ++i) {
        ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0)
            break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// The entry links of a page, in order (the column and parent links left out).
std::vector<std::string> entry_links(const std::string& page)
{
    static const std::regex row("<tr><td align=\"left\"><a href=\"([^\"]*)\">([^<]*)</a></td><td>"
                                "&nbsp;&nbsp;&nbsp;</td>");
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(page.begin(), page.end(), row);
         it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1]);
    return out;
}

struct Page {
    int rc = -2;
    std::string text;
};

// A root holding a directory whose entries differ in name, size and time, and a connection
// over a socket pair for each listing.
class Listing : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = dir.file("www");
        std::filesystem::create_directories(root + "/sorted/docs");
        set_mtime(dir.write("www/sorted/a.txt", std::string(10, 'a')), 1000);
        set_mtime(dir.write("www/sorted/big.bin", std::string(2048, 'b')), 3000);
        set_mtime(dir.write("www/sorted/c.txt", std::string(500, 'c')), 2000);
        dir.write("www/sorted/docs/in.txt", "in");
        server.root = root.data();
        std::strcpy(server.index, "/index.html");
        server.flags = SERVER_DIRLIST;
        for (htable** t :
             {&server.mime_table, &server.get_uris, &server.post_uris, &server.content_cache})
            *t = htable_create(100);
        mime_record html{nullptr, const_cast<char*>("text/html"), 1};
        htable_store(server.mime_table, "html", 4, &html, sizeof(html), true, nullptr);
    }
    void TearDown() override
    {
        for (htable** t :
             {&server.mime_table, &server.get_uris, &server.post_uris, &server.content_cache})
            htable_destroy(t);
    }

    quorvel::socket* connect(int* peer, const std::string& bytes = "")
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        *peer = fds[1];
        timeval limit{10, 0};
        ::setsockopt(*peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        if (!bytes.empty())
            ::send(*peer, bytes.data(), bytes.size(), 0);
        ::shutdown(*peer, SHUT_WR);
        quorvel::socket proto{};
        proto.fd[0] = fds[0];
        proto.fd[1] = -1;
        proto.timeout = 10;
        proto.sndbuf = proto.rcvbuf = 4096;
        proto.flags = SOCK_BUFFERED | SOCK_CONNECTED;
        return socket_dup(&proto);
    }

    // stream_http_dir on a record made by hand, with `query` as its query string.
    Page list(const std::string& path, const std::string& query = "")
    {
        int peer = -1;
        request_data request{};
        request.flags = REQUEST_GET;
        request.server = &server;
        request.sock = connect(&peer);
        request.headers = htable_create(10);
        if (!query.empty())
            htable_store(request.headers, "QUERY", 5, query.data(),
                         static_cast<uint32_t>(query.size()), true, nullptr);
        Page page;
        std::thread reader([&] { page.text = read_all(peer); });
        page.rc = stream_http_dir(&request, path.c_str());
        socket_destroy(&request.sock);
        reader.join();
        ::close(peer);
        htable_destroy(&request.headers);
        return page;
    }

    // A whole exchange through http_request and http_responce.
    std::string get(const std::string& target)
    {
        int peer = -1;
        request_data* r =
            http_request(&server, connect(&peer, "GET " + target + " HTTP/1.0\r\n\r\n"), 65536);
        EXPECT_NE(r, nullptr);
        std::string text;
        std::thread reader([&] { text = read_all(peer); });
        EXPECT_EQ(http_responce(r), 0);
        request_destroy(&r);
        reader.join();
        ::close(peer);
        return text.substr(text.find("\r\n\r\n") + 4);
    }

    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string root;
    server_record server{};
};

} // namespace

TEST_F(Listing, RootPageHasTitleRootNoParentAndTheFooter)
{
    dir.write("www/top.txt", "t");
    Page page = list(root);
    EXPECT_EQ(page.rc, static_cast<int>(footer.size())); // the footer's send
    EXPECT_TRUE(page.text.starts_with(page_head("ROOT", 'm'))) << page.text;
    EXPECT_TRUE(page.text.ends_with(footer));
    EXPECT_EQ(page.text.find("(Parent Directory..)"), std::string::npos);
    EXPECT_EQ(entry_links(page.text), (std::vector<std::string>{"/sorted", "/top.txt"}));
    EXPECT_NE(page.text.find(">[sorted]</a>"), std::string::npos);
    EXPECT_NE(page.text.find("<td align=\"right\">1 B</td>"), std::string::npos);
    // The same page through a request for "/" (no index file) and a root given with a '/'.
    EXPECT_EQ(get("/"), page.text);
    std::string slashed = root + "/";
    server.root = slashed.data();
    EXPECT_EQ(get("/"), page.text);
    EXPECT_EQ(list(root).text, page.text);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Listing, SubdirectoryHasItsTitleParentRowAndLinksBelowIt)
{
    Page page = list(root + "/sorted");
    EXPECT_TRUE(page.text.starts_with(page_head("/sorted", 'm') +
                                      "<tr><td align=\"left\"><a href=\"/" + parent_row_end))
        << page.text;
    EXPECT_EQ(entry_links(page.text),
              (std::vector<std::string>{"/sorted/docs", "/sorted/a.txt", "/sorted/big.bin",
                                        "/sorted/c.txt"}));
    EXPECT_NE(page.text.find("<td align=\"right\">2.0 kB</td>"), std::string::npos);
    EXPECT_NE(page.text.find("<td align=\"right\">Directory</td>"), std::string::npos);

    // Deeper, and asked for with a trailing '/': the parent is the directory above.
    Page docs = list(root + "/sorted/docs/");
    EXPECT_TRUE(docs.text.starts_with(page_head("/sorted/docs", 'm') +
                                      "<tr><td align=\"left\"><a href=\"/sorted" + parent_row_end));
    EXPECT_EQ(entry_links(docs.text), std::vector<std::string>{"/sorted/docs/in.txt"});
    EXPECT_EQ(get("/sorted/docs/"), docs.text);
}

TEST_F(Listing, QuerySortsAndTogglesTheColumnLinks)
{
    struct order {
        std::string query;
        char toggle;
        std::vector<std::string> names;
    };
    const order orders[] = {
        {"", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"na", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"n", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"nm", 'a', {"docs", "c.txt", "big.bin", "a.txt"}},
        {"sa", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"sm", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
        {"ma", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"mm", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
        {"sm&x=1", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
    };
    for (const auto& [query, toggle, names] : orders) {
        Page page = list(root + "/sorted", query);
        EXPECT_TRUE(page.text.starts_with(page_head("/sorted", toggle))) << query;
        std::vector<std::string> expected;
        for (const auto& name : names)
            expected.push_back("/sorted/" + name);
        EXPECT_EQ(entry_links(page.text), expected) << query;
    }
    // Through the request's query string.
    EXPECT_EQ(entry_links(get("/sorted?sm")),
              (std::vector<std::string>{"/sorted/docs", "/sorted/big.bin", "/sorted/c.txt",
                                        "/sorted/a.txt"}));
}

TEST_F(Listing, HostileNamesAreEscapedAndAccessFilesHidden)
{
    const std::string hostile = "h<&>\"";
    std::filesystem::create_directories(root + "/" + hostile);
    dir.write("www/" + hostile + "/x<y>&\"'.txt", "x");
    dir.write("www/" + hostile + "/<script>alert(1)<", "x");
    for (const char* hidden : {".htaccess", ".htpasswd", ".htgroup"})
        dir.write("www/" + hostile + "/" + hidden, "secret");
    dir.write("www/" + hostile + "/.HTACCESS", "shown");
    dir.write("www/" + hostile + "/.hidden", "shown");

    Page page = list(root + "/" + hostile);
    EXPECT_EQ(page.rc, static_cast<int>(footer.size()));
    EXPECT_TRUE(page.text.starts_with(page_head("/h&lt;&amp;&gt;&quot;", 'm')));
    EXPECT_EQ(entry_links(page.text),
              (std::vector<std::string>{"/h%3C%26%3E%22/.HTACCESS", "/h%3C%26%3E%22/.hidden",
                                        "/h%3C%26%3E%22/%3Cscript%3Ealert%281%29%3C",
                                        "/h%3C%26%3E%22/x%3Cy%3E%26%22%27.txt"}));
    EXPECT_NE(page.text.find(">x&lt;y&gt;&amp;&quot;&#39;.txt</a>"), std::string::npos);
    EXPECT_NE(page.text.find(">&lt;script&gt;alert(1)&lt;</a>"), std::string::npos);
    EXPECT_EQ(page.text.find("<script>"), std::string::npos);
    EXPECT_EQ(page.text.find(".htaccess"), std::string::npos);
    EXPECT_EQ(page.text.find(".htpasswd"), std::string::npos);
    EXPECT_EQ(page.text.find(".htgroup"), std::string::npos);

    // A parent whose name needs encoding.
    std::filesystem::create_directories(root + "/" + hostile + "/in");
    EXPECT_NE(
        list(root + "/" + hostile + "/in").text.find("<a href=\"/h%3C%26%3E%22" + parent_row_end),
        std::string::npos);
}

TEST_F(Listing, EveryEntryOfALargeDirectoryIsListed)
{
    std::filesystem::create_directories(root + "/many");
    for (int i = 0; i < 200; ++i)
        dir.write("www/many/f" + std::to_string(1000 + i), "");
    std::vector<std::string> links = entry_links(list(root + "/many").text);
    ASSERT_EQ(links.size(), 200u);
    EXPECT_EQ(links.front(), "/many/f1000");
    EXPECT_EQ(links.back(), "/many/f1199");
}

TEST_F(Listing, FailuresGiveMinusOne)
{
    std::string missing = root + "/missing";
    Page page = list(missing);
    EXPECT_EQ(page.rc, -1);
    EXPECT_EQ(page.text, ""); // nothing is sent for a directory that cannot be read
    // stat has set errno, so the line carries the system's text.
    EXPECT_EQ(log.text(),
              "error (stream_http_dir, 10782): " + std::string(std::strerror(ENOENT)) + "\n");
    log.clear();
    request_data request{};
    EXPECT_EQ(stream_http_dir(&request, root.c_str()), -1);
    qtest::expect_report(log, "error (stream_http_dir, 10774): null argument passed\n", EINVAL,
                         160);
    EXPECT_EQ(stream_http_dir(nullptr, root.c_str()), -1);
    qtest::expect_report(log, "error (stream_http_dir, 10774): null argument passed\n", EINVAL,
                         160);

    // The peer is gone: the rows stop at the first failed send and the footer is not sent.
    std::filesystem::create_directories(root + "/many");
    for (int i = 0; i < 200; ++i)
        dir.write("www/many/f" + std::to_string(1000 + i), "");
    int peer = -1;
    request_data gone{};
    gone.server = &server;
    gone.sock = connect(&peer);
    ::close(peer);
    EXPECT_EQ(stream_http_dir(&gone, (root + "/many").c_str()), -1);
    socket_destroy(&gone.sock);
}
