// The exported-call frame: initialisation, the system object, and creation and destruction
// of objects by their type tag.
#include "api/envelope.h"
#include "bubbles/load.h"
#include "core/guard.h"
#include "core/log.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/directory.h"
#include "foundation/strings.h"
#include "http/kernel.h"
#include "http/protocol.h"
#include "http/server.h"
#include "net/socket.h"
#include "threads/sync.h"
#include "threads/thread.h"
#include "threads/worker.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

std::atomic<bool> initialized{false};
envelope system_object{quorvel_obj_sys, nullptr, 0};

// Every entry whose name holds ".bbl" anywhere is a bubble, in the order the directory gives
// them. A bubble that does not load is reported and the scan goes on.
void scan_bubbles(envelope* server, const char* directory)
{
    debug("quorvel_obj_start", 16347, "checking for bubbles in %s...\n", directory);
    dir_record* dir = dir_open(directory);
    if (dir == nullptr) {
        report("quorvel_obj_start", 16355, fault::none, "could not open directory %s for reading\n",
               directory);
        return;
    }
    while (const char* name = dir_read(dir)) {
        if (std::strstr(name, ".bbl") == nullptr)
            continue;
        char path[PATH_MAX];
        int length = std::snprintf(path, sizeof(path), "%s%c%s", directory, '/', name);
        int loaded = -1;
        if (length > 0 && static_cast<size_t>(length) < sizeof(path))
            loaded = bubble_load(server, static_cast<server_record*>(server->object), path);
        if (loaded != 0) {
            char shown[4 * DIR_NAME_SIZE];
            report("quorvel_obj_start", 16376, fault::none, "could not load bubble %s\n",
                   log_safe(name, shown, sizeof(shown)));
        }
    }
    dir_close(dir);
}

envelope* create_by_tag(unsigned type, va_list args)
{
    switch (type) {
    case quorvel_obj_server: {
        unsigned handler_count = va_arg(args, unsigned);
        const char* root = va_arg(args, const char*);
        if (!library_initialized())
            return nullptr;
        server_record* server = httpsrv_create(handler_count, root);
        envelope* e = envelope_create(type, server);
        if (e == nullptr)
            httpsrv_destroy(&server);
        return e;
    }
    case quorvel_obj_mutex: {
        if (!library_initialized())
            return nullptr;
        mutex* m = mutex_create();
        envelope* e = envelope_create(type, m);
        if (e == nullptr)
            mutex_destroy(&m);
        return e;
    }
    case quorvel_obj_event: {
        if (!library_initialized())
            return nullptr;
        event* ev = event_create();
        envelope* e = envelope_create(type, ev);
        if (e == nullptr)
            event_destroy(&ev);
        return e;
    }
    case quorvel_obj_thread: {
        auto body = va_arg(args, quorvel_thread_fn);
        void* argument = va_arg(args, void*);
        thread_record* t = thread_create(body, argument, 0, false);
        envelope* e = envelope_create(type, t);
        if (e == nullptr)
            thread_destroy(&t);
        return e;
    }
    case quorvel_obj_log: {
        const char* name = va_arg(args, const char*);
        log_record* log = log_create(name);
        envelope* e = envelope_create(type, log);
        if (e == nullptr)
            log_destroy(&log);
        return e;
    }
    case quorvel_obj_protocol: {
        if (!library_initialized())
            return nullptr;
        const char* name = va_arg(args, const char*);
        auto fn = va_arg(args, quorvel_protocol_fn);
        // Not an envelope: 1 when registered, 0 when not.
        return reinterpret_cast<envelope*>(static_cast<uintptr_t>(protocol_register(name, fn)));
    }
    case quorvel_obj_stream: {
        if (!library_initialized())
            return nullptr;
        const char* host = va_arg(args, const char*);
        const char* protocol = va_arg(args, const char*);
        int port = va_arg(args, int);
        int timeout = va_arg(args, int);
        quorvel::socket* s = protocol_connect(host, protocol, port, timeout);
        envelope* e = envelope_create(type, s);
        if (e == nullptr && s != nullptr) {
            errno_saver keep;
            socket_destroy(&s);
        }
        return e;
    }
    case quorvel_obj_worker: {
        unsigned heap_size = va_arg(args, unsigned);
        unsigned slot_count = va_arg(args, unsigned);
        worker_pool* pool = worker_create(heap_size, slot_count);
        envelope* e = envelope_create(type, pool);
        if (e == nullptr && pool != nullptr) {
            errno_saver keep;
            worker_destroy(&pool);
        }
        return e;
    }
    default:
        report("quorvel_obj_create", 16283, fault::bad_arg,
               "invalid object type, object not supported\n");
        return nullptr;
    }
}

} // namespace

