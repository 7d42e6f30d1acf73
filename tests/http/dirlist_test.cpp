#include "http/dirlist.h"

#include "http/dir.h"
#include "site.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>

using namespace qtest;

namespace {

// `text` through html_escape or url_encode_path.
std::string transformed(const std::string& text, int (*transform)(const char*, char*, size_t))
{
    std::string out(text.size() * 6 + 1, '\0');
    out.resize(static_cast<size_t>(std::max(0, transform(text.c_str(), out.data(), out.size()))));
    return out;
}

} // namespace

TEST_F(Site, ListingsHaveTitleParentRowSortedLinksAndTheFooter)
{
    set_mtime(dir.write("www/sorted/a.txt", std::string(10, 'a')), 1000);
    set_mtime(dir.write("www/sorted/big.bin", std::string(2048, 'b')), 3000);
    set_mtime(dir.write("www/sorted/c.txt", std::string(500, 'c')), 2000);
    dir.write("www/sorted/docs/in.txt", "in");
    // The root (no index file): titled ROOT, no parent row; the same with a root ending in '/'.
    std::string top = get("/").body();
    EXPECT_TRUE(listing_head(top, "ROOT", 'm')) << top;
    EXPECT_TRUE(top.ends_with(list_footer));
    EXPECT_EQ(top.find("(Parent Directory..)"), npos);
    EXPECT_EQ(entry_links(top),
              (lines{"/docs", "/sorted", "/a.txt", "/empty.txt", "/x.hnd", "/y.fail"}));
    std::string slashed = root + "/", sub = get("/sorted").body();
    server.root = slashed.data();
    EXPECT_EQ(get("/").body(), top);
    EXPECT_EQ(get("/sorted").body(), sub); // no link starts "//", which would name a host
    server.root = root.data();
    // Below the root, the parent row links the directory above.
    EXPECT_NE(sub.find("</th><tr><td align=\"left\"><a href=\"/" + parent_row_end), npos);
    EXPECT_NE(sub.find("<td align=\"right\">2.0 kB</td>"), npos);
    EXPECT_NE(sub.find("<td align=\"right\">Directory</td>"), npos);
    EXPECT_NE(get("/sorted/docs/").body().find("<a href=\"/sorted" + parent_row_end), npos);
    // The query sorts, directories first; a column sorted ascending offers descending next.
    const std::tuple<std::string, char, lines> orders[] = {
        {"", 'm', {"docs", "a.txt", "big.bin", "c.txt"}},
        {"?nm", 'a', {"docs", "c.txt", "big.bin", "a.txt"}},
        {"?sa", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"?sm", 'a', {"docs", "big.bin", "c.txt", "a.txt"}},
        {"?ma", 'm', {"docs", "a.txt", "c.txt", "big.bin"}},
        {"?mm&x=1", 'a', {"docs", "big.bin", "c.txt", "a.txt"}}};
    for (const auto& [query, toggle, names] : orders) {
        SCOPED_TRACE(query);
        std::string page = get("/sorted" + query).body();
        EXPECT_TRUE(listing_head(page, "/sorted", toggle));
        lines expected;
        for (const auto& name : names)
            expected.push_back("/sorted/" + name);
        EXPECT_EQ(entry_links(page), expected);
    }
    EXPECT_EQ(log.text(), "");
}

TEST_F(Site, ListingsEscapeHostileNamesHideAccessFilesAndStopWhenThePeerGoes)
{
    const std::string hostile = "www/h<&>\"/";
    dir.write(hostile + "x<y>&\"'.txt", "x");
    dir.write(hostile + "<script>alert(1)<", "x");
    for (const char* name : {".htaccess", ".htpasswd", ".htgroup", ".HTACCESS", "in/x"})
        dir.write(hostile + name, "x");
    // Streamed directly: the access file would otherwise guard the directory.
    auto listing = [&](const std::string& path) {
        return exchange("GET / HTTP/1.0\r\n\r\n", nullptr, 4096,
                        [&](request_data* q) { return stream_http_dir(q, (root + path).c_str()); });
    };
    Reply r = listing("/h<&>\"");
    EXPECT_EQ(r.rc, static_cast<int>(list_footer.size()));
    EXPECT_TRUE(listing_head(r.text, "/h&lt;&amp;&gt;&quot;", 'm')) << r.text;
    const std::string dir_link = "/h%3C%26%3E%22";
    EXPECT_EQ(entry_links(r.text), (lines{dir_link + "/in", dir_link + "/.HTACCESS",
                                          dir_link + "/%3Cscript%3Ealert%281%29%3C",
                                          dir_link + "/x%3Cy%3E%26%22%27.txt"}));
    EXPECT_NE(r.text.find(">x&lt;y&gt;&amp;&quot;&#39;.txt</a>"), npos);
    EXPECT_NE(r.text.find(">&lt;script&gt;alert(1)&lt;</a>"), npos);
    for (const char* absent : {"<script>", ".htaccess", ".htpasswd", ".htgroup"})
        EXPECT_EQ(r.text.find(absent), npos) << absent;
    EXPECT_NE(listing("/h<&>\"/in").text.find("<a href=\"" + dir_link + parent_row_end), npos);

    // Nothing is sent for a directory that cannot be read; stat's errno names the cause.
    r = listing("/missing");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(log.text(),
              "error (stream_http_dir, 10782): " + std::string(std::strerror(ENOENT)) + "\n");
    EXPECT_EQ(stream_http_dir(nullptr, root.c_str()), -1);
    // The peer is gone: the rows stop at the first failed send.
    for (int i = 0; i < 200; ++i)
        dir.write("www/many/f" + std::to_string(1000 + i), "");
    qtest::SocketPair pair;
    request_data* q = receive(pair, "GET / HTTP/1.0\r\n\r\n");
    pair.close_peer();
    EXPECT_EQ(stream_http_dir(q, (root + "/many").c_str()), -1);
    request_destroy(&q);
}

