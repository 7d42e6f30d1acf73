// The threads of a started server: the kernel, which binds and opens the listeners and starts
// the connection handlers, and the handlers, which accept and serve one connection at a time,
// as HTTP or as a user-defined protocol. Threads are never killed: every wait lasts at most a
// second and the stop flag is tested between waits, and whoever stops a server can cut the
// waits short, so the threads always end by themselves, quickly.
#pragma once

#include "quorvel.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct event;
struct server_record;
using thread_record = ::quorvel_thread;

// Consecutive empty accept waits after which a handler gives its thread heap back.
inline constexpr int HANDLER_IDLE_RELEASE = 60;
// Longest protocol name a connection may announce ("&name;").
inline constexpr int PROTOCOL_NAME_MAX = 79;
// Backlog asked for every listener: the system's maximum.
inline constexpr int32_t KERNEL_BACKLOG = 0x7fffffff;
// Longest idle wait of the kernel between tests of its stop flag.
inline constexpr int KERNEL_IDLE_MS = 500;

// A connection slot holds the descriptor a handler is serving, or one of these.
inline constexpr int SLOT_FREE = -1;
inline constexpr int SLOT_BUSY = -2; // a stopper is shutting the descriptor down

// What a started server's threads share with whoever stops them. Made by server_start before
// the kernel runs (general allocator), released by server_run_release after every thread of
// the server has ended.
struct server_run {
    event* wake; // cuts the kernel's idle wait short
    uint32_t slot_count;
    std::atomic<uint32_t> next_slot; // handlers claim their slots in the order they start
    // Per handler: the connection being served. A handler publishes the descriptor before it
    // serves and retires it before it closes, so a stopper never shuts a reused descriptor.
    std::atomic<int>* connections;
};
static_assert(std::is_trivially_destructible_v<server_run>);

// The kernel thread, as fn(thread, server record): strips the protocol table of its lock,
// binds and opens every listener, caps the handler count at the processor count, starts the
// handlers, publishes the start state (server_publish_state) and idles until stopped. A bind,
// listen or handler start failure publishes SERVER_FAILED and ends the kernel; listeners
// already opened and handlers already started stay for httpsrv_destroy.
void quorvel_kernel(thread_record* thread, void* server);

// A connection handler thread, as fn(thread, server record): serves connections on its own
// copy of the server and its own thread heap (reset between connections, released after
// HANDLER_IDLE_RELEASE idle waits) until stopped. A connection opening with "&name;" goes to
// the protocol registered as name; anything else is read as an HTTP request.
void quorvel_http_handler(thread_record* thread, void* server);

// quorvel_obj_start for the envelope `e`: refuses (reported, EINVAL / 160, -1) anything but a
// server envelope not started yet, and a server without listeners; scans the bubble
// directory; freezes the protocol table; starts the kernel; marks the envelope started and
// locked. 0, or -1 (reported) when the kernel cannot be started. Binding happens on the
// kernel: its outcome is the server's start state.
int server_start(envelope* e);

// Gives a server about to start its shared run state, with one connection slot per handler:
// 0, or -1 (reported) when out of memory.
int server_run_prepare(server_record* server);

// The steps of stopping a started server, called by httpsrv_stop in this order, each after
// the stop flags of the threads it wakes are set:
// - server_wake_kernel: ends the kernel's idle wait at once.
// - server_wake_handlers (once the kernel has ended): shuts down the listening handles, so
//   accept waits end at once, and each connection a handler is serving, so a receive or send
//   blocked on a client fails at once.
// - server_run_release (once every handler has ended): frees the shared state.
// Each does nothing for a server that was never started or a handler's copy.
void server_wake_kernel(server_record* server);
void server_wake_handlers(server_record* server);
void server_run_release(server_record* server);

} // namespace quorvel
