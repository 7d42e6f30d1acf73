// The waiting room of a started server, run by its kernel thread. Every connection waits
// there whenever waiting is all it does: the room accepts it, reads its request until the
// request has arrived whole (or, for a user-defined protocol, its announcement), and only then
// queues it for a handler. The handler answers and gives the connection back; the room sends
// what the answer still holds as fast as the client takes it, and closes the connection.
// Waiting costs a descriptor and a small record, never a handler.
#pragma once

#include "quorvel.h"

#include <cstdint>
#include <sys/socket.h>
#include <type_traits>

namespace quorvel {

struct waiting_room;
struct server_record;
struct socket;
using thread_record = ::quorvel_thread;

// How a connection's request arrived, as the handler that takes it learns.
enum arrival : uint8_t {
    ARRIVED = 0,       // the head and the body it announces (when a handler takes one that
                       // large), or a protocol announcement
    ARRIVED_TOO_LARGE, // a head that does not end within the request buffer
    ARRIVED_LATE,      // the request's deadline passed after its first byte
    ARRIVED_CUT,       // the peer ended its side before the request was whole
};

// A connection in a started server's care, owned by exactly one of the room, its queue and
// a handler at any time. A handler reads `sock`, `arrival` and `deadline_ms` and hands the
// record back with room_return; the other fields are the room's.
struct guest {
    uint8_t watch;       // what the room's poll registration points at (always a guest)
    uint8_t arrival;     // for the handler: how the request arrived
    uint8_t phase;       // the room's: reading, sending or closing
    uint8_t polled;      // the room's: the descriptor is registered with its poll
    socket* sock;        // the connection record: made when the request has arrived
    int64_t deadline_ms; // when the request had to have arrived (monotonic milliseconds)

    int fd;                   // the connection's descriptor
    const socket* listener;   // the listener it came through, the model of its record
    sockaddr_storage address; // the peer, until the record is made
    socklen_t address_length;
    int64_t accepted_ms;
    int64_t due_ms; // when the room gives up on what the connection does now
    uint32_t timer; // position in the room's timer heap
    char* data;     // what has arrived so far
    uint32_t used;
    uint32_t capacity;
    uint32_t wanted;    // the whole request's size once its head is known; 0 before
    uint8_t head_state; // head_end's state over data[0, used)
    uint64_t pending;   // output bytes left at the last look, to tell progress
    uint32_t drained;   // input dropped while closing
    guest* prev;        // the room's readers in arrival order, or its queue
    guest* next;
};
static_assert(std::is_trivially_destructible_v<guest>);

// A new, empty room, or NULL (reported) when memory or descriptors run out. Its queue can be
// waited on at once; it runs when the kernel calls room_run.
waiting_room* room_create();

// Closes every connection the room still holds, its queue included, releases it and clears
// `*r`. Call only once the kernel and every handler of its server have ended. NULL is ignored.
void room_destroy(waiting_room** r);

// The kernel's loop: accepts on every listener of `server` (already listening), reads
// requests, queues them for the handlers, sends what handlers give back and closes
// connections, until `thread` is asked to stop. It then closes every connection it and its
// queue hold; connections handlers give back afterwards are closed by room_return itself.
void room_run(waiting_room* r, server_record* server, thread_record* thread);

// The next connection whose request has arrived, waiting up to `wait_ms` milliseconds for
// one: NULL when none came, or when room_wake cut the wait short.
guest* room_take(waiting_room* r, int wait_ms);

// Hands a connection back once its answer is written (or its exchange is over). What the
// connection takes at once is sent here; the rest, and the closing of a connection whose
// client still sends, are left to the room. A connection that failed, or one given back to
// a room that has stopped, is closed here.
void room_return(waiting_room* r, guest* g);

// Ends the room's poll and every handler's wait in room_take at once, so that they look at
// their stop flags.
void room_wake(waiting_room* r);

} // namespace quorvel
