#include "threads/sync.h"

#include "core/report.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
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
    qtest::expect_report(log, "error (mutex_unlock, 6005): null or invalid argument\n", EINVAL,
                         160);
    std::thread([m] { // the first unlock freed it
        EXPECT_EQ(mutex_lock(m), 0);
        EXPECT_EQ(mutex_unlock(m), 0);
    })
        .join();
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
    while (!log.contains("6005"))
        std::this_thread::yield();
    EXPECT_FALSE(got_it.load());
    EXPECT_EQ(mutex_unlock(m), 0);
    intruder.join();
    EXPECT_TRUE(got_it.load());
    mutex_destroy(&m);
}

TEST(Event, AutoResetSignalsWakeOneWait)
{
    event* e = event_create();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(event_waittimed(e, 0), 0);
    EXPECT_EQ(event_signal(e), 0);
    EXPECT_EQ(event_signal(e), 0); // signals do not pile up
    EXPECT_EQ(event_waittimed(e, 0), 1);
    EXPECT_EQ(event_waittimed(e, 0), 0);
    std::thread signaller([e] { event_signal(e); });
    EXPECT_EQ(event_wait(e), 0);
    signaller.join();
    event_destroy(&e);
    EXPECT_EQ(e, nullptr);
}

TEST(Sync, NullArgumentsAreReported)
{
    qtest::ErrorLog log;
    uint32_t a = 5, b = 5, c = 6;
    EXPECT_EQ(thread_same(&a, &b), 1);
    EXPECT_EQ(thread_same(&a, &c), 0);
    EXPECT_EQ(mutex_lock(nullptr), -1);
    EXPECT_EQ(event_waittimed(nullptr, 0), -1);
    EXPECT_EQ(thread_same(nullptr, &c), 0);
    EXPECT_EQ(log.text(), "error (mutex_lock, 5934): null argument passed\n"
                          "error (event_waittimed, 6190): null or invalid argument\n"
                          "error (thread_same, 5742): null argument passed\n");
    mutex_destroy(nullptr);
}
