#include "foundation/paths.h"

#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

#include <climits>
#include <filesystem>

using namespace quorvel;
using namespace qtest;

TEST(Paths, ExtensionAndDirectoryCutPastIndexZero)
{
    ErrorLog log;
    EXPECT_STREQ(get_extension("a.b."), "");
    EXPECT_STREQ(get_extension("dir.d/file"), "d/file");
    for (const char* none : {".htaccess", "file", ""})
        EXPECT_EQ(get_extension(none), nullptr) << none;
    const std::pair<const char*, const char*> cases[] = {
        {"/dir/file.txt", "/dir"}, {"dir\\file.txt", "dir"}, {"file.txt", "file.txt"},
        {"/file", "/file"},        {"dir/", "dir"},          {"a//b", "a/"},
    };
    for (auto [path, directory] : cases) {
        SCOPED_TRACE(path);
        char out[16];
        std::memset(out, 'z', sizeof(out));
        ASSERT_EQ(get_directory(path, out, sizeof(out)), out);
        EXPECT_STREQ(out, directory);
    }
    char out[8];
    // Without a separator a longer path is refused silently; one of exactly the output size
    // fails in str_concat, which leaves the output empty, and so does a long directory part.
    EXPECT_EQ(get_directory("file.txt1", out, sizeof(out)), nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(get_directory("file.txt", out, sizeof(out)), out);
    EXPECT_EQ(get_directory("/long/dir/x", out, sizeof(out)), out);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(log.lines().size(), 2u); // str_concat's lines
    std::string longest(PATH_MAX - 1, 'a');
    longest[1] = '/';
    char big[PATH_MAX];
    EXPECT_STREQ(get_directory(longest.c_str(), big, sizeof(big)), "a");
    EXPECT_EQ(get_directory((longest + "a").c_str(), big, sizeof(big)), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(get_exe_directory(out, sizeof(out)), -1);
    ASSERT_EQ(get_exe_directory(big, sizeof(big)), 0);
    EXPECT_EQ(std::filesystem::path(big), std::filesystem::canonical(QUORVEL_BINARY_DIR "/tests"));
}
