// The library-wide protocol table: user-defined protocols by name, each with the host function
// that serves a connection announcing it. Filled before the first server start, then frozen
// and read by the connection handlers without a lock.
#pragma once

#include "quorvel.h"

#include <cstdint>

namespace quorvel {

struct htable;
struct socket;

// The longest name a protocol can be registered under: the announcement "&name;" and its
// terminator fit 80 bytes.
inline constexpr uint32_t PROTOCOL_REGISTER_MAX = 77;

// Stores `fn` under `name` (its strlen bytes), making the table (101 buckets) on the first
// registration; a name registered again takes the new function. 1 when stored; 0, reported
// with EINVAL / 160, for a NULL name or function, a name that is empty, longer than 77
// characters or holds a ';', and for any registration once a server has been started (the
// same function under the same name again is accepted, as it changes nothing); 0 when memory
// runs out (reported where it ran out).
int protocol_register(const char* name, quorvel_protocol_fn fn);

// Refuses every later registration. Called by the first server start, before its kernel runs.
void protocol_freeze();

// Strips the table of its lock (once): from now on it is read without locking. Called by each
// kernel thread before it starts its handlers.
void protocol_strip();

// True once a protocol has been registered.
bool protocol_table_exists();

// A client connection to `host` (name or numeric text) and `port` that has announced
// `protocol`: "&protocol;" waits in the send buffer until the first flush or receive. A
// `timeout` of 0 or more seconds replaces the default. NULL for a NULL host or protocol or a
// name longer than PROTOCOL_REGISTER_MAX (reported, EINVAL / 160), or when no connection can
// be made. Released with socket_destroy.
socket* protocol_connect(const char* host, const char* protocol, int32_t port, int32_t timeout);

// The function registered under the `length` bytes of `name`, or NULL. Only for threads
// started after protocol_strip.
quorvel_protocol_fn protocol_lookup(const char* name, uint32_t length);

} // namespace quorvel
