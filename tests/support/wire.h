// Socket helpers: a socket pair, a connection record made the way an accepted one is, and
// bounded reads and writes on the peer's side.
#pragma once

#include "quorvel.h"
#include "support/support.h"

#include <arpa/inet.h>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    ~SocketPair() { close_peer(); }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    void close_peer();
};

// A record owning `fd`, made as an accepted one is (a duplicate of a record holding the
// handle), so its buffer of `size` bytes is inline.
quorvel::socket* connection(int fd, int32_t size = 4096, uint32_t flags = SOCK_BUFFERED);

// Reads until `want` bytes came, the peer closed or `ms` passed; read_to_end until the close.
std::string read_some(int fd, size_t want, int ms = 10000);
std::string read_to_end(int fd, int ms = 10000);

void send_all(int fd, const std::string& text); // a failure fails the test
// `n` bytes that tell their own offset, so a repeat or a gap shows.
std::string offset_bytes(size_t n);
void set_mtime(const std::string& path, std::time_t when);

} // namespace qtest
