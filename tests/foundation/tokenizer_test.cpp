#include "foundation/tokenizer.h"

#include "support/support.h"

using namespace quorvel;
using namespace qtest;
using list = std::vector<std::string>;

TEST(Tokenizer, EmptyTokensAreNeverReturned)
{
    ErrorLog log;
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
    expect_report(log, "error (tok_create, 3459): null argument passed\n", EINVAL, 160);
    char text[] = "a";
    tok foreign{0, text, text, 1};
    EXPECT_EQ(tok_next(&foreign), nullptr);
    expect_report(log, "", EINVAL, 160);
    tok* handle = &foreign;
    tok_destroy(&handle);
    EXPECT_EQ(handle, &foreign); // not ours: left alone
    // A run opened by either quote is closed by either.
    char s[] = "file=\"a b\" virtual='c\td'\tx=\"e f' g";
    mark_unquoted_spaces(s);
    EXPECT_STREQ(s, "file=\"a b\"^virtual='c\td'^x=\"e f'^g");
}
