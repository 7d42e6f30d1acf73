#include "foundation/directory.h"

#include "core/report.h"
#include "support/support.h"

#include <algorithm>
#include <vector>

using namespace quorvel;

TEST(Directory, ReadsEveryNameThenEndsAndRefusesWhatIsNoDirectory)
{
    qtest::TempDir dir;
    qtest::ErrorLog log;
    for (const char* name : {"b", ".hidden", "a"})
        dir.write(name, "");
    dir_record* d = dir_open(dir.path().c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (const char* name = dir_read(d))
        names.emplace_back(name);
    EXPECT_EQ(last_error(), LAST_FILE_NOT_FOUND);
    EXPECT_EQ(dir_read(d), nullptr); // stays at the end
    EXPECT_EQ(dir_close(d), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "a", "b"}));

    EXPECT_EQ(dir_open(dir.file("a").c_str()), nullptr);
    EXPECT_EQ(dir_open(dir.file("missing").c_str()), nullptr);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(dir_open(nullptr), nullptr);
    qtest::expect_report(log, "error (dir_open, 10632): null argument passed\n", EINVAL,
                         LAST_BAD_ARGUMENTS);
}
