#include "http/date.h"

#include "support/support.h"

#include <cstdint>

using namespace quorvel;

TEST(HttpDate, Rfc1123InUtcWithSixtyFourBitTimesAndABoundedOutput)
{
    char out[HTTP_DATE_SIZE];
    EXPECT_STREQ(format_http_date(784111777, out, sizeof(out)), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_STREQ(format_http_date(4102444800, out, sizeof(out)), "Fri, 01 Jan 2100 00:00:00 GMT");
    EXPECT_STREQ(format_http_date(-1, out, sizeof(out)), "Wed, 31 Dec 1969 23:59:59 GMT");
    EXPECT_EQ(format_http_date(INT64_MAX, out, sizeof(out)), nullptr);
    EXPECT_EQ(format_http_future(INT64_MAX, out, sizeof(out)), nullptr);
    // A text that does not fit is refused, not cut.
    EXPECT_EQ(format_http_date(784111777, out, 29), nullptr);
    EXPECT_STREQ(out, "");
}
