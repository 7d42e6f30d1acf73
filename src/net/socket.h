// The socket record of every listener and connection: creation, options, binding on IPv4
// and IPv6, listening, accepting over several listeners at once, connecting, and the
// buffered sending and receiving through the record's one buffer.
#pragma once

#include "quorvel.h"

#include <cstdint>
#include <type_traits>

namespace quorvel {

struct buffer;
struct htable;

// Internal option bit: handles made non-blocking at bind. The system's flag of the same name
// is ::SOCK_NONBLOCK.
inline constexpr uint32_t SOCK_NONBLOCK = 0x00008000;

inline constexpr int32_t SOCKET_DEFAULT_TIMEOUT = 380;
inline constexpr int SOCKET_PEER_SIZE = 80;
inline constexpr int SOCKET_ADDR_SIZE = 48; // a numeric IPv6 address and its terminator

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
    // Monotonic milliseconds by which the current request must have arrived; 0 = none.
    int64_t deadline_ms;
    // Numeric address to bind to instead of every interface; empty = every interface.
    char bind_addr[SOCKET_ADDR_SIZE];
};
static_assert(std::is_trivially_destructible_v<socket>);

// Lifecycle.
int sockets_init();
// A new unbound record for `port` (1..65534), or NULL (reported).
socket* socket_create(int32_t port);
int socket_setattr(socket* s, uint32_t attribute, int32_t value);
int socket_bind(socket* s);
int socket_listen(socket* s, int32_t backlog);
int socket_connect(socket* s, const char* host, int32_t port);
// A buffered connected client socket, or NULL; timeout < 0 keeps the default.
socket* socket_open(const char* host, int32_t port, int32_t timeout);
// A copy of `s` in one block with its buffer inline (sharing `table`), or NULL.
socket* socket_dup(const socket* s);
// The first handle, in array order, readable within one second; -1 when none.
int socket_readable_vectr(socket** sockets, int count, socket** which);
// An accepted buffered connection, or NULL.
socket* socket_wait(socket* listener);
socket* socket_wait_vectr(socket** listeners, int count);
int socket_shutdown(socket* s);
void socket_close(socket* s);
void socket_destroy(socket** s);

// Buffered I/O.
int socket_readable(socket* s);
int socket_writable(socket* s);
int socket_snd(socket* s, const void* data, uint32_t length);
int socket_unbufsnd(socket* s, const void* data, uint32_t length);
int socket_flush(socket* s);
int socket_rcv(socket* s, void* destination, uint32_t length);
int socket_unbufrcv(socket* s, void* destination, uint32_t length);
int socket_fillbuffer(socket* s);
int socket_getrfree(socket* s);
bool socket_dead(socket* s);

} // namespace quorvel
