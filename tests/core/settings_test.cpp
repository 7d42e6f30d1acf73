#include "core/settings.h"

#include <gtest/gtest.h>

using namespace quorvel;

TEST(Settings, RequestTimeoutDefaultsToTenAndRefusesNonPositiveValues)
{
    EXPECT_EQ(request_timeout_seconds(), 10);
    EXPECT_EQ(set_request_timeout_seconds(0), -1);
    EXPECT_EQ(set_request_timeout_seconds(2), 0);
    EXPECT_EQ(request_timeout_seconds(), 2);
    set_request_timeout_seconds(DEFAULT_REQUEST_TIMEOUT_SECONDS);
}
