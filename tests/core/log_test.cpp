#include "core/log.h"

#include "core/report.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#include <vector>

using namespace quorvel;

TEST(Log, CreatesItsFileAtOnceAndStampsEveryLine)
{
    qtest::TempDir dir;
    log_record* log = log_create(dir.file("a.log").c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.file("a.log")));
    EXPECT_EQ(std::filesystem::file_size(dir.file("a.log")), 0u);
    EXPECT_EQ(log_printf(log, "hello %d\n", 7), 0);
    std::string text = qtest::read_file(dir.file("a.log"));
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] - hello 7\n)")))
        << text;
    log_destroy(&log);
    EXPECT_EQ(log, nullptr);
    EXPECT_TRUE(std::filesystem::exists(dir.file("a.log")));
}

TEST(Log, UnwritablePathFailsWithAccessErrorReportedToTheErrorLog)
{
    qtest::ErrorLog errors;
    qtest::TempDir dir;
    std::string missing = dir.file("no/such/dir/x.log");
    EXPECT_EQ(log_create(missing.c_str()), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(last_error(), 19u);
    // fopen failed, so the line carries the system's text for its errno.
    EXPECT_EQ(errors.text(), "error (log_create, 3107): No such file or directory\n");
    EXPECT_EQ(log_create(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(errors.contains("error (log_create, 3056): null argument passed\n"));
}

TEST(Log, FirstLogIsTheErrorLogUntilDestroyedThenTheNextNewOne)
{
    qtest::TempDir dir;
    log_record* first = log_create(dir.file("1.log").c_str());
    log_record* second = log_create(dir.file("2.log").c_str());
    report("t", 1, fault::bad_arg, "one\n");
    log_destroy(&first);
    report("t", 2, fault::bad_arg, "dropped\n");
    log_record* third = log_create(dir.file("3.log").c_str());
    report("t", 3, fault::bad_arg, "three\n");
    EXPECT_NE(qtest::read_file(dir.file("1.log")).find("error (t, 1): one\n"), std::string::npos);
    EXPECT_EQ(qtest::read_file(dir.file("2.log")), "");
    EXPECT_NE(qtest::read_file(dir.file("3.log")).find("error (t, 3): three\n"), std::string::npos);
    EXPECT_EQ(qtest::read_file(dir.file("3.log")).find("dropped"), std::string::npos);
    log_destroy(&second);
    log_destroy(&third);
}

TEST(Log, PrintfOnNullLogWritesNothing)
{
    EXPECT_EQ(log_printf(nullptr, "x"), -1);
    errno = 0;
    log_record empty{};
    EXPECT_EQ(log_printf(&empty, "x"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(last_error(), 160u);
}

TEST(Log, LinesFromManyThreadsStayWhole)
{
    qtest::ErrorLog errors;
    constexpr int threads = 6, per_thread = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            std::string payload(120, static_cast<char>('a' + t));
            for (int i = 0; i < per_thread; ++i)
                report("writer", t, fault::none, "%s|%d\n", payload.c_str(), i);
        });
    for (auto& w : writers)
        w.join();
    auto lines = errors.lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
    std::regex whole(R"(error \(writer, (\d)\): ([a-f])\2{119}\|\d+\n)");
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(Log, ErrorLogCanBeDestroyedWhileOtherThreadsReport)
{
    qtest::TempDir dir;
    log_record* log = log_create(dir.file("e.log").c_str());
    std::atomic<bool> started{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&started] {
            for (int i = 0; i < 400; ++i) {
                report("writer", i, fault::none, "line\n");
                started = true;
            }
        });
    while (!started)
        std::this_thread::yield();
    log_destroy(&log);
    for (auto& w : writers)
        w.join();
    EXPECT_FALSE(qtest::read_file(dir.file("e.log")).empty());
}
