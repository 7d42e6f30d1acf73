// Mutex and event wrappers. A mutex records its holder so the library can refuse nested
// locks and foreign unlocks; events are a flag under a mutex with a monotonic condition.
#include "threads/sync.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "platform/os.h"
#include "quorvel.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace quorvel {

mutex* mutex_create()
{
    clear_errors();
    auto* m = static_cast<mutex*>(general_alloc(sizeof(mutex)));
    if (m == nullptr) {
        report_text("mutex_create", 5841, fault::no_memory, "null argument passed\n");
        return nullptr;
    }
    if (::pthread_mutex_init(&m->handle, nullptr) != 0) {
        mem_free(m);
        report_text("mutex_create", 5854, fault::no_memory,
                    "insufficient memory to perform operation\n");
        return nullptr;
    }
    m->owner.store(0, std::memory_order_relaxed);
    return m;
}

int mutex_lock(mutex* m)
{
    clear_errors();
    if (m == nullptr) {
        report("mutex_lock", 5934, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    uint32_t self = os_thread_id();
    uint32_t holder = m->owner.load(std::memory_order_relaxed);
    if (thread_same(&self, &holder)) {
        std::fputs("same thread attempted to lock\n", stderr);
        return 0;
    }
    ::pthread_mutex_lock(&m->handle);
    m->owner.store(self, std::memory_order_relaxed);
    return 0;
}

int mutex_unlock(mutex* m)
{
    clear_errors();
    if (m == nullptr) {
        report("mutex_unlock", 5994, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (m->owner.load(std::memory_order_relaxed) != os_thread_id()) {
        report("mutex_unlock", 6005, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    m->owner.store(0, std::memory_order_relaxed);
    ::pthread_mutex_unlock(&m->handle);
    return 0;
}

mutex_guard::~mutex_guard()
{
    errno_saver keep;
    mutex_unlock(m_);
}

void mutex_destroy(mutex** m)
{
    if (m == nullptr || *m == nullptr)
        return;
    mutex* held = *m;
    // Taking the mutex once makes sure no other thread still holds it.
    if (held->owner.load(std::memory_order_relaxed) != os_thread_id())
        ::pthread_mutex_lock(&held->handle);
    ::pthread_mutex_unlock(&held->handle);
    ::pthread_mutex_destroy(&held->handle);
    mem_free(held);
    *m = nullptr;
}

event* event_create()
{
    clear_errors();
    auto* e = static_cast<event*>(general_alloc(sizeof(event)));
    if (e == nullptr) {
        report_text("event_create", 6049, fault::no_memory,
                    "insufficient memory to perform operation\n");
        return nullptr;
    }
    pthread_condattr_t attr;
    bool made = ::pthread_condattr_init(&attr) == 0;
    made = made && ::pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
           ::pthread_cond_init(&e->changed, &attr) == 0;
    if (made && ::pthread_mutex_init(&e->lock, nullptr) != 0) {
        ::pthread_cond_destroy(&e->changed);
        made = false;
    }
    ::pthread_condattr_destroy(&attr);
    if (!made) {
        mem_free(e);
        report_text("event_create", 6063, fault::none,
                    "insufficient memory to perform operation\n");
        return nullptr;
    }
    e->signalled = false;
    return e;
}

int event_signal(event* e)
{
    clear_errors();
    if (e == nullptr) {
        report("event_signal", 6132, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    ::pthread_mutex_lock(&e->lock);
    e->signalled = true;
    ::pthread_cond_signal(&e->changed);
    ::pthread_mutex_unlock(&e->lock);
    return 0;
}

int event_wait(event* e)
{
    clear_errors();
    if (e == nullptr) {
        report("event_wait", 6276, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    ::pthread_mutex_lock(&e->lock);
    while (!e->signalled)
        ::pthread_cond_wait(&e->changed, &e->lock);
    e->signalled = false;
    ::pthread_mutex_unlock(&e->lock);
    return 0;
}

int event_waittimed(event* e, int ms)
{
    clear_errors();
    if (e == nullptr) {
        report("event_waittimed", 6190, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    timespec deadline = monotonic_deadline(ms);
    ::pthread_mutex_lock(&e->lock);
    while (!e->signalled) {
        if (::pthread_cond_timedwait(&e->changed, &e->lock, &deadline) == ETIMEDOUT)
            break;
    }
    int result = e->signalled ? 1 : 0;
    e->signalled = false;
    ::pthread_mutex_unlock(&e->lock);
    return result;
}

void event_destroy(event** e)
{
    if (e == nullptr || *e == nullptr)
        return;
    ::pthread_cond_destroy(&(*e)->changed);
    ::pthread_mutex_destroy(&(*e)->lock);
    mem_free(*e);
    *e = nullptr;
}

int thread_same(const uint32_t* a, const uint32_t* b)
{
    clear_errors();
    if (a == nullptr || b == nullptr) {
        report("thread_same", 5742, fault::bad_arg, "null argument passed\n");
        return 0;
    }
    return *a == *b ? 1 : 0;
}

} // namespace quorvel
