#include "http/dir.h"

#include "core/report.h"
#include "support/support.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace quorvel;

namespace {

std::vector<std::string> listed(const std::string& path, const char* sort = nullptr)
{
    dir_listing list{};
    EXPECT_EQ(dir_list(path.c_str(), sort, &list), 0);
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list.count; ++i)
        out.emplace_back(list.entries[i].is_dir ? std::string("[") + list.entries[i].name + "]"
                                                : list.entries[i].name);
    dir_listing_free(&list);
    return out;
}

void set_mtime(const std::string& path, time_t when)
{
    timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string size_text(uint64_t size, bool is_dir = false)
{
    dir_entry entry{nullptr, static_cast<uint8_t>(is_dir), 0, size, nullptr};
    char out[180];
    return dir_size_text(&entry, out, sizeof(out));
}

std::string row(const dir_entry& entry, const char* relative)
{
    char out[DIR_ROW_SIZE];
    return dir_row_format(&entry, relative, out, sizeof(out)) < 0 ? "<none>" : out;
}

} // namespace

TEST(DirEnumeration, ReadsEveryEntryThenEnds)
{
    qtest::TempDir dir;
    dir.write("a.txt", "a");
    dir.write("sub/b.txt", "b");
    dir_record* d = dir_open(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    std::multiset<std::string> seen;
    while (const char* name = dir_read(d))
        seen.insert(name);
    EXPECT_EQ(last_error(), LAST_FILE_NOT_FOUND);
    EXPECT_EQ(errno, 0);
    // Nothing is dropped: "." and ".." are the callers' to skip.
    EXPECT_EQ(seen, (std::multiset<std::string>{".", "..", "a.txt", "sub"}));
    EXPECT_EQ(dir_read(d), nullptr);
    EXPECT_EQ(dir_close(d), 0);

    d = dir_open(dir.path().c_str());
    dir_item item;
    dir_item* result = nullptr;
    std::multiset<std::string> again;
    while (dir_read_r(d, &item, &result) == 0 && result == &item)
        again.insert(item.name);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(again, seen);
    EXPECT_EQ(dir_close(d), 0);
}

TEST(DirEnumeration, RefusalsAndTheirCodes)
{
    qtest::TempDir dir;
    qtest::ErrorLog log;
    EXPECT_EQ(dir_open(nullptr), nullptr);
    qtest::expect_report(log, "error (dir_open, 10632): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);
    // A file or a missing path is no directory: no line, errno as stat left it.
    EXPECT_EQ(dir_open(dir.write("f", "x").c_str()), nullptr);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(dir_open(dir.file("missing").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(dir_read(nullptr), nullptr);
    qtest::expect_report(log, "error (dir_read, 10668): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);
    EXPECT_EQ(dir_close(nullptr), -1);
    qtest::expect_report(log, "error (dir_close, 10691): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);

    dir_listing list{};
    EXPECT_EQ(dir_list(dir.file("f").c_str(), nullptr, &list), -1);
    EXPECT_EQ(log.text(), "error (stream_http_dir, 10782): could not open directory " +
                              dir.file("f") + " for reading\n");
    log.clear();
    EXPECT_EQ(dir_list(dir.file("gone").c_str(), nullptr, &list), -1);
    EXPECT_EQ(log.text(), "error (stream_http_dir, 10782): No such file or directory\n");
}

TEST(DirListing, HidesDotsAndAccessFilesAndGrowsByDoubling)
{
    qtest::TempDir dir;
    for (const char* name : {".htaccess", ".htpasswd", ".htgroups", ".HTACCESS", ".hidden", "b"})
        dir.write(name, "x");
    dir.write("a/x", "");
    EXPECT_EQ(listed(dir.path()), (std::vector<std::string>{"[a]", ".HTACCESS", ".hidden", "b"}));

    for (int i = 0; i < 200; ++i)
        dir.write("many/f" + std::to_string(1000 + i), "");
    dir_listing list{};
    ASSERT_EQ(dir_list(dir.file("many").c_str(), nullptr, &list), 0);
    EXPECT_EQ(list.count, 200u);
    EXPECT_EQ(list.capacity, 256u);
    EXPECT_STREQ(list.entries[199].name, "f1199");
    dir_listing_free(&list);
    EXPECT_EQ(list.entries, nullptr);
}

TEST(DirListing, SortsByEachColumnWithDirectoriesFirst)
{
    qtest::TempDir dir;
    set_mtime(dir.write("b", "12345"), 300);
    set_mtime(dir.write("a", "123"), 100);
    set_mtime(dir.write("c", "1"), 200);
    dir.write("zdir/x", "");
    dir.write("ydir/x", "");
    set_mtime(dir.file("zdir"), 50);
    set_mtime(dir.file("ydir"), 60);
    using names = std::vector<std::string>;
    EXPECT_EQ(listed(dir.path()), (names{"[ydir]", "[zdir]", "a", "b", "c"}));
    EXPECT_EQ(listed(dir.path(), "nm"), (names{"[zdir]", "[ydir]", "c", "b", "a"}));
    EXPECT_EQ(listed(dir.path(), "ma"), (names{"[zdir]", "[ydir]", "a", "c", "b"}));
    EXPECT_EQ(listed(dir.path(), "mm"), (names{"[ydir]", "[zdir]", "b", "c", "a"}));
    // Directory sizes depend on the file system; only the files' order is fixed.
    EXPECT_EQ(listed(dir.path(), "sa").back(), "b");
    EXPECT_EQ(listed(dir.path(), "sm").back(), "c");
    EXPECT_EQ(listed(dir.path(), "sm")[2], "b");

    dir_entry a{const_cast<char*>("a"), 0, 5, 1, "x"};
    dir_entry b{const_cast<char*>("b"), 0, 1, 9, "x"};
    EXPECT_EQ(dir_entry_compare(&a, &b), 0); // an unknown column keeps the order
    a.sort = "n";
    EXPECT_EQ(dir_entry_compare(&a, &b), -1);
}

TEST(DirRow, SizeAndDateTexts)
{
    EXPECT_EQ(size_text(0), "0 B");
    EXPECT_EQ(size_text(1023), "1023 B");
    EXPECT_EQ(size_text(1024), "1.0 kB");
    EXPECT_EQ(size_text(1536), "1.5 kB");
    EXPECT_EQ(size_text(1048576), "1.0 MB");
    EXPECT_EQ(size_text(1073741824), "1.0 GB");
    EXPECT_EQ(size_text(5ull << 30), "5.0 GB");
    EXPECT_EQ(size_text(4096, true), "Directory");

    ::setenv("TZ", "UTC", 1);
    ::tzset();
    char out[80];
    EXPECT_STREQ(dir_date_text(0, out, sizeof(out)), "01/01/70 12:00:00 AM");
    EXPECT_STREQ(dir_date_text(1700000000, out, sizeof(out)), "11/14/23 10:13:20 PM");
    EXPECT_STREQ(dir_date_text(1700000000, out, 5), "");
}

TEST(DirRow, EscapesNamesAndEncodesLinks)
{
    char out[64];
    EXPECT_EQ(html_escape("<a href=\"x\">&'", out, sizeof(out)), 38);
    EXPECT_STREQ(out, "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
    EXPECT_EQ(html_escape("&&", out, 11), 10);
    EXPECT_EQ(html_escape("&&", out, 10), -1);
    EXPECT_STREQ(out, "");
    EXPECT_GT(url_encode_path("/d i/a?b#c%d&e\"f\xC3\xA9~._-", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/d%20i/a%3Fb%23c%25d%26e%22f%C3%A9~._-");
    EXPECT_EQ(url_encode_path(" ", out, 3), -1);

    ::setenv("TZ", "UTC", 1);
    ::tzset();
    dir_entry file{const_cast<char*>("a.txt"), 0, 0, 1024, nullptr};
    EXPECT_EQ(row(file, ""),
              "<tr><td align=\"left\"><a href=\"/a.txt\">a.txt</a></td><td>&nbsp;&nbsp;&nbsp;"
              "</td><td align=\"right\">1.0 kB</td><td>&nbsp;&nbsp;&nbsp</td><td align=\"right\">"
              "01/01/70 12:00:00 AM</td><td>&nbsp;&nbsp;&nbsp;</td></tr>\n");
    dir_entry sub{const_cast<char*>("sub"), 1, 0, 4096, nullptr};
    std::string text = row(sub, "\\docs\\x");
    EXPECT_NE(text.find("<a href=\"/docs/x/sub\">[sub]</a>"), std::string::npos) << text;
    EXPECT_NE(text.find(">Directory<"), std::string::npos) << text;
    std::string long_name(300, 'n');
    file.name = long_name.data();
    EXPECT_EQ(dir_row_format(&file, "", out, sizeof(out)), -1);
}

TEST(DirRow, HostileFileNameIsEscapedInTheListing)
{
    qtest::TempDir dir;
    std::string hostile = "<img src=x onerror='alert(1)'>&\"\n.txt";
    dir.write("docs/" + hostile, "x");
    dir_listing list{};
    ASSERT_EQ(dir_list(dir.file("docs").c_str(), nullptr, &list), 0);
    ASSERT_EQ(list.count, 1u);
    std::string text = row(list.entries[0], "/docs");
    dir_listing_free(&list);
    EXPECT_EQ(text.find("<img"), std::string::npos) << text;
    EXPECT_NE(text.find("href=\"/docs/%3Cimg%20src%3Dx%20onerror%3D%27alert%281%29%27%3E%26%22%0A"
                        ".txt\">&lt;img src=x onerror=&#39;alert(1)&#39;&gt;&amp;&quot;\n.txt</a>"),
              std::string::npos)
        << text;
}
