// The thread trampoline and the stop handshake. Threads are never terminated by force: a
// thread that does not stop in time is detached and frees its own record when its body
// returns, so no record is freed while its thread can still touch it.
#include "threads/thread.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "platform/os.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace quorvel {

namespace {

enum : int { owned_by_destroyer = 0, body_returned = 1, owned_by_thread = 2 };

void thread_free(thread_record* thread)
{
    event_destroy(&thread->gate);
    event_destroy(&thread->signal);
    mem_free(thread);
}

void* trampoline(void* arg)
{
    auto* thread = static_cast<thread_record*>(arg);
    if (thread->gate != nullptr)
        event_wait(thread->gate);
    // Decided before the start is signalled: once thread_create has returned, the body runs
    // even if a stop is requested at once.
    bool run = !thread->stop_requested.load();
    event_signal(thread->signal);
    if (run)
        thread->function(thread, thread->argument);
    thread->finished.store(true);
    event_signal(thread->signal);
    int expected = owned_by_destroyer;
    if (!thread->owner.compare_exchange_strong(expected, body_returned))
        thread_free(thread); // the destroyer gave up on this thread and left the record to it
    return nullptr;
}

// Leaves a thread that did not stop in time to itself: true when the record now belongs to the
// thread (detached), false when its body returned meanwhile and it can be joined.
bool give_up(thread_record* thread)
{
    debug("thread_kill", 6377, "thread did not respond, forcing down thread\n");
    int expected = owned_by_destroyer;
    if (!thread->owner.compare_exchange_strong(expected, owned_by_thread))
        return false;
    // The stop flag stays set, so a body that polls late still ends.
    thread->finished.store(true);
    ::pthread_detach(thread->handle);
    return true;
}

} // namespace

thread_record* thread_create(thread_body body, void* argument, size_t stack_size, bool suspended)
{
    clear_errors();
    if (body == nullptr) {
        report("thread_create", 6482, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    auto* thread = static_cast<thread_record*>(general_alloc(sizeof(thread_record)));
    if (thread == nullptr) {
        report_text("thread_create", 6494, fault::no_memory,
                    "insufficient memory to perform operation\n");
        return nullptr;
    }
    thread->signal = event_create();
    if (thread->signal == nullptr) {
        mem_free(thread);
        return nullptr;
    }
    if (suspended && (thread->gate = event_create()) == nullptr) {
        thread_free(thread);
        return nullptr;
    }
    thread->function = body;
    thread->argument = argument;
    thread->stop_requested.store(false);
    thread->finished.store(false);
    thread->owner.store(owned_by_destroyer);

    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    if (stack_size != 0)
        ::pthread_attr_setstacksize(&attr,
                                    std::max(stack_size, static_cast<size_t>(PTHREAD_STACK_MIN)));
    int started = ::pthread_create(&thread->handle, &attr, trampoline, thread);
    ::pthread_attr_destroy(&attr);
    if (started != 0) {
        thread_free(thread);
        report_text("thread_create", 6528, fault::none, "could not create thread\n");
        return nullptr;
    }
    if (!suspended)
        event_wait(thread->signal);
    return thread;
}

void thread_resume(thread_record* thread)
{
    if (thread != nullptr && thread->gate != nullptr)
        event_signal(thread->gate);
}

bool thread_destroy(thread_record** handle)
{
    if (handle == nullptr || *handle == nullptr)
        return true;
    thread_record* thread = *handle;
    *handle = nullptr;
    if (!thread->finished.load()) {
        thread->stop_requested.store(true);
        thread_resume(thread);
        int64_t deadline = monotonic_ms() + 500;
        for (int64_t left = 500; !thread->finished.load() && left > 0;
             left = deadline - monotonic_ms())
            event_waittimed(thread->signal, static_cast<int>(left));
        if (!thread->finished.load() && give_up(thread))
            return false;
    }
    ::pthread_join(thread->handle, nullptr);
    thread_free(thread);
    return true;
}

} // namespace quorvel
