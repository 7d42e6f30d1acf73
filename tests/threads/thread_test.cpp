#include "threads/thread.h"

#include "core/report.h"
#include "support/support.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace quorvel;

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
    bool release = false, returned = false;
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

TEST(Thread, BodiesThatStopAreJoinedWithoutForce)
{
    qtest::ErrorLog log;
    set_debug(true);
    std::atomic<int> ran{0};
    thread_record* t = thread_create(returns_at_once, &ran, 0, false);
    ASSERT_NE(t, nullptr);
    thread_destroy(&t);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(ran.load(), 1);
    t = thread_create(polls_stop_flag, &ran, 0, false);
    EXPECT_EQ(quorvel_thread_continue(t), 0);
    thread_destroy(&t);
    EXPECT_EQ(ran.load(), 2); // started, so it ran although the stop came at once
    t = thread_create(returns_at_once, &ran, 64 * 1024, true);
    thread_resume(t);
    while (ran.load() == 2)
        std::this_thread::yield();
    thread_destroy(&t);
    t = thread_create(returns_at_once, &ran, 0, true);
    thread_destroy(&t);
    EXPECT_EQ(ran.load(), 3); // stopped while suspended: the body never starts
    set_debug(false);
    EXPECT_EQ(log.text(), "");
}

TEST(Thread, BodyIgnoringStopIsLeftRunningAndFreesItsOwnRecord)
{
    qtest::ErrorLog log;
    set_debug(true);
    stubborn s;
    thread_record* t = thread_create(ignores_stop_flag, &s, 0, false);
    ASSERT_NE(t, nullptr);
    thread_destroy(&t);
    set_debug(false);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(log.text(), "(thread_kill, 6377): thread did not respond, forcing down thread\n");
    // The body still runs; let it finish: it frees its own record (checked by the sanitizers).
    std::unique_lock<std::mutex> hold(s.lock);
    s.release = true;
    s.changed.notify_all();
    s.changed.wait(hold, [&s] { return s.returned; });
}

TEST(Thread, RefusesNullBodyAndKillOfFinishedThread)
{
    qtest::ErrorLog log;
    EXPECT_EQ(thread_create(nullptr, nullptr, 0, false), nullptr);
    qtest::expect_report(log, "error (thread_create, 6482): null argument passed\n", EINVAL, 160);
    EXPECT_EQ(thread_kill(nullptr), -1);
    qtest::expect_report(log, "error (thread_kill, 6369): null or invalid argument\n", EINVAL, 160);
}
