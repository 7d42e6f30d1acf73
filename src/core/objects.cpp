// The exported-call frame: initialisation, the system object, and creation and destruction
// of objects by their type tag.
#include "core/envelope.h"
#include "core/log.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/strings.h"
#include "http/kernel.h"
#include "http/protocol.h"
#include "http/server.h"
#include "net/socket.h"
#include "threads/sync.h"
#include "threads/thread.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

std::atomic<bool> initialized{false};
envelope system_object{quorvel_obj_sys, nullptr, 0};

// The longest protocol name whose announcement "&name;" fits the 80-byte buffer.
constexpr size_t PROTOCOL_NAME_MAX = 77;

// Keeps errno and the last error of a failure across the clean-up that follows it.
void destroy_keeping_codes(quorvel::socket** s)
{
    int failure = errno;
    uint32_t last = last_error();
    socket_destroy(s);
    errno = failure;
    set_last_error(last);
}

// A client connection to `host`:`port` that has announced `protocol`, wrapped in a stream
// envelope. The announcement stays in the socket's buffer until the first flush or receive.
envelope* stream_create(const char* host, const char* protocol, int port, int timeout)
{
    if (host == nullptr || protocol == nullptr) {
        report("quorvel_obj_create::quorvel_obj_stream", 16205, fault::bad_arg,
               "null argument passed\n");
        return nullptr;
    }
    if (std::strlen(protocol) > PROTOCOL_NAME_MAX) {
        report("quorvel_obj_create::quorvel_obj_stream", 16208, fault::bad_arg,
               "protocol name too long\n");
        return nullptr;
    }
    debug("quorvel_obj_create::quorvel_obj_stream", 16212, "connecting to %s on port %d\n", host,
          port);
    quorvel::socket* s = socket_open(host, port, timeout);
    if (s == nullptr)
        return nullptr;
    char announcement[80];
    int length = std::snprintf(announcement, sizeof(announcement), "&%s;", protocol);
    if (socket_snd(s, announcement, static_cast<uint32_t>(length)) == -1) {
        destroy_keeping_codes(&s);
        return nullptr;
    }
    envelope* e = envelope_create(quorvel_obj_stream, s);
    if (e == nullptr)
        destroy_keeping_codes(&s);
    return e;
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
        return stream_create(host, protocol, port, timeout);
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
    return server_start(object);
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
    default:
        report("quorvel_obj_destroy", 17361, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    object->object = nullptr;
    quorvel_mem_free(object);
    return 0;
}
