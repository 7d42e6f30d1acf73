#include "foundation/strings.h"

#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

using namespace quorvel;
using namespace qtest;

static int str_printf(char** s, const char* format, ...) __attribute__((format(printf, 2, 3)));
static int str_printf(char** s, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = str_vprintf(s, format, args);
    va_end(args);
    return result;
}

TEST(Strings, ConcatAndPrintfBoundaries)
{
    ErrorLog log;
    char dest[6] = "abc";
    EXPECT_EQ(str_concat(dest, sizeof(dest), "de"), 0); // fits exactly
    EXPECT_STREQ(dest, "abcde");
    EXPECT_EQ(str_concat(dest, sizeof(dest), "f"), -1); // one more byte empties the destination
    EXPECT_STREQ(dest, "");
    expect_report(log, "error (str_concat, 1613): provided buffer is too small\n", ENOSPC, 0);
    EXPECT_EQ(str_concat(dest, 0, "a"), -1);
    expect_report(log, "error (str_concat, 1603): null argument passed\n", EINVAL, 160);
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
    expect_report(log, "", EINVAL, 160);
    EXPECT_EQ(s, expected);
    quorvel_mem_free(s);
}
