#include "foundation/paths.h"

#include "core/report.h"
#include "support/support.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using namespace quorvel;

TEST(Paths, ExtensionIsAfterTheLastDotPastIndexZero)
{
    const char* trailing = "name.";
    EXPECT_EQ(get_extension(trailing), trailing + 5);
    EXPECT_STREQ(get_extension("a.b.c"), "c");
    EXPECT_STREQ(get_extension("dir.d/file"), "d/file");
    for (const char* none : {".htaccess", "file", "x", ""})
        EXPECT_EQ(get_extension(none), nullptr) << none;
    char path[] = "a\\b/c\\";
    filter_path_sep(path);
    EXPECT_STREQ(path, "a/b/c/");
}

TEST(Paths, DirectoryIsCutAtTheLastSeparatorPastIndexZero)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/dir/file.txt", "/dir"}, {"dir\\file.txt", "dir"}, {"file.txt", "file.txt"},
        {"/file", "/file"},        {"dir/", "dir"},          {"a//b", "a/"},
    };
    for (auto [path, directory] : cases) {
        char out[16];
        std::memset(out, 'z', sizeof(out));
        ASSERT_EQ(get_directory(path, out, sizeof(out)), out) << path;
        EXPECT_STREQ(out, directory) << path;
        EXPECT_EQ(out[sizeof(out) - 1], '\0');
    }
}

TEST(Paths, DirectoryThatDoesNotFit)
{
    qtest::ErrorLog log;
    char out[8];
    // Without a separator a longer path is refused silently; one of exactly the output size
    // fails in str_concat, which leaves the output empty, and so does a long directory part.
    EXPECT_EQ(get_directory("file.txt1", out, sizeof(out)), nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(get_directory("file.txt", out, sizeof(out)), out);
    EXPECT_EQ(get_directory("/long/dir/x", out, sizeof(out)), out);
    EXPECT_STREQ(out, "");
    std::string line = "error (str_concat, 1613): provided buffer is too small\n";
    EXPECT_EQ(log.text(), line + line);
    EXPECT_EQ(get_exe_directory(out, sizeof(out)), -1);

    std::string longest(PATH_MAX - 1, 'a');
    longest[1] = '/';
    char big[PATH_MAX];
    EXPECT_STREQ(get_directory(longest.c_str(), big, sizeof(big)), "a");
    longest += 'a';
    EXPECT_EQ(get_directory(longest.c_str(), big, sizeof(big)), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(big, "");
}

TEST(Paths, ExeDirectoryHoldsTheTestProgram)
{
    char out[PATH_MAX];
    ASSERT_EQ(get_exe_directory(out, sizeof(out)), 0);
    EXPECT_EQ(std::filesystem::path(out), std::filesystem::canonical(QUORVEL_BINARY_DIR "/tests"));
}

TEST(Paths, ReadableMeansARegularFileThatOpens)
{
    qtest::TempDir dir;
    qtest::ErrorLog log;
    EXPECT_TRUE(is_readable(dir.write("f", "x").c_str()));
    EXPECT_FALSE(is_readable(dir.file("missing").c_str()));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(last_error(), 19u);
    EXPECT_FALSE(is_readable(dir.path().c_str()));
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(last_error(), 19u);
    EXPECT_EQ(log.text(), "error (is_readable, 2938): No such file or directory\n"
                          "error (is_readable, 2938): could not access file " +
                              dir.path() + "\n");
}

TEST(Paths, SizeBeyond4GiBAndMissingFile)
{
    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string sparse = dir.file("sparse");
    int fd = ::open(sparse.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const int64_t size = (int64_t{5} << 30) + 3;
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
    EXPECT_EQ(sizeof_file(sparse.c_str()), size);

    std::string missing = dir.file("missing");
    EXPECT_EQ(sizeof_file(missing.c_str()), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(last_error(), 2u);
    EXPECT_EQ(log.text(), "error: file: No such file or directory, " + missing + "\n");
}

TEST(Paths, NullArguments)
{
    qtest::ErrorLog log;
    char out[8];
    filter_path_sep(nullptr);
    EXPECT_EQ(get_extension(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_FALSE(is_readable(nullptr));
    EXPECT_EQ(sizeof_file(nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
    EXPECT_EQ(get_directory(nullptr, out, sizeof(out)), nullptr);
    EXPECT_EQ(get_directory("a/b", nullptr, 8), nullptr);
    EXPECT_EQ(get_exe_directory(nullptr, 8), -1);
    EXPECT_EQ(env_dup(nullptr), nullptr);
    EXPECT_EQ(log.text(), "error (filter_path_sep, 2764): null argument passed\n"
                          "error (get_extension, 2878): null argument passed\n"
                          "error (is_readable, 2928): null argument passed\n"
                          "error (sizeof_file, 2979): null argument passed\n");
}
