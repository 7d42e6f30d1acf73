#include "foundation/tokenizer.h"

#include "core/report.h"
#include "support/support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace quorvel;
using list = std::vector<std::string>;

namespace {

// Every token of `s`; checks that the tokenizer then stays exhausted without an error.
list tokens(const char* s, const char* delimiters)
{
    tok* t = tok_create(s, delimiters);
    list out;
    while (char* token = tok_next(t))
        out.emplace_back(token);
    EXPECT_EQ(tok_next(t), nullptr);
    EXPECT_EQ(errno, 0);
    tok_destroy(&t);
    EXPECT_EQ(t, nullptr);
    return out;
}

} // namespace

TEST(Tokenizer, EmptyTokensAreNeverReturned)
{
    qtest::ErrorLog log;
    EXPECT_EQ(tokens("a,,b,", ","), (list{"a", "b"}));
    EXPECT_EQ(tokens(" u1, u2;;grp:x ", " ,;:"), (list{"u1", "u2", "grp", "x"}));
    EXPECT_EQ(tokens("", ","), list{});
    EXPECT_EQ(tokens(",,,", ","), list{});
    EXPECT_EQ(tokens("a b,c", ""), (list{"a b,c"}));
    EXPECT_EQ(tokens("1\xff"
                     "2",
                     "\xff"),
              (list{"1", "2"}));
    EXPECT_TRUE(log.lines().empty());
}

TEST(Tokenizer, ChangingATokenDoesNotMoveTheNext)
{
    tok* t = tok_create("one two", " ");
    tok_next(t)[1] = '\0';
    EXPECT_STREQ(tok_next(t), "two");
    tok_destroy(&t);
}

TEST(Tokenizer, NullArgumentsAndForeignRecords)
{
    qtest::ErrorLog log;
    EXPECT_EQ(tok_create(nullptr, ","), nullptr);
    EXPECT_EQ(tok_create("a", nullptr), nullptr);
    EXPECT_EQ(tok_next(nullptr), nullptr);
    EXPECT_EQ(log.text(), "error (tok_create, 3459): null argument passed\n"
                          "error (tok_create, 3459): null argument passed\n"
                          "error (tok_next, 3540): null argument passed\n");
    log.clear();
    char text[] = "a";
    tok foreign{0, text, text, 1};
    EXPECT_EQ(tok_next(&foreign), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
    EXPECT_TRUE(log.lines().empty());

    tok* handle = &foreign;
    tok_destroy(&handle);
    EXPECT_EQ(handle, &foreign);
    tok* none = nullptr;
    tok_destroy(&none);
    tok_destroy(nullptr);
}

TEST(MarkUnquotedSpaces, BlanksOutsideQuotesSplitDirectiveArguments)
{
    // A run opened by either quote is closed by either.
    char s[] = "file=\"a b\" virtual='c\td'\tx=\"e f' g";
    mark_unquoted_spaces(s);
    EXPECT_STREQ(s, "file=\"a b\"^virtual='c\td'^x=\"e f'^g");
    EXPECT_EQ(tokens(s, "^\"'"), (list{"file=", "a b", "virtual=", "c\td", "x=", "e f", "g"}));
    mark_unquoted_spaces(nullptr);
}
