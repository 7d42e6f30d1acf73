// The kernel thread of a started server, which binds and opens the listeners and starts the
// connection handlers (connection.h), and the start and stop of a server's threads. Threads
// are never killed: every wait lasts at most a second and the stop flag is tested between
// waits, and a stop cuts the waits short, so the threads always end by themselves, quickly.
#pragma once

#include "quorvel.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct waiting_room;
struct server_record;
using thread_record = ::quorvel_thread;

// Backlog asked for every listener: the system's maximum.
inline constexpr int32_t KERNEL_BACKLOG = 0x7fffffff;
// A connection slot holds the descriptor a handler is serving, or one of these.
inline constexpr int SLOT_FREE = -1;
inline constexpr int SLOT_BUSY = -2; // a stopper is shutting the descriptor down

// What a started server's threads share with whoever stops them. Made by httpsrv_start before
// the kernel runs (general allocator), released by httpsrv_stop after every thread of the
// server has ended.
struct server_run {
    // Where connections wait while their requests arrive and their answers leave, and the
    // queue the handlers take them from (waiting_room.h).
    waiting_room* room;
    uint32_t slot_count;
    std::atomic<uint32_t> next_slot; // handlers claim their slots in the order they start
    // Per handler: the connection being served. A handler publishes the descriptor before it
    // serves and retires it before it closes, so a stopper never shuts a reused descriptor.
    std::atomic<int>* connections;
};
static_assert(std::is_trivially_destructible_v<server_run>);

// Starts the kernel of `server` (which has listeners and was not started): makes the shared
// run state with one connection slot per handler, freezes the protocol table and runs the
// kernel. 0, or -1 (reported) when memory runs out or the kernel cannot be started. Binding
// happens on the kernel: its outcome is the server's start state (server_wait_state).
int httpsrv_start(server_record* server);

// The kernel thread, as fn(thread, server record): strips the protocol table of its lock,
// binds and opens every listener, caps the handler count at the processor count, starts the
// handlers, publishes the start state (server_publish_state) and runs the waiting room until
// stopped. A bind, listen or handler start failure publishes SERVER_FAILED and ends the
// kernel; listeners already opened and handlers already started stay for httpsrv_stop.
void quorvel_kernel(thread_record* thread, void* server);

// Stops the server's threads, waiting for each to end: first the kernel (so that it no longer
// fills the handler array), whose waiting room closes every connection it holds, then every
// handler (all asked at once, then waited for in turn). The waits are cut short: the room's
// poll and the handlers' waits for connections end at once, and the connections being served
// are shut down, so the stop takes well under a second unless a protocol handler is blocked
// on something other than its connection. Clears `kernel`, the handler slots and `run`;
// idempotent. Nothing for NULL, a server never started, or a handler's copy.
void httpsrv_stop(server_record* server);

} // namespace quorvel
