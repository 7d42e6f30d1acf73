#include "foundation/strings.h"

#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

using namespace quorvel;

TEST(StrConcat, FitsExactlyButNotOneByteMoreWhichEmptiesTheDestination)
{
    qtest::ErrorLog log;
    char dest[6] = "abc";
    EXPECT_EQ(str_concat(dest, sizeof(dest), "de"), 0);
    EXPECT_STREQ(dest, "abcde");
    std::strcpy(dest, "abc");
    EXPECT_EQ(str_concat(dest, sizeof(dest), "def"), -1);
    EXPECT_STREQ(dest, "");
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(last_error(), 0u);
    EXPECT_EQ(log.text(), "error (str_concat, 1613): provided buffer is too small\n");
}

TEST(StrVprintf, CreatesAppendsAndGrowsPastTheStackArea)
{
    char* s = nullptr;
    ASSERT_EQ(str_printf(&s, "%s=%d", "a", 1), 0);
    // The old string may be an argument: it is released only after the new one is built.
    ASSERT_EQ(str_printf(&s, ";%s", s), 0);
    EXPECT_STREQ(s, "a=1;a=1");
    std::string expected = s;
    // 1022 characters fit the stack area with the two spare bytes, 1023 do not.
    for (size_t n : {1022u, 1023u, 5000u}) {
        std::string piece(n, 'x');
        piece.back() = 'y';
        ASSERT_EQ(str_printf(&s, "%s", piece.c_str()), 0);
        expected += piece;
        EXPECT_EQ(s, expected) << n;
    }
    quorvel_mem_free(s);
}

TEST(Strings, BadArgumentsAreRefused)
{
    qtest::ErrorLog log;
    char dest[4] = "";
    EXPECT_EQ(str_concat(nullptr, 4, "a"), -1);
    EXPECT_EQ(str_concat(dest, 4, nullptr), -1);
    EXPECT_EQ(str_concat(dest, 0, "a"), -1);
    EXPECT_EQ(str_dup(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
    std::string concat = "error (str_concat, 1603): null argument passed\n";
    EXPECT_EQ(log.text(),
              concat + concat + concat + "error (str_dup, 2676): null argument passed\n");

    // str_vprintf fails silently and keeps the string, also for a wide character the "C"
    // locale cannot convert.
    log.clear();
    char* s = nullptr;
    EXPECT_EQ(str_printf(nullptr, "x"), -1);
    EXPECT_EQ(str_printf(&s, nullptr), -1);
    ASSERT_EQ(str_printf(&s, "keep"), 0);
    EXPECT_EQ(str_printf(&s, "%ls", L"\x1234"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
    EXPECT_STREQ(s, "keep");
    quorvel_mem_free(s);
    EXPECT_TRUE(log.lines().empty());
}