TEST_F(Site, RowsAreWholeHoweverLongTheNameAndDeepTheDirectory)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    auto row = [&](dir_entry entry, const char* relative) {
        return exchange(
                   "GET / HTTP/1.0\r\n\r\n", nullptr, 4096,
                   [&](request_data* q) { return stream_http_dir_row(q->sock, &entry, relative); })
            .text;
    };
    EXPECT_EQ(row({const_cast<char*>("a.txt"), 0, 0, 1024, nullptr}, ""),
              "<tr><td align=\"left\"><a href=\"/a.txt\">a.txt</a></td><td>&nbsp;&nbsp;&nbsp;"
              "</td><td align=\"right\">1.0 kB</td><td>&nbsp;&nbsp;&nbsp</td><td align=\"right\">"
              "01/01/70 12:00:00 AM</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n");
    EXPECT_NE(row({const_cast<char*>("s&b"), 1, 0, 4096, nullptr}, "\\docs\\x")
                  .find("<a href=\"/docs/x/s%26b\">[s&amp;b]</a></td><td>&nbsp;&nbsp;&nbsp;</td>"
                        "<td align=\"right\">Directory</td>"),
              npos);

    // A directory whose own path leaves no room for its entries' names, holding names of the
    // longest kind that escaping grows most.
    std::string relative;
    while (root.size() + relative.size() < PATH_MAX - 100)
        relative += "/" + std::string(60, 'd') + " &<" + std::string(60, 'd');
    std::filesystem::create_directories(root + relative);
    std::string file_name, folder_name = std::string(254, 'e') + "&";
    while (file_name.size() < NAME_MAX)
        file_name += "n\"&<>'"[file_name.size() % 6];
    int folder = ::open((root + relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    int file = ::openat(folder, file_name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    EXPECT_EQ(::write(file, "four", 4), 4);
    ::close(file);
    ASSERT_EQ(::mkdirat(folder, folder_name.c_str(), 0700), 0);
    ::close(::openat(folder, "a.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));

    Reply r = exchange("GET / HTTP/1.0\r\n\r\n", nullptr, 4096, [&](request_data* q) {
        return stream_http_dir(q, (root + relative).c_str());
    });
    EXPECT_EQ(r.rc, static_cast<int>(list_footer.size()));
    EXPECT_TRUE(listing_head(r.text, transformed(relative, html_escape), 'm'));
    std::string link = transformed(relative, url_encode_path) + "/";
    EXPECT_EQ(entry_links(r.text),
              (lines{link + transformed(folder_name, url_encode_path), link + "a.txt",
                     link + transformed(file_name, url_encode_path)}));
    // Described from the directory itself, though their paths are too long to name them.
    EXPECT_NE(r.text.find("\">[" + transformed(folder_name, html_escape) +
                          "]</a></td><td>&nbsp;&nbsp;&nbsp;</td><td align=\"right\">Directory<"),
              npos);
    EXPECT_NE(r.text.find("\">" + transformed(file_name, html_escape) +
                          "</a></td><td>&nbsp;&nbsp;&nbsp;</td><td align=\"right\">4 B<"),
              npos);
    // Paths this long are past what the temporary directory's removal can name.
    ::unlinkat(folder, file_name.c_str(), 0);
    ::unlinkat(folder, "a.txt", 0);
    ::unlinkat(folder, folder_name.c_str(), AT_REMOVEDIR);
    ::close(folder);
}
