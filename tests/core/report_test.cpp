#include "core/report.h"

#include "support/support.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace quorvel;

TEST(Report, WritesTextVariantAndSetsCodesAfterTheLine)
{
    qtest::ErrorLog log;
    clear_errors();
    report("buffer_create", 4911, fault::bad_arg, "null or invalid argument\n");
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "error (buffer_create, 4911): null or invalid argument\n");
}

TEST(Report, UsesStrerrorVariantWhenErrnoIsPending)
{
    qtest::ErrorLog log;
    clear_errors();
    errno = ENOENT;
    report("quorvel_obj_start", 16335, fault::bad_arg, "no listeners have been defined\n");
    EXPECT_EQ(log.text(), "error (quorvel_obj_start, 16335): No such file or directory\n");
    EXPECT_EQ(errno, EINVAL);
}

TEST(Report, FaultNoneKeepsTheInnerErrno)
{
    qtest::ErrorLog log;
    clear_errors();
    errno = EPERM;
    report("is_readable", 2938, fault::none, "could not access file %s\n", "x");
    EXPECT_EQ(errno, EPERM);
}

TEST(Report, DebugLinesOnlyWhileOnAndKeepErrno)
{
    qtest::ErrorLog log;
    debug("quorvel_kernel", 15668, "primary thread coming up...\n");
    EXPECT_TRUE(log.lines().empty());
    set_debug(true);
    errno = EAGAIN;
    set_last_error(8);
    debug("quorvel_kernel", 15668, "primary thread coming up...\n");
    set_debug(false);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(last_error(), 8u);
    EXPECT_EQ(log.text(), "(quorvel_kernel, 15668): primary thread coming up...\n");
}

TEST(Report, LinesWithoutLineEndAreReadAsSeparateEntries)
{
    qtest::ErrorLog log;
    clear_errors();
    report("socket_unbufsnd", 5441, fault::none, "send error");
    report("x", 1, fault::none, "next\n");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error (socket_unbufsnd, 5441): send error");
    EXPECT_EQ(lines[1], "error (x, 1): next\n");
}

TEST(Report, LogSafeEscapesControlBytesAndCuts)
{
    char out[16];
    EXPECT_STREQ(log_safe("a\r\nb\x7f", out, sizeof(out)), "a\\x0D\\x0Ab\\x7F");
    EXPECT_STREQ(log_safe("0123456789abcdefgh", out, sizeof(out)), "0123456789abcde");
}
