// Worker task pools: functions submitted from any thread run one after another, in submission
// order, on the pool's own thread. The queue is linear: tasks fill slots 0, 1, 2 ... and the
// queue starts again at slot 0 only once it has been emptied. The worker takes every queued
// task at once, which empties the queue, then runs them one by one.
#pragma once

#include "quorvel.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <type_traits>

namespace quorvel {

struct event;
using thread_record = ::quorvel_thread;

// One submitted task.
struct worker_task {
    quorvel_task_fn function; // NULL: the stop task
    void* argument;
    uint8_t owned; // the argument is a private copy, freed after the call
};
static_assert(std::is_trivially_destructible_v<worker_task>);

// A pool. It, its slots, its tasks and their argument copies come from the general allocator,
// so any thread may submit and another may destroy.
struct worker_pool {
    thread_record* worker;
    worker_task* slots;   // slot_count tasks, in place
    worker_task* taken;   // slot_count tasks: those the worker took and has still to run
    pthread_mutex_t lock; // guards slots, head and tail
    event* submitted;     // signalled by a submission to an empty queue, and by the stop
    // Last filled slot, -1 when empty; written under the lock, read without it for the quick
    // test of a full queue.
    std::atomic<int32_t> tail;
    int32_t head; // next task to run, -1 when empty
    int32_t slot_count;
    uint32_t heap_size; // of the worker's thread heap
    // Who frees the pool when its destroyer had to leave a task running: see worker_destroy.
    std::atomic<int> ending;
};
static_assert(std::is_trivially_destructible_v<worker_pool>);

// A pool of `slot_count` slots (1 to INT32_MAX) whose worker thread, started now, has a thread
// heap of `heap_size` bytes. NULL (reported) for a bad count, no memory or no thread.
worker_pool* worker_create(uint32_t heap_size, uint32_t slot_count);

// Queues `function(argument)`: with a size above 0 the argument is copied now (the caller may
// reuse its buffer at once) and the copy freed after the call; with size 0 the pointer itself
// is passed; NULL stays NULL. 0 queued; 2 the queue is full (nothing changes; retry once the
// worker has emptied it); -1 for a NULL pool or function, a negative size, or no memory.
int task_push(worker_pool* pool, quorvel_task_fn function, void* argument, int32_t size);

// Takes every queued task into `out` (room for slot_count tasks), in submission order: their
// count, 0 when the queue is empty. The queue then starts again at slot 0.
int32_t task_take_all(worker_pool* pool, worker_task* out);

// Stops the pool: the tasks still queued are freed without being run, the worker is asked to
// stop and given up to 500 ms to finish the task it runs. When it does not, it is left to free
// the pool itself once that task returns: nothing it can still touch is freed before. Clears
// `*pool`; NULL is ignored.
void worker_destroy(worker_pool** pool);

} // namespace quorvel