envelope* envelope_create(uint32_t tag, void* object)
{
    if (object == nullptr)
        return nullptr;
    auto* e = static_cast<envelope*>(general_alloc(sizeof(envelope)));
    if (e == nullptr) {
        report("envelope_create", 15774, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    e->type = tag;
    e->object = object;
    e->flags = 0;
    return e;
}

bool library_initialized()
{
    return initialized.load(std::memory_order_acquire);
}

} // namespace quorvel

using namespace quorvel;

extern "C" QUORVEL_API int quorvel_init(void) noexcept
{
    clear_errors();
    if (library_initialized())
        return 0;
    // Without a thread-local slot every allocation falls back to the general allocator.
    thread_heap_init();
    initialized.store(true, std::memory_order_release);
    return 0;
}

extern "C" QUORVEL_API int quorvel_isinitialized(void) noexcept
{
    return library_initialized() ? 0 : -1;
}

extern "C" QUORVEL_API void quorvel_debug(int on) noexcept
{
    set_debug(on != 0);
}

extern "C" QUORVEL_API envelope* quorvel_get_sys(void) noexcept
{
    return &system_object;
}

extern "C" QUORVEL_API char quorvel_thread_continue(quorvel_thread* thread) noexcept
{
    return thread != nullptr && thread->stop_requested.load() ? 1 : 0;
}

extern "C" QUORVEL_API char* quorvel_make_return_value(const char* s) noexcept
{
    return s == nullptr ? nullptr : str_dup(s);
}

extern "C" QUORVEL_API uint32_t quorvel_last_error(void) noexcept
{
    return last_error();
}

extern "C" QUORVEL_API envelope* quorvel_obj_create(unsigned type, ...) noexcept
{
    clear_errors();
    va_list args;
    va_start(args, type);
    envelope* result = create_by_tag(type, args);
    va_end(args);
    if (result == nullptr && !library_initialized())
        report("quorvel_obj_create", 16298, fault::bad_arg,
               "core not initialized, call quorvel_init\n");
    return result;
}

extern "C" QUORVEL_API int quorvel_obj_start(envelope* object) noexcept
{
    clear_errors();
    if (object == nullptr || object->object == nullptr || object->type != quorvel_obj_server ||
        (object->flags & ENVELOPE_STARTED)) {
        report("quorvel_obj_start", 16326, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    auto* server = static_cast<server_record*>(object->object);
    if (server->listener_count <= 0 || server->listeners == nullptr) {
        report("quorvel_obj_start", 16335, fault::bad_arg, "no listeners have been defined\n");
        return -1;
    }
    if (server->bubble_dir != nullptr)
        scan_bubbles(object, server->bubble_dir);
    if (httpsrv_start(server) != 0)
        return -1;
    object->flags |= ENVELOPE_STARTED | ENVELOPE_LOCKED;
    clear_errors();
    return 0;
}

extern "C" QUORVEL_API int quorvel_obj_destroy(envelope* object) noexcept
{
    clear_errors();
    // The system object wraps no record, yet it is refused as an unsupported object.
    if (object == nullptr || (object->object == nullptr && object->type != quorvel_obj_sys)) {
        report("quorvel_obj_destroy", 17321, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    switch (object->type) {
    case quorvel_obj_server: {
        auto* server = static_cast<server_record*>(object->object);
        httpsrv_destroy(&server);
        break;
    }
    case quorvel_obj_mutex: {
        auto* m = static_cast<mutex*>(object->object);
        mutex_destroy(&m);
        break;
    }
    case quorvel_obj_event: {
        auto* e = static_cast<event*>(object->object);
        event_destroy(&e);
        break;
    }
    case quorvel_obj_thread: {
        auto* t = static_cast<thread_record*>(object->object);
        thread_destroy(&t);
        break;
    }
    case quorvel_obj_log: {
        auto* log = static_cast<log_record*>(object->object);
        log_destroy(&log);
        break;
    }
    case quorvel_obj_stream: {
        // Pending output, the announcement included, leaves before the close.
        auto* s = static_cast<quorvel::socket*>(object->object);
        socket_destroy(&s);
        break;
    }
    case quorvel_obj_worker: {
        auto* pool = static_cast<worker_pool*>(object->object);
        worker_destroy(&pool);
        break;
    }
    default:
        report("quorvel_obj_destroy", 17361, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    object->object = nullptr;
    mem_free(object);
    return 0;
}
