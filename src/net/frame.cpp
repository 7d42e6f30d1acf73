// Frames on a connected socket: the length header in network byte order, then the payload.
#include "net/frame.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "net/socket_io.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>

namespace quorvel {

int socket_putf(socket* s, const void* data, uint32_t length)
{
    uint32_t header = htonl(length);
    int sent = socket_snd(s, &header, sizeof(header));
    if (sent < 0 || length == 0)
        return sent < 0 ? -1 : 0;
    return socket_snd(s, data, length);
}

char* socket_getf(socket* s, uint32_t* length, const char* fn, int id)
{
    uint32_t header = 0;
    if (socket_rcv(s, &header, sizeof(header)) != static_cast<int>(sizeof(header)))
        return nullptr;
    *length = ntohl(header);
    // The length is the peer's choice: a signed value below 1 is no frame, and nothing is
    // allocated for it.
    if (static_cast<int32_t>(*length) < 1)
        return nullptr;
    auto* payload = static_cast<char*>(mem_zalloc(*length + 1));
    if (payload == nullptr) {
        report(fn, id, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    if (socket_rcv(s, payload, *length) != static_cast<int>(*length)) {
        mem_free(payload);
        return nullptr;
    }
    return payload;
}

} // namespace quorvel
