// The socket record of every listener and connection: creation, options, binding on IPv4
// and IPv6, listening, connecting, interrupting and closing. Accepting is in accept.h,
// buffered sending and receiving in socket_io.h.
#pragma once

#include "core/settings.h"
#include "quorvel.h"

#include <cstdint>
#include <type_traits>

struct pollfd;

namespace quorvel {

struct buffer;
struct htable;

// Internal option bit: handles made non-blocking at bind. The system's flag of the same name
// is ::SOCK_NONBLOCK.
inline constexpr uint32_t SOCK_NONBLOCK = 0x00008000;

inline constexpr int32_t SOCKET_DEFAULT_TIMEOUT = 380;
inline constexpr uint16_t SOCKET_DEFAULT_OPT16 = 65535;
inline constexpr int SOCKET_PEER_SIZE = 80;
inline constexpr int SOCKET_ADDR_SIZE = 48; // a numeric IPv6 address and its terminator
// Handles one readiness wait looks at, over all listeners of a set.
inline constexpr int SOCKET_MAX_HANDLES = 64;
// Readability waits last one second.
inline constexpr int SOCKET_READ_WAIT_MS = 1000;

// What a connection still has to send behind its buffered bytes, held by reference rather than
// copied into the buffer: the rest of an open file or a stretch of memory.
inline constexpr uint8_t TAIL_NONE = 0;
inline constexpr uint8_t TAIL_FILE = 1;
inline constexpr uint8_t TAIL_BYTES = 2;

struct socket_tail {
    uint8_t kind;      // TAIL_*
    int fd;            // TAIL_FILE: a descriptor of the record's own, closed with the tail
    uint64_t offset;   // TAIL_FILE: where the next byte is read
    uint64_t left;     // bytes still to send
    const char* bytes; // TAIL_BYTES: the next byte to send
    char* owned;       // TAIL_BYTES: a copy the record releases, or NULL for borrowed bytes
};
static_assert(std::is_trivially_destructible_v<socket_tail>);

struct socket {
    int32_t port;
    int fd[2];         // listener: one handle per bound family; connection: fd[0]; -1 = none
    uint32_t dup_size; // non-zero for a record made by socket_dup: one block, inline buffer
    int32_t timeout;   // seconds
    int32_t sndbuf;
    int32_t rcvbuf;
    htable* table; // owned by a standalone record, borrowed by a duplicate
    uint32_t flags;
    uint16_t opt16;
    char peer[SOCKET_PEER_SIZE];
    uint8_t ssl;
    quorvel::buffer* buffer;
    // A duplicate whose inline buffer had to grow keeps the grown data area here; the inline
    // area is never released on its own.
    char* grown;
    // Monotonic milliseconds (monotonic_ms) by which the current request must have arrived;
    // 0 = none. Input waits never last past it, and an input wait cut by it fails the
    // connection as timed out. Output is not bound by it.
    int64_t deadline_ms;
    // Numeric address to bind to instead of every interface; empty = every interface.
    char bind_addr[SOCKET_ADDR_SIZE];
    // The handle was opened non-blocking (accepted connections): every wait is a poll of its
    // own, so transfers need not switch the mode back and forth.
    uint8_t io_nonblocking;
    // Sent after the buffered output by every flush (socket_io.h), released with the record.
    socket_tail tail;
};
static_assert(std::is_trivially_destructible_v<socket>);

// Lifecycle. Every operation clears errno and the last error on entry unless it says
// otherwise; failures are reported once, where they are found.

// Always 0: POSIX sockets need no start-up.
int sockets_init();

// A new unbound record for `port` (1..65534): timeout 380, opt16 65535, no flags, no handles.
// From the general allocator (listeners and client connections outlive any connection's
// thread heap); NULL (reported) for another port or no memory.
socket* socket_create(int32_t port);

// socket_create for a listener that may leave its port to the system: `port` 0 is accepted
// too, and socket_bind then binds a free port and stores it in the record. Reported as
// socket_create is.
socket* socket_create_listener(int32_t port);

// Sets an option bit (value SOCK_SET / SOCK_CLR, other values ignored), a size or the
// time-out (value > 0 sets; 0 or -1 clears a set value), or opt16. 0, or -1 (reported) for a
// NULL record or an unknown attribute. Takes effect at the next bind or connect.
int socket_setattr(socket* s, uint32_t attribute, int32_t value);

// Binds one handle per enabled family (at most two, close-on-exec; IPv6 handles IPv6-only)
// to the record's port on every interface, or, with `bind_addr` set, to that one numeric
// address, whose family alone decides the handle. Stores half the buffer sizes the system
// reports (Linux reports them doubled). With port 0 the first handle gets a free port from
// the system, which the record's `port` then holds (stored atomically: another thread may
// read it with socket_port while this one binds) and which a second handle shares. A failed
// bind closes every handle and sets SOCK_FAILED. 0 with SOCK_READY, or -1.
int socket_bind(socket* s);

// The record's port, read atomically, so a thread other than the binding one may call it
// while socket_bind runs: the configured port before the bind, the bound one after.
int32_t socket_port(socket* s);

// Puts every handle into the listening state and makes it non-blocking, so that of several
// threads woken for one connection the losers find none instead of blocking in accept.
int socket_listen(socket* s, int32_t backlog);

// Connects to the first address of `host` (name or numeric text) and `port` (1..65535) that
// accepts, over the enabled families; with SOCK_BUFFERED gives the record a buffer of
// max(sndbuf, rcvbuf) bytes (without one when memory is short: reported, SOCK_BUFFERED
// cleared). -1 with SOCK_FAILED and no handle left open when none accepts.
int socket_connect(socket* s, const char* host, int32_t port);

// A buffered connected client socket (both families, Nagle on, opt16 0), or NULL; a
// `timeout` of 0 or more replaces the default. Released with socket_destroy.
socket* socket_open(const char* host, int32_t port, int32_t timeout);

// A copy of `s` in one zeroed block from the calling thread's allocation pair, with its
// buffer of max(sndbuf, rcvbuf) bytes (the default size when neither is set) inline when
// SOCK_BUFFERED; it shares `table` and owns no handle of its own until the caller puts one
// in. NULL (reported) for a NULL record or no memory. Released with socket_destroy.
socket* socket_dup(const socket* s);

// Shuts every handle of `s` down (a listener: each of its handles) without closing it, so
// that every thread waiting on it (in accept, a receive or a send) returns at once. The record
// stays for its owner to close. Keeps errno and the last error.
void socket_interrupt(socket* s);
// The same for one descriptor.
void socket_interrupt_fd(int fd);

// Half-closes each handle and drops what the peer still sends, for at most one second and
// 64 KiB in all; lowers `timeout` to 1. Nothing for a record without handles or with `ssl`.
// Always 0; errno and the last error are kept.
int socket_shutdown(socket* s);

// Sends pending buffered output (unless SOCK_FAILED), shuts the handles down and closes them.
void socket_close(socket* s);

// socket_close, then releases what the record owns (a standalone record: its buffer and
// table; a duplicate: a grown data area) and the record, and clears `*s`.
void socket_destroy(socket** s);

// Shared by the socket files: waits up to `timeout_ms` (0: only looks) for `events` on the
// handles, retrying after signals with the time left. The index of the first ready handle in
// array order, -1 when none became ready in time, -2 when the wait failed (errno says why).
int socket_poll(pollfd* fds, int count, short events, int timeout_ms);

} // namespace quorvel
