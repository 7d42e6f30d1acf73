// The kernel thread of a started server, and the start and stop of a server's threads. The
// kernel is created held at its start gate until the server record names it, so no thread of
// the server ever sees the record half written; once the handlers run, it runs the waiting
// room. A stop wakes every thread out of its waits (the room's poll, the handlers' waits for
// connections and the connections they serve), so the threads end by themselves, quickly.
#include "http/kernel.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "http/connection.h"
#include "http/protocol.h"
#include "http/server.h"
#include "http/waiting_room.h"
#include "net/socket.h"
#include "platform/os.h"
#include "threads/sync.h"
#include "threads/thread.h"

#include <cerrno>

namespace quorvel {

namespace {

// Longest wait of a stopper for a stopped thread between tests of its end.
constexpr int STOP_SLICE_MS = 100;

// Gives a server about to start its shared run state, with its waiting room and one
// connection slot per handler: 0, or -1 (reported) when memory runs out.
int server_run_prepare(server_record* server)
{
    auto* run = static_cast<server_run*>(general_alloc(sizeof(server_run)));
    uint32_t slots = server->handler_count;
    if (run != nullptr) {
        run->room = room_create();
        run->connections = static_cast<std::atomic<int>*>(
            general_alloc(sizeof(std::atomic<int>) * (slots == 0 ? 1 : slots)));
    }
    if (run == nullptr || run->room == nullptr || run->connections == nullptr) {
        if (run != nullptr) {
            room_destroy(&run->room);
            mem_free(run->connections);
            mem_free(run);
        }
        report_text("quorvel_obj_start", 16388, fault::no_memory,
                    "insufficient memory to perform operation\n");
        return -1;
    }
    run->slot_count = slots;
    run->next_slot.store(0);
    for (uint32_t i = 0; i < slots; ++i)
        run->connections[i].store(SLOT_FREE);
    server->run = run;
    return 0;
}

// Ends the room's poll and the handlers' waits for connections at once.
void server_wake(server_record* server)
{
    if (server != nullptr && server->run != nullptr)
        room_wake(server->run->room);
}

// Shuts down each connection a handler is serving, so a receive or send blocked on a client
// fails at once.
void server_cut_connections(server_record* server)
{
    if (server == nullptr || server->run == nullptr)
        return;
    server_run* run = server->run;
    for (uint32_t i = 0; i < run->slot_count; ++i) {
        std::atomic<int>& slot = run->connections[i];
        int fd = slot.load();
        if (fd >= 0 && slot.compare_exchange_strong(fd, SLOT_BUSY)) {
            socket_interrupt_fd(fd);
            slot.store(SLOT_FREE);
        }
    }
}

// Frees the shared state once every thread of the server has ended.
void server_run_release(server_record* server)
{
    if (server == nullptr || server->run == nullptr)
        return;
    server_run* run = server->run;
    server->run = nullptr;
    room_destroy(&run->room);
    mem_free(run->connections);
    mem_free(run);
}

void request_stop(thread_record* thread)
{
    if (thread == nullptr)
        return;
    thread->stop_requested.store(true);
    // A thread still held at its start gate then skips its body.
    thread_resume(thread);
}

// Waits until the stopped thread's body has returned, then joins and frees its record. The
// server's threads test their stop flag at least once a second between connections, so the
// wait ends; it is not cut short, since a thread given up on could still touch the record.
void join_stopped(thread_record** thread)
{
    if (*thread == nullptr)
        return;
    while (!(*thread)->finished.load())
        event_waittimed((*thread)->signal, STOP_SLICE_MS);
    thread_destroy(thread);
}

} // namespace

int httpsrv_start(server_record* server)
{
    if (server_run_prepare(server) != 0)
        return -1;
    thread_record* kernel = thread_create(quorvel_kernel, server, 0, true);
    if (kernel == nullptr) {
        server_run_release(server);
        return -1;
    }
    server->kernel = kernel;
    // From now on handlers read the protocol table without a lock: no more registrations.
    protocol_freeze();
    thread_resume(kernel);
    return 0;
}

void quorvel_kernel(thread_record* thread, void* argument)
{
    auto* server = static_cast<server_record*>(argument);
    debug("quorvel_kernel", 15668, "primary thread coming up...\n");
    protocol_strip();
    debug("quorvel_kernel", 15674, "configuring %d listeners ...\n", server->listener_count);
    for (int32_t i = 0; i < server->listener_count; ++i) {
        socket* listener = server->listeners[i];
        if (socket_bind(listener) != 0 || socket_listen(listener, KERNEL_BACKLOG) != 0) {
            // errno is the system's answer to the bind or listen; none when no handle of
            // the wanted family could be made for the address.
            server_publish_failure(server, errno != 0 ? errno : EADDRNOTAVAIL);
            return;
        }
    }
    debug("quorvel_kernel", 15694, "starting handlers...\n");
    long cpus = get_cpu_count();
    if (cpus > 0 && static_cast<unsigned long>(cpus) < server->handler_count) {
        server->handler_count = static_cast<uint32_t>(cpus);
        debug("quorvel_kernel", 15705, "%ld cores detected\n", cpus);
    }
    for (uint32_t i = 0; i < server->handler_count; ++i) {
        server->handlers[i] = thread_create(quorvel_http_handler, server, 0, false);
        if (server->handlers[i] == nullptr) {
            debug("quorvel_kernel", 15723, "could not start handler %d\n", static_cast<int>(i));
            server_publish_failure(server, errno != 0 ? errno : EAGAIN);
            return;
        }
    }
    debug("quorvel_kernel", 15728, "all handlers started\n");
    debug("quorvel_kernel", 15730, "kernel entered primary loop\n");
    server_publish_state(server, SERVER_SERVING);
    room_run(server->run->room, server, thread);
    debug("quorvel_kernel", 15735, "kernel signaled to exit\n");
}

void httpsrv_stop(server_record* server)
{
    if (server == nullptr || server->is_copy)
        return;
    // The kernel fills the handler array while it starts: it must be gone before the array
    // is read.
    request_stop(server->kernel);
    server_wake(server);
    join_stopped(&server->kernel);
    if (server->handlers != nullptr) {
        for (uint32_t i = 0; i < server->handler_count; ++i)
            request_stop(server->handlers[i]);
        // Ends the waits for connections and cuts the connections being served, so no client
        // holds the stop up.
        server_wake(server);
        server_cut_connections(server);
        for (uint32_t i = 0; i < server->handler_count; ++i)
            join_stopped(&server->handlers[i]);
    }
    server_run_release(server);
}

} // namespace quorvel
