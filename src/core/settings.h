// Library-wide settings kept by the system object, readable from any thread without a lock.
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

} // namespace quorvel
