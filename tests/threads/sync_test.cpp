#include "threads/sync.h"

#include "core/report.h"
#include "support/support.h"

using namespace quorvel;
using namespace qtest;

TEST(Mutex, NestedLockWarnsAndNonOwnerCannotUnlock)
{
    ErrorLog log;
    mutex* m = mutex_create();
    testing::internal::CaptureStderr();
    EXPECT_EQ(mutex_lock(m), 0);
    EXPECT_EQ(mutex_lock(m), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "same thread attempted to lock\n");
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
    EXPECT_EQ(mutex_unlock(m), 0); // one unlock frees a nested lock
    intruder.join();
    EXPECT_TRUE(got_it.load());
    EXPECT_EQ(mutex_unlock(m), -1);
    EXPECT_EQ(log.text(), "error (mutex_unlock, 6005): null or invalid argument\n"
                          "error (mutex_unlock, 6005): null or invalid argument\n");
    mutex_destroy(&m);
    EXPECT_EQ(m, nullptr);
}

TEST(Event, AutoResetSignalsWakeOneWait)
{
    event* e = event_create();
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
