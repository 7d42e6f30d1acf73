// Helpers for tests that talk to the library over sockets: a socket pair, a connection record
// made the way an accepted one is, and bounded reads and writes on the peer's side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "quorvel.h"

namespace quorvel {
struct socket;
}

namespace qtest {

// Two connected stream sockets: `mine` goes into a record, `peer` plays the other side
// (closed at destruction unless closed before).
struct SocketPair {
    int mine = -1;
    int peer = -1;
    SocketPair();
    ~SocketPair();
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void close_peer();
};

// A connection record over `fd` made as an accepted one is: a duplicate of a record holding
// the handle, so its buffer of `size` bytes is inline. The record owns `fd`.
quorvel::socket* connection(int fd, int32_t size = 4096, uint32_t flags = SOCK_BUFFERED);

// Reads from `fd` until `want` bytes came, the peer closed or `ms` passed.
std::string read_some(int fd, size_t want, int ms = 10000);

// Everything until the peer closes (or `ms` passes).
std::string read_to_end(int fd, int ms = 10000);

// Writes all of `text` to `fd` (a failure fails the test).
void send_all(int fd, const std::string& text);

// Sets a file's access and modification time.
void set_mtime(const std::string& path, std::time_t when);

} // namespace qtest
