#include "core/log.h"

#include "core/report.h"
#include "support/support.h"

#include <ctime>
#include <regex>
#include <sstream>

using namespace quorvel;
using namespace qtest;

static const std::string stamp = R"(\[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d\] - )";

TEST(Log, FirstLogIsTheErrorLogUntilDestroyedThenTheNextNewOne)
{
    TempDir dir;
    log_record* first = log_create(dir.file("1.log").c_str());
    log_record* second = log_create(dir.file("2.log").c_str());
    EXPECT_EQ(read_file(dir.file("2.log")), ""); // made at once
    EXPECT_EQ(log_printf(second, "hello %d\n", 7), 0);
    report("t", 1, fault::bad_arg, "one\n");
    log_destroy(&first);
    report("t", 2, fault::bad_arg, "dropped\n");
    log_record* third = log_create(dir.file("3.log").c_str());
    report("t", 3, fault::bad_arg, "three\n");
    const std::pair<const char*, std::string> expected[] = {{"1.log", R"(error \(t, 1\): one)"},
                                                            {"2.log", "hello 7"},
                                                            {"3.log", R"(error \(t, 3\): three)"}};
    for (const auto& [name, line] : expected)
        EXPECT_TRUE(std::regex_match(read_file(dir.file(name)), std::regex(stamp + line + "\n")))
            << name;
    log_destroy(&second);
    log_destroy(&third);
}

TEST(Log, LinesFromManyThreadsStayWholeAndStamped)
{
    ErrorLog errors;
    ::setenv("TZ", "QRV-13", 1); // thirteen hours east: a UTC stamp would not match
    ::tzset();
    auto hour = [] {
        std::time_t now = std::time(nullptr);
        char text[32];
        std::strftime(text, sizeof(text), "[%d/%b/%Y:%H:", std::localtime(&now));
        return std::string(text);
    };
    const std::string before = hour();
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
    const std::string after = hour();
    std::istringstream text(read_file(errors.path()));
    std::regex whole(stamp + R"(error \(writer, (\d)\): ([a-f])\2{119}\|\d+)");
    int count = 0;
    for (std::string line; std::getline(text, line); ++count) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
        ASSERT_TRUE(line.starts_with(before) || line.starts_with(after)) << line;
    }
    EXPECT_EQ(count, threads * per_thread);
}

TEST(Log, ErrorLogCanBeDestroyedWhileOtherThreadsReport)
{
    TempDir dir;
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
    EXPECT_FALSE(read_file(dir.file("e.log")).empty());
}
