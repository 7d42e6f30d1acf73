// Library-wide settings: plain atomics, since handler threads read them on every connection
// while a host may change them at any time.
#include "core/settings.h"

#include <atomic>

namespace quorvel {

namespace {

std::atomic<int32_t> request_timeout{DEFAULT_REQUEST_TIMEOUT_SECONDS};

} // namespace

int32_t request_timeout_seconds()
{
    return request_timeout.load(std::memory_order_relaxed);
}

int set_request_timeout_seconds(int32_t seconds)
{
    if (seconds <= 0)
        return -1;
    request_timeout.store(seconds, std::memory_order_relaxed);
    return 0;
}

} // namespace quorvel
