#include "core/log.h"

#include "core/report.h"
#include "support/support.h"

#include <ctime>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

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

TEST(Log, DashIsDescriptorTwoItselfWithOneWritePerEntry)
{
    // A packet socket as descriptor 2 keeps each write apart: one packet is one write.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    const int saved = ::dup(2);
    ASSERT_EQ(::dup2(pair[1], 2), 2);
    log_record* log = log_create("-");
    const std::string long_text(5000, 'x'); // longer than the entry's area on the stack
    const int results[] = {log_printf(log, "short %d\n", 1),
                           log_printf(log, "%s\n", long_text.c_str())};
    report("t", 2, fault::bad_arg, "through the error log\n");
    ::dup2(saved, 2);
    ::close(saved);
    ::close(pair[1]);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    std::vector<std::string> writes;
    std::vector<char> packet(16384);
    for (ssize_t n;
         writes.size() < 4 && (n = ::recv(pair[0], packet.data(), packet.size(), 0)) > 0;)
        writes.emplace_back(packet.data(), static_cast<size_t>(n));
    ::close(pair[0]);
    ASSERT_EQ(writes.size(), 3u);
    const std::string lines[] = {"short 1", long_text, R"(error \(t, 2\): through the error log)"};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(std::regex_match(writes[i], std::regex(stamp + lines[i] + "\n"))) << writes[i];
    log_destroy(&log);

    // Descriptor 2 closed, or open for reading only: no log on it.
    for (int flags : {-1, O_RDONLY}) {
        const int kept = ::dup(2);
        if (flags == -1)
            ::close(2);
        else
            ::dup2(::open("/dev/null", flags | O_CLOEXEC), 2);
        log = log_create("-");
        const int error = errno;
        ::dup2(kept, 2);
        ::close(kept);
        EXPECT_EQ(log, nullptr) << flags;
        EXPECT_EQ(error, EACCES) << flags;
        log_destroy(&log);
    }
}
