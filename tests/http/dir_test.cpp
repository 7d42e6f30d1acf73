#include "http/dir.h"

#include "site.h"

#include <cstdlib>

using namespace quorvel;

TEST(Dir, ListingsHideAccessFilesAndRefuseFiles)
{
    qtest::TempDir dir;
    qtest::ErrorLog log;
    for (int i = 0; i < 200; ++i)
        dir.write("many/f" + std::to_string(1000 + i), "");
    for (const char* name : {".htaccess", ".htpasswd", ".htgroups"})
        dir.write(std::string("many/") + name, "x");
    dir_listing list{};
    ASSERT_EQ(dir_list(dir.file("many").c_str(), "na", &list), 0);
    EXPECT_EQ(list.count, 200u);
    EXPECT_STREQ(list.entries[199].name, "f1199");
    dir_listing_free(&list);
    EXPECT_EQ(list.entries, nullptr);
    EXPECT_EQ(dir_list(dir.file("many/f1000").c_str(), nullptr, &list), -1);
    EXPECT_EQ(log.text(), "error (stream_http_dir, 10782): could not open directory " +
                              dir.file("many/f1000") + " for reading\n");
}

TEST(Dir, RowTextsAreBoundedEscapedAndEncoded)
{
    const std::pair<uint64_t, const char*> sizes[] = {
        {0, "0 B"},          {1023, "1023 B"},       {1024, "1.0 kB"},      {1536, "1.5 kB"},
        {1048576, "1.0 MB"}, {1073741824, "1.0 GB"}, {5ull << 30, "5.0 GB"}}; // 64-bit sizes
    char out[180];
    for (auto [size, text] : sizes) {
        dir_entry entry{nullptr, 0, 0, size, nullptr};
        EXPECT_STREQ(dir_size_text(&entry, out, sizeof(out)), text);
    }
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_STREQ(dir_date_text(1700000000, out, sizeof(out)), "11/14/23 10:13:20 PM");
    EXPECT_STREQ(dir_date_text(1700000000, out, 5), "");
    EXPECT_EQ(html_escape("<a href=\"x\">&'", out, 64), 38);
    EXPECT_STREQ(out, "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
    EXPECT_EQ(html_escape("&&", out, 11), 10);
    EXPECT_EQ(html_escape("&&", out, 10), -1);
    EXPECT_STREQ(out, "");
    EXPECT_GT(url_encode_path("/d i/a?b#c%d&e\"f\xC3\xA9~._-\n", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/d%20i/a%3Fb%23c%25d%26e%22f%C3%A9~._-%0A");
    EXPECT_EQ(url_encode_path(" ", out, 3), -1);
}
