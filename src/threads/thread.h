// Threads started through a trampoline that signals an event when the body starts and when
// it returns, so creation can wait for the start and destruction can ask for a stop.
#pragma once

#include "quorvel.h"
#include "threads/sync.h"

#include <atomic>
#include <cstddef>
#include <pthread.h>
#include <type_traits>

// The thread record is the object behind the public `quorvel_thread` handle, so a host's
// thread body has exactly the type the library calls.
struct quorvel_thread {
    pthread_t handle;
    quorvel_thread_fn function;
    quorvel::event* signal; // signalled once at start and once when the body returned
    std::atomic<bool> stop_requested;
    std::atomic<bool> finished;
    void* argument;
    // Who frees the record: the destroyer after a join, or the thread itself once the
    // destroyer has given up waiting for it.
    std::atomic<int> owner;
    quorvel::event* gate; // opened to start a thread created suspended; NULL otherwise
};
static_assert(std::is_trivially_destructible_v<quorvel_thread>);

namespace quorvel {

using thread_record = ::quorvel_thread;
using thread_body = quorvel_thread_fn;

// Starts `body(record, argument)` on a new thread (stack_size 0: the default) and, unless
// `suspended`, returns once it runs. NULL on failure (reported). The record comes from the
// general allocator.
thread_record* thread_create(thread_body body, void* argument, size_t stack_size, bool suspended);
// Lets a thread created suspended run its body.
void thread_resume(thread_record* thread);
// Sets the stop flag, waits up to 500 ms for the body to return and frees the record; a body
// still running then is given up (detached, the record marked finished) and frees its record
// itself when it returns. True when the body had returned (or there was no thread), false when
// it was given up still running.
bool thread_destroy(thread_record** thread);

} // namespace quorvel
