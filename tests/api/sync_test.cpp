// Worker pools and the host's mutexes and events through the public calls: order and
// exactly-once execution, argument copies, the linear queue, destroy in every state, the
// synchronisation calls across threads, and every refusal.
#include "quorvel.h"
#include "support/support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

long thread_count()
{
    auto it = std::filesystem::directory_iterator("/proc/self/task");
    return std::distance(begin(it), end(it));
}

// A task that says it has begun, then waits until the test opens the gate: keeps the worker
// busy on demand.
envelope* gate = nullptr;
envelope* begun = nullptr;
envelope* left = nullptr;
void wait_at_gate(void*)
{
    quorvel_event_set(begun);
    quorvel_event_wait(gate);
    quorvel_event_set(left);
}

void signal_event(void* event)
{
    quorvel_event_set(static_cast<envelope*>(event));
}

class Workers : public ::testing::Test {
protected:
    void SetUp() override
    {
        quorvel_init();
        std::thread([] {}).join(); // a sanitizer's own thread starts with the first one
        baseline = thread_count();
        gate = quorvel_obj_create(quorvel_obj_event);
        begun = quorvel_obj_create(quorvel_obj_event);
        left = quorvel_obj_create(quorvel_obj_event);
        done = quorvel_obj_create(quorvel_obj_event);
    }
    void TearDown() override
    {
        // Every worker has ended, also one that was left running.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (thread_count() != baseline && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(thread_count(), baseline);
        quorvel_obj_destroy(gate);
        quorvel_obj_destroy(begun);
        quorvel_obj_destroy(left);
        quorvel_obj_destroy(done);
    }
    // Submits until queued, waiting while the queue is full.
    static void submit(envelope* pool, quorvel_task_fn fn, void* argument, int size)
    {
        int rc;
        while ((rc = quorvel_worker_task(pool, fn, argument, size)) == 2)
            std::this_thread::yield();
        ASSERT_EQ(rc, 0);
    }
    // Occupies the worker with a task that waits at the gate; the queue is then empty.
    static void occupy(envelope* pool)
    {
        submit(pool, wait_at_gate, nullptr, 0);
        ASSERT_EQ(quorvel_event_waittimed(begun, 10000), 1);
    }
    // Waits until every task submitted so far has run.
    void drain(envelope* pool)
    {
        submit(pool, signal_event, done, 0);
        ASSERT_EQ(quorvel_event_waittimed(done, 10000), 1);
    }

    qtest::ErrorLog log;
    envelope* done = nullptr;
    long baseline = 0;
};

struct record {
    int submitter;
    int sequence;
};
std::vector<record> seen; // written by the worker only

void note(void* argument)
{
    seen.push_back(*static_cast<record*>(argument));
}

} // namespace

TEST_F(Workers, TasksFromSeveralThreadsRunOnceEachInSubmissionOrder)
{
    envelope* pool = quorvel_obj_create(quorvel_obj_worker, 65536u, 64u);
    ASSERT_NE(pool, nullptr);
    constexpr int submitters = 4, per_submitter = 3000;
    seen.clear();
    std::vector<std::thread> threads;
    for (int t = 0; t < submitters; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < per_submitter; ++i) {
                record r{t, i}; // copied at submission: reused at once
                submit(pool, note, &r, sizeof(r));
            }
        });
    for (auto& t : threads)
        t.join();
    drain(pool);
    ASSERT_EQ(seen.size(), size_t{submitters * per_submitter});
    std::vector<int> next(submitters, 0);
    for (const record& r : seen)
        ASSERT_EQ(r.sequence, next[r.submitter]++) << "submitter " << r.submitter;
    EXPECT_EQ(quorvel_obj_destroy(pool), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Workers, TheLinearQueueIsFullUntilEmptiedAndArgumentsAreCopiedOrLent)
{
    envelope* pool = quorvel_obj_create(quorvel_obj_worker, 0u, 4u);
    ASSERT_NE(pool, nullptr);
    static std::atomic<int> copies_seen{0};
    static void* lent_seen = nullptr;
    char lent[] = "lent";
    occupy(pool);
    char buffer[16] = "original";
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(
            quorvel_worker_task(
                pool,
                [](void* a) { copies_seen += std::strcmp(static_cast<char*>(a), "original") == 0; },
                buffer, sizeof(buffer)),
            0);
    std::strcpy(buffer, "changed");
    ASSERT_EQ(quorvel_worker_task(
                  pool, [](void* a) { lent_seen = a; }, lent, 0),
              0);
    EXPECT_EQ(quorvel_worker_task(
                  pool, [](void*) {}, nullptr, 0),
              2); // four slots taken
    quorvel_event_set(gate);
    drain(pool);
    EXPECT_EQ(copies_seen.load(), 3);
    EXPECT_EQ(lent_seen, lent);
    // Emptied, the queue starts again at its first slot.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(quorvel_worker_task(
                      pool, [](void*) {}, nullptr, 0),
                  0);
    drain(pool);
    EXPECT_EQ(quorvel_obj_destroy(pool), 0);
}

