// Library-wide settings: plain atomics, since handler threads read them on every connection
// while a host may change them at any time.
#include "core/settings.h"

#include <atomic>

namespace quorvel {

namespace {

std::atomic<int32_t> request_timeout{DEFAULT_REQUEST_TIMEOUT_SECONDS};
std::atomic<int32_t> tcp_buffer_size{DEFAULT_TCP_BUFFER_SIZE};
std::atomic<int32_t> thread_heap_size{DEFAULT_THREAD_HEAP_SIZE};
std::atomic<int32_t> connections_held{DEFAULT_CONNECTION_LIMIT};
std::atomic<bool> ssl_ready{false};

int set_positive(std::atomic<int32_t>& setting, int32_t value)
{
    if (value <= 0)
        return -1;
    setting.store(value, std::memory_order_relaxed);
    return 0;
}

} // namespace

int32_t request_timeout_seconds()
{
    return request_timeout.load(std::memory_order_relaxed);
}

int set_request_timeout_seconds(int32_t seconds)
{
    return set_positive(request_timeout, seconds);
}

int32_t default_tcp_buffer_size()
{
    return tcp_buffer_size.load(std::memory_order_relaxed);
}

int set_default_tcp_buffer_size(int32_t size)
{
    return set_positive(tcp_buffer_size, size);
}

int32_t handler_heap_size()
{
    return thread_heap_size.load(std::memory_order_relaxed);
}

int set_handler_heap_size(int32_t size)
{
    return set_positive(thread_heap_size, size);
}

int32_t connection_limit()
{
    return connections_held.load(std::memory_order_relaxed);
}

int set_connection_limit(int32_t count)
{
    return set_positive(connections_held, count);
}

bool ssl_initialized()
{
    return ssl_ready.load(std::memory_order_acquire);
}

void set_ssl_initialized(bool on)
{
    ssl_ready.store(on, std::memory_order_release);
}

} // namespace quorvel
