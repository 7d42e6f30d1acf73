// The connection handlers of a started server: each takes one connection at a time from the
// waiting room's queue and serves it, as HTTP or as a user-defined protocol.
#pragma once

#include "quorvel.h"

namespace quorvel {

using thread_record = ::quorvel_thread;

// Consecutive empty waits for a connection after which a handler gives its thread heap back.
inline constexpr int HANDLER_IDLE_RELEASE = 60;
// Longest protocol name read from an announcement "&name;"; a longer one is not looked up
// (registered names are at most PROTOCOL_REGISTER_MAX characters).
inline constexpr int PROTOCOL_ANNOUNCE_MAX = 79;

// A connection handler thread, as fn(thread, server record): serves the connections the
// waiting room queues, on its own copy of the server and its own thread heap (reset between
// connections, released after HANDLER_IDLE_RELEASE idle waits of a second) until stopped,
// and gives each back to the room when done. A connection opening with "&name;" goes to the
// protocol registered as name; anything else is parsed as an HTTP request, resolved and
// answered; a request that did not arrive whole is answered with 400 or 408.
void quorvel_http_handler(thread_record* thread, void* server);

} // namespace quorvel