TEST_F(Workers, DestroyDropsQueuedTasksAndLeavesALongTaskToFinishAlone)
{
    static std::atomic<int> ran{0};
    envelope* pool = quorvel_obj_create(quorvel_obj_worker, 65536u, 8u);
    occupy(pool);
    char argument[64] = "an owned copy, freed unrun";
    for (int i = 0; i < 5; ++i)
        submit(
            pool, [](void*) { ++ran; }, argument, sizeof(argument));
    // From another thread than the creator; the running task outlasts the 500 ms.
    auto began = std::chrono::steady_clock::now();
    std::thread([pool] { EXPECT_EQ(quorvel_obj_destroy(pool), 0); }).join();
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::seconds(2) * qtest::TIME_SCALE);
    quorvel_event_set(gate); // the task returns; the worker frees the pool and ends
    EXPECT_EQ(quorvel_event_waittimed(left, 10000), 1);
    EXPECT_EQ(ran.load(), 0);

    // A pool whose worker is idle stops at once.
    pool = quorvel_obj_create(quorvel_obj_worker, 65536u, 8u);
    drain(pool);
    began = std::chrono::steady_clock::now();
    EXPECT_EQ(quorvel_obj_destroy(pool), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began,
              std::chrono::milliseconds(400) * qtest::TIME_SCALE);
}

TEST_F(Workers, MutexesAndEventsAcrossThreads)
{
    envelope* mutex = quorvel_obj_create(quorvel_obj_mutex);
    envelope* event = quorvel_obj_create(quorvel_obj_event);
    EXPECT_EQ(quorvel_event_waittimed(event, 0), 0); // not signalled: at once
    EXPECT_EQ(quorvel_event_waittimed(event, 20), 0);
    std::atomic<int> stage{0};
    ASSERT_EQ(quorvel_mutex_lock(mutex), 0);
    std::thread other([&] {
        EXPECT_EQ(quorvel_event_wait(event), 0);
        stage = 1;
        EXPECT_EQ(quorvel_mutex_lock(mutex), 0); // waits for the main thread's unlock
        stage = 2;
        EXPECT_EQ(quorvel_mutex_unlock(mutex), 0);
        EXPECT_EQ(quorvel_event_set(event), 0);
    });
    EXPECT_EQ(quorvel_event_set(event), 0);
    while (stage.load() == 0)
        std::this_thread::yield();
    EXPECT_EQ(stage.load(), 1); // held back by the mutex
    EXPECT_EQ(quorvel_mutex_unlock(mutex), 0);
    EXPECT_EQ(quorvel_event_waittimed(event, 10000), 1);
    other.join();
    EXPECT_EQ(stage.load(), 2);
    // Only the holder unlocks; it then lets go, so the mutex can be destroyed.
    std::atomic<bool> tried{false};
    std::thread holder([&] {
        EXPECT_EQ(quorvel_mutex_lock(mutex), 0);
        stage = 3;
        while (!tried.load())
            std::this_thread::yield();
        EXPECT_EQ(quorvel_mutex_unlock(mutex), 0);
    });
    while (stage.load() != 3)
        std::this_thread::yield();
    log.clear();
    EXPECT_EQ(quorvel_mutex_unlock(mutex), -1);
    EXPECT_EQ(log.text(), "error (mutex_unlock, 6005): null or invalid argument\n");
    tried = true;
    holder.join();
    EXPECT_EQ(quorvel_obj_destroy(mutex), 0);
    EXPECT_EQ(quorvel_obj_destroy(event), 0);
}

TEST_F(Workers, EveryCallRefusesAHandleOfAnotherType)
{
    envelope* mutex = quorvel_obj_create(quorvel_obj_mutex);
    envelope* pool = quorvel_obj_create(quorvel_obj_worker, 0u, 1u);
    const std::pair<std::function<int()>, std::string> refusals[] = {
        {[&] { return quorvel_mutex_lock(gate); }, "quorvel_mutex_lock, 16632"},
        {[&] { return quorvel_mutex_unlock(nullptr); }, "quorvel_mutex_unlock, 16661"},
        {[&] { return quorvel_event_set(mutex); }, "quorvel_event_set, 16506"},
        {[&] { return quorvel_event_wait(pool); }, "quorvel_event_wait, 16595"},
        {[&] { return quorvel_event_waittimed(mutex, 0); }, "quorvel_event_waittimed, 16551"},
        {[&] {
             return quorvel_worker_task(
                 mutex, [](void*) {}, nullptr, 0);
         },
         "quorvel_worker_task, 15841"},
    };
    log.clear();
    for (const auto& [call, place] : refusals) {
        EXPECT_EQ(call(), -1) << place;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(quorvel_last_error(), QUORVEL_LAST_BAD_ARGUMENTS);
        EXPECT_EQ(log.text(),
                  "error (" + place + "): operation not supported for provided object\n");
        log.clear();
    }
    EXPECT_EQ(quorvel_worker_task(pool, nullptr, nullptr, 0), -1);
    EXPECT_EQ(quorvel_obj_create(quorvel_obj_worker, 0u, 0u), nullptr);
    EXPECT_TRUE(log.contains("invalid slot count 0")) << log.text();
    quorvel_obj_destroy(pool);
    quorvel_obj_destroy(mutex);
}
