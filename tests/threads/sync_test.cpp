#include "threads/sync.h"

#include "core/report.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace quorvel;

TEST(Mutex, NestedLockWarnsAndOneUnlockFreesIt)
{
    qtest::ErrorLog log;
    mutex* m = mutex_create();
    ASSERT_NE(m, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mutex_lock(m), 0);
    EXPECT_EQ(mutex_lock(m), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "same thread attempted to lock\n");
    EXPECT_EQ(mutex_unlock(m), 0);
    EXPECT_EQ(mutex_unlock(m), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(log.text(), "error (mutex_unlock, 6005): null or invalid argument\n");
    // The first unlock freed it: another thread can take it now.
    std::thread other([m] {
        EXPECT_EQ(mutex_lock(m), 0);
        EXPECT_EQ(mutex_unlock(m), 0);
    });
    other.join();
    mutex_destroy(&m);
    EXPECT_EQ(m, nullptr);
}

TEST(Mutex, UnlockByNonOwnerIsRefusedAndKeepsTheHolder)
{
    qtest::ErrorLog log;
    mutex* m = mutex_create();
    ASSERT_EQ(mutex_lock(m), 0);
    std::atomic<bool> got_it{false};
    std::thread intruder([&] {
        EXPECT_EQ(mutex_unlock(m), -1);
        mutex_lock(m); // blocks until the holder lets go
        got_it = true;
        mutex_unlock(m);
    });
    // The intruder cannot get past its lock while we hold it; releasing lets it through.
    while (!log.contains("6005"))
        std::this_thread::yield();
    EXPECT_FALSE(got_it.load());
    EXPECT_EQ(mutex_unlock(m), 0);
    intruder.join();
    EXPECT_TRUE(got_it.load());
    mutex_destroy(&m);
}

TEST(Mutex, NullArgumentsAreReported)
{
    qtest::ErrorLog log;
    EXPECT_EQ(mutex_lock(nullptr), -1);
    EXPECT_EQ(mutex_unlock(nullptr), -1);
    EXPECT_EQ(last_error(), 160u);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "error (mutex_lock, 5934): null argument passed\n");
    EXPECT_EQ(lines[1], "error (mutex_unlock, 5994): null argument passed\n");
    mutex_destroy(nullptr);
}

TEST(Event, TimedWaitConsumesOneSignal)
{
    event* e = event_create();
    ASSERT_NE(e, nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event_waittimed(e, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(event_signal(e), 0);
    EXPECT_EQ(event_signal(e), 0); // auto-reset: signals do not pile up
    EXPECT_EQ(event_waittimed(e, 0), 1);
    EXPECT_EQ(event_waittimed(e, 0), 0);
    event_destroy(&e);
    EXPECT_EQ(e, nullptr);
}

TEST(Event, WaitWakesOnSignalFromAnotherThread)
{
    event* e = event_create();
    std::thread signaller([e] { event_signal(e); });
    EXPECT_EQ(event_wait(e), 0);
    signaller.join();
    EXPECT_EQ(event_waittimed(e, 20), 0);
    event_destroy(&e);
}

TEST(Event, NullEventsAreRefused)
{
    qtest::ErrorLog log;
    EXPECT_EQ(event_signal(nullptr), -1);
    EXPECT_EQ(event_wait(nullptr), -1);
    EXPECT_EQ(event_waittimed(nullptr, 0), -1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "error (event_signal, 6132): null or invalid argument\n");
    EXPECT_EQ(lines[1], "error (event_wait, 6276): null or invalid argument\n");
    EXPECT_EQ(lines[2], "error (event_waittimed, 6190): null or invalid argument\n");
}

TEST(ThreadSame, ComparesIdsAndRefusesNull)
{
    qtest::ErrorLog log;
    uint32_t a = 5, b = 5, c = 6;
    EXPECT_EQ(thread_same(&a, &b), 1);
    EXPECT_EQ(thread_same(&a, &c), 0);
    EXPECT_EQ(thread_same(nullptr, &c), 0);
    EXPECT_EQ(log.text(), "error (thread_same, 5742): null argument passed\n");
}
