// The connection handlers of a started server. Each handler loops: take a connection whose
// request has arrived from the waiting room's queue, tell a user-defined protocol's
// announcement from an HTTP request, then either hand the connection to the protocol's host
// function or parse the request, resolve what it names and answer it, and give the connection
// back to the room, which sends what the answer still holds and closes it. An HTTP answer's
// access-log line is put together with the answer and written after the give-back. A handler
// publishes the descriptor of the connection it serves in a slot of its own, so that a stop
// can shut that connection down and free the handler from any wait on a client.
#include "http/connection.h"

#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "http/access_log.h"
#include "http/host_call.h"
#include "http/kernel.h"
#include "http/protocol.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/response.h"
#include "http/server.h"
#include "http/status.h"
#include "http/waiting_room.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "threads/thread.h"

#include <cstdio>
#include <sched.h>

namespace quorvel {

namespace {

// Longest wait for a connection between tests of the stop flag.
constexpr int HANDLER_WAIT_MS = 1000;

std::atomic<int>* claim_slot(server_run* run)
{
    if (run == nullptr)
        return nullptr;
    uint32_t index = run->next_slot.fetch_add(1);
    return index < run->slot_count ? &run->connections[index] : nullptr;
}

void publish(std::atomic<int>* slot, int fd)
{
    if (slot != nullptr)
        slot->store(fd);
}

// Takes the descriptor back before it is closed, waiting out a stopper that is shutting it
// down at this moment, so that a stopper never acts on a descriptor number after its close.
void retire(std::atomic<int>* slot)
{
    if (slot == nullptr)
        return;
    int seen = slot->load();
    for (;;) {
        if (seen == SLOT_BUSY) {
            ::sched_yield();
            seen = slot->load();
            continue;
        }
        if (slot->compare_exchange_weak(seen, SLOT_FREE))
            return;
    }
}

// Gives the connection back to the waiting room once the handler is done with it.
void give_back(waiting_room* r, std::atomic<int>* slot, guest* g)
{
    retire(slot);
    room_return(r, g);
}

// Answers a request that could not be read whole with the status page of `status`; its
// access-log line goes to `line`.
void refuse(server_record* copy, guest* g, uint32_t status, access_log_line* line)
{
    request_data* request = request_refused(copy, g->sock, status);
    if (request != nullptr) {
        http_responce(request);
        if (copy->access_log.on)
            access_log_format(request, line);
        request->sock = nullptr;
        request_destroy(&request);
    }
}

// A connection whose buffered first bytes begin with '&': "&name;" hands the rest of the
// connection to the protocol registered as name. Anything malformed or unknown is closed
// without a reply.
void serve_protocol(socket* connection)
{
    buffer* b = connection->buffer;
    char* p = b->read_pos + 1;
    char name[PROTOCOL_ANNOUNCE_MAX + 1] = {};
    int length = 0;
    while (p < b->write_pos && *p != ';' && *p != '\0' && length < PROTOCOL_ANNOUNCE_MAX)
        name[length++] = *p++;
    if (p >= b->write_pos || *p != ';') {
        connection->flags |= SOCK_FAILED;
        return;
    }
    debug("quorvel_http_handler", 15564,
          "user defined protocol encountered, looking up protocol...");
    char shown[4 * PROTOCOL_ANNOUNCE_MAX + 1];
    log_safe(name, shown, sizeof(shown));
    quorvel_protocol_fn fn = protocol_lookup(name, static_cast<uint32_t>(length));
    if (fn == nullptr) {
        debug("quorvel_http_handler", 15600, "handler %s not found\n", shown);
        connection->flags |= SOCK_FAILED;
        return;
    }
    debug("quorvel_http_handler", 15576, "handler %s found\n", shown);
    b->read_pos = p + 1;
    // The announcement arrived in time; how long the exchange may take, and how long a peer
    // may leave its data unread, is the protocol's business.
    connection->deadline_ms = 0;
    connection->timeout = SOCKET_DEFAULT_TIMEOUT;
    clear_errors();
    int result = host_call_protocol(fn, connection);
    if (result != 0) {
        char text[16];
        std::snprintf(text, sizeof(text), "%d", result);
        report("quorvel_http_handler", 15593, fault::none, "handler error(%s) - %s\n", shown, text);
    }
}

// One HTTP exchange: parse the request, resolve what it names, answer; the access-log line
// goes to `line`.
void serve_http(server_record* copy, guest* g, int32_t heap_size, access_log_line* line)
{
    request_data* request = http_request(copy, g->sock, heap_size / 4);
    if (request != nullptr) {
        // A request refused while it was read is answered with its status as it stands; a
        // failed resolution marks the record, which is answered all the same.
        if ((request->flags & REQUEST_FAILED) == 0)
            map_uri(request, request->path);
        http_responce(request);
        if (copy->access_log.on)
            access_log_format(request, line);
        debug("quorvel_http_handler", 15616, "destroying responce data structure\n");
        // The connection goes back to the room with what the answer still holds.
        request->sock = nullptr;
        request_destroy(&request);
        debug("quorvel_http_handler", 15619, "responce data structure destroyed\n");
    } else {
        debug("quorvel_http_handler", 15623, "warning, could not generate request data\n");
        g->sock->flags |= SOCK_FAILED;
    }
    debug("quorvel_http_handler", 15627, "thread 0x%X waiting on connection...\n", os_thread_id());
}

void serve(server_record* copy, guest* g, int32_t heap_size, access_log_line* line)
{
    socket* connection = g->sock;
    const buffer* b = connection->buffer;
    if (protocol_table_exists() && b->read_pos < b->write_pos && *b->read_pos == '&') {
        if (g->arrival == ARRIVED)
            serve_protocol(connection);
        else
            connection->flags |= SOCK_FAILED;
        return;
    }
    switch (g->arrival) {
    case ARRIVED:
        serve_http(copy, g, heap_size, line);
        break;
    case ARRIVED_LATE:
        refuse(copy, g, STATUS_REQUEST_TIMEOUT, line);
        break;
    default:
        refuse(copy, g, STATUS_BAD_REQUEST, line);
        break;
    }
}

} // namespace

void quorvel_http_handler(thread_record* thread, void* argument)
{
    auto* server = static_cast<server_record*>(argument);
    // Made before the thread heap exists, so the copy lives in the general allocator and
    // survives every heap reset.
    server_record* copy = httpsrv_copy(server);
    debug("quorvel_http_handler", 15503, "thread 0x%X waiting on connection...\n", os_thread_id());
    if (copy == nullptr) {
        report("quorvel_http_handler", 15507, fault::none, "could not create server object copy!");
        return;
    }
    // A client that goes away mid-file must not raise SIGPIPE; this thread never wants it.
    socket_block_sigpipe();
    int32_t heap_size = handler_heap_size();
    // Without a heap every allocation falls back to the general allocator; serving goes on.
    thread_heap_attach(static_cast<uint32_t>(heap_size));
    std::atomic<int>* slot = claim_slot(server->run);
    waiting_room* r = server->run->room;

    int idle = 0;
    access_log_line line{};
    while (!thread->stop_requested.load()) {
        if (heap_record* heap = thread_heap_current(); heap != nullptr) {
            if (idle >= HANDLER_IDLE_RELEASE)
                thread_heap_release(0);
            else
                heap_reset(heap);
        }
        if (idle >= HANDLER_IDLE_RELEASE)
            idle = 0;

        guest* g = room_take(r, HANDLER_WAIT_MS);
        if (g == nullptr) {
            ++idle;
            continue;
        }
        publish(slot, g->sock->fd[0]);
        debug("handler_thread", 15530, "received connection..\n");
        idle = 0;
        // Tested after publishing: a stop either sees the descriptor or is seen here.
        if (thread->stop_requested.load()) {
            g->sock->flags |= SOCK_FAILED;
            give_back(r, slot, g);
            break;
        }
        serve(copy, g, heap_size, &line);
        give_back(r, slot, g);
        // Written once the answer is on its way, so the client does not wait for it.
        access_log_emit(&copy->access_log, &line);
    }

    debug("quorvel_http_handler", 15637, "thread 0x%X exited\n", os_thread_id());
    // The copy's listener records share the server's handles: they go without being closed.
    httpsrv_destroy(&copy);
    thread_heap_detach();
}

} // namespace quorvel
