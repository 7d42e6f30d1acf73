#include "foundation/base64.h"

#include "support/support.h"

using namespace quorvel;

TEST(Base64, DecodesByTheStrictRulesWithinTheBound)
{
    auto decode = [](const char* text, int size = 64) -> std::string {
        unsigned char out[64] = {};
        int n = b64_decode(text, out, size);
        return n < 0 ? "<fail>" : std::string(reinterpret_cast<char*>(out), size_t(n));
    };
    EXPECT_EQ(decode(" dX\tNl\ncjpw YXNz \r\n"), "user:pass");
    EXPECT_EQ(decode("YQ =\n= \n"), "a");
    for (const char* bad : {"YQ", "YQ=", "====", "YR==", "YWN=", "YWI==", "YQ==YQ==", "dXNl*jpw"})
        EXPECT_EQ(decode(bad), "<fail>") << bad;
    // Every byte written counts against the bound, the padding-only byte of a quantum too.
    EXPECT_EQ(decode("YWJj", 3), "abc");
    EXPECT_EQ(decode("YWJj", 2), "<fail>");
    EXPECT_EQ(decode("YWI=", 2), "<fail>");
}
