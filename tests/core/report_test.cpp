#include "core/report.h"

#include "core/settings.h"
#include "support/support.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace quorvel;

TEST(Report, LineTextErrnoAndLastError)
{
    qtest::ErrorLog log;
    clear_errors();
    report("buffer_create", 4911, fault::bad_arg, "null or invalid argument\n");
    qtest::expect_report(log, "error (buffer_create, 4911): null or invalid argument\n", EINVAL,
                         160);
    errno = ENOENT; // a pending errno replaces the text with the system's
    report("quorvel_obj_start", 16335, fault::bad_arg, "no listeners have been defined\n");
    qtest::expect_report(log, "error (quorvel_obj_start, 16335): No such file or directory\n",
                         EINVAL, 160);
    // A line without a line end is read back as an entry of its own.
    clear_errors();
    report("socket_unbufsnd", 5441, fault::none, "send error");
    report("x", 1, fault::none, "next\n");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"error (socket_unbufsnd, 5441): send error",
                                                     "error (x, 1): next\n"}));
    errno = EPERM; // fault::none keeps the inner errno
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
    qtest::expect_report(log, "(quorvel_kernel, 15668): primary thread coming up...\n", EAGAIN, 8);
}

TEST(Report, LogSafeEscapesControlBytesAndCuts)
{
    char out[16];
    EXPECT_STREQ(log_safe("a\r\nb\x7f", out, sizeof(out)), "a\\x0D\\x0Ab\\x7F");
    EXPECT_STREQ(log_safe("0123456789abcdefgh", out, sizeof(out)), "0123456789abcde");
}

TEST(Settings, RequestTimeoutDefaultsToTenAndRefusesNonPositiveValues)
{
    EXPECT_EQ(request_timeout_seconds(), 10);
    EXPECT_EQ(set_request_timeout_seconds(0), -1);
    EXPECT_EQ(request_timeout_seconds(), 10);
    EXPECT_EQ(set_request_timeout_seconds(2), 0);
    EXPECT_EQ(request_timeout_seconds(), 2);
    set_request_timeout_seconds(DEFAULT_REQUEST_TIMEOUT_SECONDS);
}
