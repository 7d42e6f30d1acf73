// The connection handlers of a started server. Each handler loops: accept a connection, tell
// a user-defined protocol's announcement from an HTTP request, then either hand the
// connection to the protocol's host function or read the request, resolve what it names and
// answer it, and close. A handler publishes the descriptor of the connection it serves in a
// slot of its own, so that a stop can shut that connection down and free the handler from any
// wait on a client.
#include "http/connection.h"

#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "http/host_call.h"
#include "http/kernel.h"
#include "http/protocol.h"
#include "http/request.h"
#include "http/resolve.h"
#include "http/response.h"
#include "http/server.h"
#include "net/accept.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "net/socket_io.h"
#include "platform/os.h"
#include "threads/thread.h"

#include <cstdio>
#include <sched.h>

namespace quorvel {

namespace {

// Empty accept waits that end at once, in a row, after which a handler pauses: a listener the
// system keeps reporting ready while every accept fails (no descriptors left) must not make
// the handler spin.
constexpr int QUICK_EMPTY_WAITS = 16;
constexpr int64_t QUICK_EMPTY_MS = 2;
constexpr int64_t QUICK_EMPTY_PAUSE_MS = 20;

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

// Sends what is still buffered while a stop can still cut the send short, then closes.
void close_connection(std::atomic<int>* slot, socket** connection)
{
    if (!((*connection)->flags & SOCK_FAILED))
        socket_flush(*connection);
    retire(slot);
    socket_destroy(connection);
}

void finish_request(std::atomic<int>* slot, request_data** request)
{
    socket* connection = (*request)->sock;
    if (connection != nullptr && !(connection->flags & SOCK_FAILED))
        socket_flush(connection);
    retire(slot);
    request_destroy(request);
}

// A connection whose buffered first bytes begin with '&': "&name;" hands the rest of the
// connection to the protocol registered as name. Anything malformed or unknown is closed
// without a reply.
void serve_protocol(socket* connection, std::atomic<int>* slot)
{
    buffer* b = connection->buffer;
    char* p = b->read_pos + 1;
    char name[PROTOCOL_ANNOUNCE_MAX + 1] = {};
    int length = 0;
    while (p < b->write_pos && *p != ';' && *p != '\0' && length < PROTOCOL_ANNOUNCE_MAX)
        name[length++] = *p++;
    if (p >= b->write_pos || *p != ';') {
        close_connection(slot, &connection);
        return;
    }
    debug("quorvel_http_handler", 15564,
          "user defined protocol encountered, looking up protocol...");
    char shown[4 * PROTOCOL_ANNOUNCE_MAX + 1];
    log_safe(name, shown, sizeof(shown));
    quorvel_protocol_fn fn = protocol_lookup(name, static_cast<uint32_t>(length));
    if (fn == nullptr) {
        debug("quorvel_http_handler", 15600, "handler %s not found\n", shown);
        close_connection(slot, &connection);
        return;
    }
    debug("quorvel_http_handler", 15576, "handler %s found\n", shown);
    b->read_pos = p + 1;
    // The announcement arrived in time; how long the exchange may take is the protocol's
    // business.
    connection->deadline_ms = 0;
    clear_errors();
    int result = host_call_protocol(fn, connection);
    if (result != 0) {
        char text[16];
        std::snprintf(text, sizeof(text), "%d", result);
        report("quorvel_http_handler", 15593, fault::none, "handler error(%s) - %s\n", shown, text);
    }
    close_connection(slot, &connection);
}

// One HTTP exchange: read the request, resolve what it names, answer, close.
void serve_http(server_record* copy, socket* connection, int32_t heap_size, std::atomic<int>* slot)
{
    request_data* request = http_request(copy, connection, heap_size / 4);
    if (request != nullptr) {
        // A request refused while it was read is answered with its status as it stands; a
        // failed resolution marks the record, which is answered all the same.
        if ((request->flags & REQUEST_FAILED) == 0)
            map_uri(request, request->path);
        http_responce(request);
        debug("quorvel_http_handler", 15616, "destroying responce data structure\n");
        finish_request(slot, &request);
        debug("quorvel_http_handler", 15619, "responce data structure destroyed\n");
    } else {
        debug("quorvel_http_handler", 15623, "warning, could not generate request data\n");
        close_connection(slot, &connection);
    }
    debug("quorvel_http_handler", 15627, "thread 0x%X waiting on connection...\n", os_thread_id());
}

void serve(server_record* copy, socket* connection, int32_t heap_size, std::atomic<int>* slot)
{
    if ((connection->flags & SOCK_BUFFERED) && connection->buffer != nullptr &&
        protocol_table_exists()) {
        if (socket_fillbuffer(connection) == -1) {
            close_connection(slot, &connection);
            return;
        }
        const buffer* b = connection->buffer;
        if (b->read_pos < b->write_pos && *b->read_pos == '&') {
            serve_protocol(connection, slot);
            return;
        }
    }
    serve_http(copy, connection, heap_size, slot);
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

    int idle = 0;
    int quick = 0;
    while (!thread->stop_requested.load()) {
        if (heap_record* heap = thread_heap_current(); heap != nullptr) {
            if (idle >= HANDLER_IDLE_RELEASE)
                thread_heap_release(0);
            else
                heap_reset(heap);
        }
        if (idle >= HANDLER_IDLE_RELEASE)
            idle = 0;

        int64_t began = monotonic_ms();
        socket* connection = socket_wait_vectr(copy->listeners, copy->listener_count);
        if (connection == nullptr) {
            ++idle;
            if (monotonic_ms() - began >= QUICK_EMPTY_MS) {
                quick = 0;
            } else if (++quick >= QUICK_EMPTY_WAITS) {
                quick = 0;
                sleep_ms(QUICK_EMPTY_PAUSE_MS);
            }
            continue;
        }
        publish(slot, connection->fd[0]);
        // One deadline from accept covers the request, the protocol test's first read
        // included.
        connection->deadline_ms = monotonic_ms() + int64_t{request_timeout_seconds()} * 1000;
        debug("handler_thread", 15530, "received connection..\n");
        idle = 0;
        quick = 0;
        // Tested after publishing: a stop either sees the descriptor or is seen here.
        if (thread->stop_requested.load()) {
            close_connection(slot, &connection);
            break;
        }
        serve(copy, connection, heap_size, slot);
    }

    debug("quorvel_http_handler", 15637, "thread 0x%X exited\n", os_thread_id());
    // The copy's listener records share the server's handles: they go without being closed.
    httpsrv_destroy(&copy);
    thread_heap_detach();
}

} // namespace quorvel
