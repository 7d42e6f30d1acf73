#include "threads/thread.h"

#include "core/report.h"
#include "support/support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace quorvel;
using namespace std::chrono;

namespace {

void returns_at_once(thread_record*, void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

void polls_stop_flag(thread_record* self, void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    while (!quorvel_thread_continue(self))
        std::this_thread::yield();
}

// Ignores its stop flag until the test lets it go.
struct stubborn {
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    bool returned = false;
};

void ignores_stop_flag(thread_record*, void* arg)
{
    auto* s = static_cast<stubborn*>(arg);
    std::unique_lock<std::mutex> hold(s->lock);
    s->changed.wait(hold, [s] { return s->release; });
    s->returned = true;
    s->changed.notify_all();
}

} // namespace

TEST(Thread, BodyThatReturnsAtOnceIsJoinedWithoutForce)
{
    qtest::ErrorLog log;
    set_debug(true);
    std::atomic<int> ran{0};
    thread_record* t = thread_create(returns_at_once, &ran, 0, false);
    ASSERT_NE(t, nullptr);
    thread_destroy(&t);
    set_debug(false);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(ran.load(), 1);
    EXPECT_FALSE(log.contains("thread did not respond"));
}

TEST(Thread, StopFlagEndsAPollingBodyQuickly)
{
    std::atomic<int> ran{0};
    thread_record* t = thread_create(polls_stop_flag, &ran, 0, false);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(quorvel_thread_continue(t), 0);
    auto start = steady_clock::now();
    thread_destroy(&t);
    EXPECT_LT(steady_clock::now() - start, milliseconds(450));
    EXPECT_EQ(ran.load(), 1); // started, so it ran although the stop came at once
}

TEST(Thread, BodyIgnoringStopIsGivenUpAfterHalfASecondAndFreesItself)
{
    qtest::ErrorLog log;
    set_debug(true);
    stubborn s;
    thread_record* t = thread_create(ignores_stop_flag, &s, 0, false);
    ASSERT_NE(t, nullptr);
    auto start = steady_clock::now();
    thread_destroy(&t);
    auto waited = steady_clock::now() - start;
    set_debug(false);
    EXPECT_GE(waited, milliseconds(450));
    EXPECT_LT(waited, milliseconds(1500));
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(log.text(), "(thread_kill, 6377): thread did not respond, forcing down thread\n");
    // The body still runs; let it finish: it frees its own record (checked by the sanitizers).
    std::unique_lock<std::mutex> hold(s.lock);
    s.release = true;
    s.changed.notify_all();
    s.changed.wait(hold, [&s] { return s.returned; });
}

TEST(Thread, SuspendedThreadRunsAfterResumeAndCanBeDestroyedUnstarted)
{
    std::atomic<int> ran{0};
    thread_record* t = thread_create(returns_at_once, &ran, 0, true);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ran.load(), 0);
    thread_resume(t);
    auto deadline = steady_clock::now() + seconds(10);
    while (ran.load() == 0 && steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(ran.load(), 1);
    thread_destroy(&t);

    thread_record* never = thread_create(returns_at_once, &ran, 64 * 1024, true);
    ASSERT_NE(never, nullptr);
    thread_destroy(&never);
    EXPECT_EQ(ran.load(), 1); // stopped before its body could start
}

TEST(Thread, RefusesNullBodyAndKillOfFinishedThread)
{
    qtest::ErrorLog log;
    EXPECT_EQ(thread_create(nullptr, nullptr, 0, false), nullptr);
    EXPECT_EQ(thread_kill(nullptr), -1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error (thread_create, 6482): null argument passed\n");
    EXPECT_EQ(lines[1], "error (thread_kill, 6369): null or invalid argument\n");
}
