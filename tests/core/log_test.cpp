#include "core/log.h"

#include "core/report.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace quorvel;

namespace {

const std::string stamp = R"(\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] - )";

} // namespace

TEST(Log, CreateWriteAndFailures)
{
    qtest::ErrorLog errors;
    qtest::TempDir dir;
    log_record* log = log_create(dir.file("a.log").c_str());
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(std::filesystem::file_size(dir.file("a.log")), 0u); // made at once
    EXPECT_EQ(log_printf(log, "hello %d\n", 7), 0);
    std::string text = qtest::read_file(dir.file("a.log"));
    EXPECT_TRUE(std::regex_match(text, std::regex(stamp + "hello 7\n"))) << text;
    log_destroy(&log);
    EXPECT_EQ(log, nullptr);

    EXPECT_EQ(log_create(dir.file("no/such/dir/x.log").c_str()), nullptr);
    // fopen failed, so the line carries the system's text for its errno.
    qtest::expect_report(errors, "error (log_create, 3107): No such file or directory\n", EACCES,
                         19);
    EXPECT_EQ(log_printf(nullptr, "x"), -1);
    log_record empty{};
    EXPECT_EQ(log_printf(&empty, "x"), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(errors.text(), "");
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
    EXPECT_TRUE(std::regex_match(qtest::read_file(dir.file("3.log")),
                                 std::regex(stamp + R"(error \(t, 3\): three\n)")));
    log_destroy(&second);
    log_destroy(&third);
}

TEST(Log, LinesFromManyThreadsStayWholeAndStamped)
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
    std::istringstream text(qtest::read_file(errors.path()));
    std::regex whole(stamp + R"(error \(writer, (\d)\): ([a-f])\2{119}\|\d+)");
    int count = 0;
    for (std::string line; std::getline(text, line); ++count)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(count, threads * per_thread);
}

TEST(Log, ErrorLogCanBeDestroyedWhileOtherThreadsReport)
{
    qtest::TempDir dir;
    log_record* log = log_create(dir.file("e.log").c_str());
    std::atomic<bool> started{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&started] {
            for (int i = 0; i < 400; ++i, started = true)
                report("writer", i, fault::none, "line\n");
        });
    while (!started)
        std::this_thread::yield();
    log_destroy(&log);
    for (auto& w : writers)
        w.join();
    EXPECT_FALSE(qtest::read_file(dir.file("e.log")).empty());
}
