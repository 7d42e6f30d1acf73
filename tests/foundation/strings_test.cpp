// String, tokenizer and path helpers.
#include "foundation/strings.h"

#include "core/report.h"
#include "foundation/paths.h"
#include "foundation/tokenizer.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

using namespace quorvel;
using list = std::vector<std::string>;

TEST(Strings, ConcatAndPrintfBoundaries)
{
    qtest::ErrorLog log;
    char dest[6] = "abc";
    EXPECT_EQ(str_concat(dest, sizeof(dest), "de"), 0); // fits exactly
    EXPECT_STREQ(dest, "abcde");
    EXPECT_EQ(str_concat(dest, sizeof(dest), "f"), -1); // one more byte empties the destination
    EXPECT_STREQ(dest, "");
    qtest::expect_report(log, "error (str_concat, 1613): provided buffer is too small\n", ENOSPC,
                         0);
    EXPECT_EQ(str_concat(dest, 0, "a"), -1);
    qtest::expect_report(log, "error (str_concat, 1603): null argument passed\n", EINVAL, 160);
    char* s = nullptr;
    ASSERT_EQ(str_printf(&s, "%s=%d", "a", 1), 0);
    // The old string may be an argument: it is released only after the new one is built.
    ASSERT_EQ(str_printf(&s, ";%s", s), 0);
    std::string expected = s;
    EXPECT_EQ(expected, "a=1;a=1");
    for (size_t n : {1022u, 1023u, 5000u}) { // 1022 fit the stack area with two spare bytes
        std::string piece(n - 1, 'x');
        ASSERT_EQ(str_printf(&s, "%sy", piece.c_str()), 0);
        expected += piece + "y";
        EXPECT_EQ(s, expected) << n;
    }
    // A wide character the "C" locale cannot convert fails silently and keeps the string.
    EXPECT_EQ(str_printf(&s, "%ls", L"\x1234"), -1);
    qtest::expect_report(log, "", EINVAL, 160);
    EXPECT_EQ(s, expected);
    quorvel_mem_free(s);
}

TEST(Tokenizer, EmptyTokensAreNeverReturned)
{
    qtest::ErrorLog log;
    const struct {
        const char *text, *delimiters;
        list expected;
    } cases[] = {
        {"a,,b,", ",", {"a", "b"}},
        {" u1, u2;;grp:x ", " ,;:", {"u1", "u2", "grp", "x"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"a b,c", "", {"a b,c"}},
        {"1\3772", "\377", {"1", "2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        tok* t = tok_create(c.text, c.delimiters);
        list out;
        while (char* token = tok_next(t))
            out.emplace_back(token);
        EXPECT_EQ(out, c.expected);
        EXPECT_EQ(tok_next(t), nullptr); // stays exhausted
        tok_destroy(&t);
    }
    tok* t = tok_create("one two", " ");
    tok_next(t)[1] = '\0'; // changing a token does not move the next
    EXPECT_STREQ(tok_next(t), "two");
    tok_destroy(&t);
    EXPECT_EQ(tok_create("a", nullptr), nullptr);
    qtest::expect_report(log, "error (tok_create, 3459): null argument passed\n", EINVAL, 160);
    char text[] = "a";
    tok foreign{0, text, text, 1};
    EXPECT_EQ(tok_next(&foreign), nullptr);
    qtest::expect_report(log, "", EINVAL, 160);
    tok* handle = &foreign;
    tok_destroy(&handle);
    EXPECT_EQ(handle, &foreign); // not ours: left alone
    // A run opened by either quote is closed by either.
    char s[] = "file=\"a b\" virtual='c\td'\tx=\"e f' g";
    mark_unquoted_spaces(s);
    EXPECT_STREQ(s, "file=\"a b\"^virtual='c\td'^x=\"e f'^g");
}

TEST(Paths, ExtensionAndDirectoryCutPastIndexZero)
{
    qtest::ErrorLog log;
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

TEST(Paths, ReadableAndSizeOfFiles)
{
    qtest::TempDir dir;
    qtest::ErrorLog log;
    std::string sparse = dir.write("sparse", "x");
    EXPECT_TRUE(is_readable(sparse.c_str()));
    EXPECT_FALSE(is_readable(dir.path().c_str())); // not a regular file
    qtest::expect_report(
        log, "error (is_readable, 2938): could not access file " + dir.path() + "\n", 0, 19);
    const auto size = (uintmax_t{5} << 30) + 3; // beyond 4 GiB
    std::filesystem::resize_file(sparse, size);
    EXPECT_EQ(static_cast<uintmax_t>(sizeof_file(sparse.c_str())), size);
    std::string missing = dir.file("missing");
    EXPECT_EQ(sizeof_file(missing.c_str()), 0);
    qtest::expect_report(log, "error: file: No such file or directory, " + missing + "\n", ENOENT,
                         2);
    EXPECT_FALSE(is_readable(nullptr));
    qtest::expect_report(log, "error (is_readable, 2928): null argument passed\n", EINVAL, 160);
}
