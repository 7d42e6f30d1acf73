// Library-wide settings kept by the system object, readable from any thread without a lock.
// Each setter affects what starts afterwards; nothing already running is changed.
#pragma once

#include <cstdint>

namespace quorvel {

// The time a client has to deliver one whole request (head and body), counted from the
// moment the connection is taken: seconds, above 0. 10 until changed.
inline constexpr int32_t DEFAULT_REQUEST_TIMEOUT_SECONDS = 10;

int32_t request_timeout_seconds();

// Replaces the request time-out: 0; -1 for a value of 0 or less, which leaves the setting as
// it was and reports nothing (the system-object attribute writes the caller's line).
int set_request_timeout_seconds(int32_t seconds);

// Send and receive buffer size of sockets that ask for no size of their own. The setter
// refuses sizes of 0 or less (-1, nothing changed, no line); later binds, connects and
// duplicates use the new size.
inline constexpr int32_t DEFAULT_TCP_BUFFER_SIZE = 66560;
int32_t default_tcp_buffer_size();
int set_default_tcp_buffer_size(int32_t size);

// Thread heap size of connection handler threads started afterwards; a quarter of it bounds
// the request head. Same refusal rule as above.
inline constexpr int32_t DEFAULT_THREAD_HEAP_SIZE = 262144;
int32_t handler_heap_size();
int set_handler_heap_size(int32_t size);

// The largest request head, and the largest request body, a handler takes: a quarter of its
// thread heap.
inline int32_t request_buffer_size()
{
    return handler_heap_size() / 4;
}

// The most connections a started server holds at once while their requests arrive and their
// answers leave (each costs a descriptor and a small record, no thread). Same refusal rule.
inline constexpr int32_t DEFAULT_CONNECTION_LIMIT = 10000;
int32_t connection_limit();
int set_connection_limit(int32_t count);

// The SSL-initialised flag: a socket asking for SSL binds only once it is on.
bool ssl_initialized();
void set_ssl_initialized(bool on);

} // namespace quorvel
