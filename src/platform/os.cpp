// Thin wrappers over the few system queries the library needs on POSIX.
#include "platform/os.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvel {

uint32_t os_thread_id()
{
    static thread_local uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
    return id;
}

long get_cpu_count()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0)
            return n;
    }
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? online : 1;
}

int64_t monotonic_ms()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

timespec monotonic_deadline(int64_t ms)
{
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    ms = ms > 0 ? ms : 0;
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000;
    }
    return deadline;
}

void sleep_ms(int64_t ms)
{
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    int saved = errno;
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    errno = saved;
}

} // namespace quorvel
