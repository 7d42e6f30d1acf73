#include "threads/thread.h"

#include "core/report.h"
#include "support/support.h"
#include "threads/sync.h"

using namespace quorvel;
using namespace qtest;

static void counts(thread_record* self, void* arg)
{
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    while (self != nullptr && !quorvel_thread_continue(self))
        std::this_thread::yield();
}

// Ignores its stop flag until the test signals the first event; then reads the flag from its
// record, which must still be there, and signals the second.
static void ignores_stop_flag(thread_record* self, void* arg)
{
    event_wait(static_cast<event**>(arg)[0]);
    EXPECT_NE(quorvel_thread_continue(self), 0);
    event_signal(static_cast<event**>(arg)[1]);
}

TEST(Thread, BodiesThatStopAreJoinedWithoutForce)
{
    ErrorLog log;
    set_debug(true);
    std::atomic<int> ran{0};
    for (bool suspended : {false, true}) {
        thread_record* t = thread_create(counts, &ran, 64 * 1024, suspended);
        thread_destroy(&t);
        EXPECT_EQ(t, nullptr);
    }
    // Started, the body runs although the stop came at once; stopped while suspended, never.
    EXPECT_EQ(ran.load(), 1);
    thread_record* t = thread_create(counts, &ran, 0, true);
    thread_resume(t);
    while (ran.load() == 1)
        std::this_thread::yield();
    thread_destroy(&t);
    set_debug(false);
    EXPECT_EQ(log.text(), "");
}

TEST(Thread, BodyIgnoringStopIsLeftRunningAndFreesItsOwnRecord)
{
    ErrorLog log;
    set_debug(true);
    event* events[2] = {event_create(), event_create()};
    thread_record* t = thread_create(ignores_stop_flag, events, 0, false);
    thread_destroy(&t);
    set_debug(false);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(log.text(), "(thread_kill, 6377): thread did not respond, forcing down thread\n");
    // The body still runs; let it finish: it frees its own record (checked by the sanitizers).
    event_signal(events[0]);
    event_wait(events[1]);
    event_destroy(&events[0]);
    event_destroy(&events[1]);
}

TEST(Thread, NullArgumentsAreReported)
{
    ErrorLog log;
    uint32_t a = 5, b = 5, c = 6;
    EXPECT_EQ(thread_same(&a, &b), 1);
    EXPECT_EQ(thread_same(&a, &c), 0);
    EXPECT_EQ(thread_same(nullptr, &c), 0);
    EXPECT_EQ(mutex_lock(nullptr), -1);
    EXPECT_EQ(event_waittimed(nullptr, 0), -1);
    EXPECT_EQ(thread_create(nullptr, nullptr, 0, false), nullptr);
    EXPECT_EQ(log.text(), "error (thread_same, 5742): null argument passed\n"
                          "error (mutex_lock, 5934): null argument passed\n"
                          "error (event_waittimed, 6190): null or invalid argument\n"
                          "error (thread_create, 6482): null argument passed\n");
}
