// Mutexes that know their owner (a nested lock is refused with a warning, an unlock by
// another thread is refused) and auto-reset events, over pthreads.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <type_traits>

namespace quorvel {

struct mutex {
    pthread_mutex_t handle;
    std::atomic<uint32_t> owner; // thread id of the holder, 0 when free
};
static_assert(std::is_trivially_destructible_v<mutex>);

// An auto-reset event: a successful wait consumes the signal.
struct event {
    pthread_mutex_t lock;
    pthread_cond_t changed; // waits on CLOCK_MONOTONIC
    bool signalled;
};
static_assert(std::is_trivially_destructible_v<event>);

// A new free mutex from the general allocator, or NULL (reported).
mutex* mutex_create();
// 0 once held, also when the caller already holds it (a warning on standard error, no
// count: the first unlock frees it); -1 for NULL.
int mutex_lock(mutex* m);
// 0, or -1 for NULL or when the caller is not the holder (the mutex is left as it is).
int mutex_unlock(mutex* m);
// Waits until no other thread holds the mutex, then releases it; clears the handle.
void mutex_destroy(mutex** m);

// Holds `m` for the rest of the scope. The unlock keeps the errno and last error of whatever
// failed while it was held.
class mutex_guard {
public:
    explicit mutex_guard(mutex* m) : m_(m) { mutex_lock(m_); }
    ~mutex_guard();
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;

private:
    mutex* m_;
};

// A new unsignalled event, or NULL (reported).
event* event_create();
int event_signal(event* e);
// 0 once signalled, -1 for NULL.
int event_wait(event* e);
// 1 when signalled within `ms` milliseconds, 0 when the time ran out, -1 for NULL.
int event_waittimed(event* e, int ms);
void event_destroy(event** e);

// 1 when the two thread ids are equal, else 0 (0 and a report for NULL).
int thread_same(const uint32_t* a, const uint32_t* b);

} // namespace quorvel
