// Worker task pools. Submitters serialise on the pool's lock and copy their task into its slot;
// only a submission to an empty queue wakes the worker, which takes every queued task at once
// (emptying the queue, so submitters can go on at slot 0) and runs them without the lock.
// Nothing is killed: a destroyer that finds a task still running after 500 ms leaves the
// worker to free the pool when it returns, and the two agree through `ending` on which of them
// frees it.
#include "threads/worker.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "threads/sync.h"
#include "threads/thread.h"

#include <climits>
#include <cstring>

namespace quorvel {

namespace {

// The longest wait of the worker between tests of its stop flag.
constexpr int WORKER_WAIT_MS = 500;

// Values of worker_pool::ending.
constexpr int POOL_RUNNING = 0;
constexpr int POOL_WORKER_DONE = 1; // the worker no longer touches the pool
constexpr int POOL_ABANDONED = 2;   // the destroyer left; the worker frees the pool

void argument_free(worker_task& task)
{
    if (task.owned)
        mem_free(task.argument);
    task = worker_task{};
}

void pool_free(worker_pool* pool)
{
    mem_free(pool->slots);
    mem_free(pool->taken);
    ::pthread_mutex_destroy(&pool->lock);
    event_destroy(&pool->submitted);
    mem_free(pool);
}

void worker_thread(thread_record* thread, void* argument)
{
    auto* pool = static_cast<worker_pool*>(argument);
    thread_heap_attach(pool->heap_size);
    int32_t count = 0;
    int32_t next = 0;
    while (!thread->stop_requested.load()) {
        if (next == count) {
            next = 0;
            count = task_take_all(pool, pool->taken);
            if (count == 0) {
                event_waittimed(pool->submitted, WORKER_WAIT_MS);
                continue;
            }
        }
        worker_task& task = pool->taken[next++];
        task.function(task.argument);
        argument_free(task);
    }
    // Tasks taken but not run when the stop came go like the queued ones.
    for (; next < count; ++next)
        argument_free(pool->taken[next]);
    thread_heap_detach();
    if (pool->ending.exchange(POOL_WORKER_DONE) == POOL_ABANDONED)
        pool_free(pool);
}

} // namespace

worker_pool* worker_create(uint32_t heap_size, uint32_t slot_count)
{
    clear_errors();
    if (slot_count == 0 || slot_count > INT32_MAX / sizeof(worker_task)) {
        report("quorvel_obj_create::quorvel_obj_worker", 16262, fault::bad_arg,
               "invalid slot count %u, expecting 1 to %d\n", slot_count,
               static_cast<int>(INT32_MAX / sizeof(worker_task)));
        return nullptr;
    }
    auto* pool = static_cast<worker_pool*>(general_alloc(sizeof(worker_pool)));
    if (pool == nullptr) {
        report("quorvel_obj_create::quorvel_obj_worker", 16266, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    pool->slots = static_cast<worker_task*>(general_alloc(sizeof(worker_task) * slot_count));
    pool->taken = static_cast<worker_task*>(general_alloc(sizeof(worker_task) * slot_count));
    ::pthread_mutex_init(&pool->lock, nullptr);
    pool->submitted = event_create();
    pool->tail.store(-1);
    pool->head = -1;
    pool->slot_count = static_cast<int32_t>(slot_count);
    pool->heap_size = heap_size;
    pool->ending.store(POOL_RUNNING);
    if (pool->slots == nullptr || pool->taken == nullptr || pool->submitted == nullptr) {
        pool_free(pool);
        report("quorvel_obj_create::quorvel_obj_worker", 16266, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    pool->worker = thread_create(worker_thread, pool, 0, false);
    if (pool->worker == nullptr) {
        pool_free(pool);
        return nullptr;
    }
    return pool;
}

int task_push(worker_pool* pool, quorvel_task_fn function, void* argument, int32_t size)
{
    if (pool == nullptr || function == nullptr || size < 0)
        return -1;
    // A queue whose tail has reached the last slot is full until the worker has emptied it.
    if (pool->tail.load(std::memory_order_relaxed) >= pool->slot_count - 1)
        return 2;
    worker_task task{function, argument, 0};
    if (argument != nullptr && size > 0) {
        task.argument = general_alloc(static_cast<size_t>(size));
        if (task.argument == nullptr)
            return -1;
        std::memcpy(task.argument, argument, static_cast<size_t>(size));
        task.owned = 1;
    }
    bool was_empty = false;
    ::pthread_mutex_lock(&pool->lock);
    int32_t tail = pool->tail.load(std::memory_order_relaxed);
    if (tail >= pool->slot_count - 1) {
        ::pthread_mutex_unlock(&pool->lock);
        argument_free(task);
        return 2;
    }
    pool->slots[tail + 1] = task;
    pool->tail.store(tail + 1, std::memory_order_relaxed);
    if (pool->head == -1) {
        pool->head = 0;
        was_empty = true;
    }
    ::pthread_mutex_unlock(&pool->lock);
    // A worker with queued tasks takes this one with them; only an empty queue's worker may
    // be waiting.
    if (was_empty)
        event_signal(pool->submitted);
    return 0;
}

int32_t task_take_all(worker_pool* pool, worker_task* out)
{
    ::pthread_mutex_lock(&pool->lock);
    int32_t count = 0;
    if (pool->head != -1) {
        int32_t tail = pool->tail.load(std::memory_order_relaxed);
        count = tail - pool->head + 1;
        std::memcpy(out, pool->slots + pool->head, sizeof(worker_task) * size_t(count));
        pool->head = -1;
        pool->tail.store(-1, std::memory_order_relaxed);
    }
    ::pthread_mutex_unlock(&pool->lock);
    return count;
}

void worker_destroy(worker_pool** handle)
{
    if (handle == nullptr || *handle == nullptr)
        return;
    worker_pool* pool = *handle;
    *handle = nullptr;
    if (pool->worker != nullptr) {
        pool->worker->stop_requested.store(true);
        event_signal(pool->submitted);
    }
    // Queued tasks are dropped unrun; the one the worker may be running goes on. The worker's
    // own array is left to it until it has stopped.
    ::pthread_mutex_lock(&pool->lock);
    for (int32_t i = pool->head; i != -1 && i <= pool->tail.load(); ++i)
        argument_free(pool->slots[i]);
    pool->head = -1;
    pool->tail.store(-1);
    ::pthread_mutex_unlock(&pool->lock);
    if (pool->worker != nullptr && !thread_destroy(&pool->worker) &&
        pool->ending.exchange(POOL_ABANDONED) != POOL_WORKER_DONE)
        return; // the worker frees the pool when its task returns
    pool_free(pool);
}

} // namespace quorvel
