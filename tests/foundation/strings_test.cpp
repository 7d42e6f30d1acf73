#include "foundation/strings.h"

#include "core/report.h"
#include "foundation/tokenizer.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

using namespace quorvel;
using list = std::vector<std::string>;

TEST(Strings, ConcatFitsExactlyButNotOneByteMoreWhichEmptiesTheDestination)
{
    qtest::ErrorLog log;
    char dest[6] = "abc";
    EXPECT_EQ(str_concat(dest, sizeof(dest), "de"), 0);
    EXPECT_STREQ(dest, "abcde");
    std::strcpy(dest, "abc");
    EXPECT_EQ(str_concat(dest, sizeof(dest), "def"), -1);
    EXPECT_STREQ(dest, "");
    qtest::expect_report(log, "error (str_concat, 1613): provided buffer is too small\n", ENOSPC,
                         0);
    EXPECT_EQ(str_concat(dest, 0, "a"), -1);
    qtest::expect_report(log, "error (str_concat, 1603): null argument passed\n", EINVAL, 160);
}

TEST(Strings, PrintfGrowsPastTheStackAreaAndKeepsTheStringOnFailure)
{
    qtest::ErrorLog log;
    char* s = nullptr;
    ASSERT_EQ(str_printf(&s, "%s=%d", "a", 1), 0);
    // The old string may be an argument: it is released only after the new one is built.
    ASSERT_EQ(str_printf(&s, ";%s", s), 0);
    std::string expected = s;
    EXPECT_EQ(expected, "a=1;a=1");
    for (size_t n : {1022u, 1023u, 5000u}) { // 1022 fit the stack area with two spare bytes
        std::string piece(n, 'x');
        piece.back() = 'y';
        ASSERT_EQ(str_printf(&s, "%s", piece.c_str()), 0);
        expected += piece;
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
        {"1\xff"
         "2",
         "\xff",
         {"1", "2"}},
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
    EXPECT_TRUE(log.lines().empty());
    // A run opened by either quote is closed by either.
    char s[] = "file=\"a b\" virtual='c\td'\tx=\"e f' g";
    mark_unquoted_spaces(s);
    EXPECT_STREQ(s, "file=\"a b\"^virtual='c\td'^x=\"e f'^g");
}

TEST(Tokenizer, NullArgumentsAndForeignRecords)
{
    qtest::ErrorLog log;
    EXPECT_EQ(tok_create("a", nullptr), nullptr);
    qtest::expect_report(log, "error (tok_create, 3459): null argument passed\n", EINVAL, 160);
    char text[] = "a";
    tok foreign{0, text, text, 1};
    EXPECT_EQ(tok_next(&foreign), nullptr);
    qtest::expect_report(log, "", EINVAL, 160);
    tok* handle = &foreign;
    tok_destroy(&handle);
    EXPECT_EQ(handle, &foreign); // not ours: left alone
}
