// Small operating-system queries shared by the subsystems: thread ids, processor count,
// monotonic time.
#pragma once

#include <cstdint>
#include <ctime>

namespace quorvel {

// The kernel's id of the calling thread (used for mutex owners and "thread 0x%X" lines).
uint32_t os_thread_id();

// Processors this process may run on: the affinity mask, else the online count; at least 1.
long get_cpu_count();

// Milliseconds on the monotonic clock.
int64_t monotonic_ms();

// The monotonic time `ms` milliseconds from now (0 for a negative `ms`), for waits on
// condition variables that run on the monotonic clock.
timespec monotonic_deadline(int64_t ms);

// Sleeps for `ms` milliseconds (restarted after signals).
void sleep_ms(int64_t ms);

} // namespace quorvel
