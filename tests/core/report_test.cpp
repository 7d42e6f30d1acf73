#include "core/report.h"

#include "core/log.h"
#include "support/support.h"

using namespace quorvel;
using namespace qtest;

TEST(Report, LogFailuresAndReportLines)
{
    ErrorLog log;
    TempDir dir;
    EXPECT_EQ(log_create(dir.file("no/such/dir/x.log").c_str()), nullptr);
    // fopen failed, so the line carries the system's text for its errno.
    expect_report(log, "error (log_create, 3107): No such file or directory\n", EACCES, 19);
    log_record empty{};
    EXPECT_EQ(log_printf(&empty, "x"), -1);
    expect_report(log, "", EINVAL, 160);
    errno = ENOENT; // a pending errno replaces the text with the system's
    report("quorvel_obj_start", 16335, fault::bad_arg, "no listeners have been defined\n");
    expect_report(log, "error (quorvel_obj_start, 16335): No such file or directory\n", EINVAL,
                  160);
    debug("quorvel_kernel", 15668, "off\n");
    set_debug(true);
    errno = EPERM;
    debug("quorvel_kernel", 15668, "primary thread coming up...\n");
    report("is_readable", 2938, fault::none, "could not access file\n");
    set_debug(false);
    EXPECT_EQ(errno, EPERM); // debug lines and fault::none keep the inner errno
    EXPECT_TRUE(log.text().starts_with("(quorvel_kernel, 15668): primary thread coming up...\n"));
    char out[16];
    EXPECT_STREQ(log_safe("a\r\nb\x7f", out, sizeof(out)), "a\\x0D\\x0Ab\\x7F");
    EXPECT_STREQ(log_safe("0123456789abcdefgh", out, sizeof(out)), "0123456789abcde");
}
