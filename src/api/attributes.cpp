// The attribute calls: quorvel_obj_set configures a server before its start and the
// library-wide settings of the system object; quorvel_obj_get reads a connection's request,
// a stream's buffer, a started server's state and its listeners' ports. Every variadic
// argument is read with its documented type, and only the arguments the attribute uses.
#include "api/envelope.h"
#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "http/access_log.h"
#include "http/config.h"
#include "http/cookies.h"
#include "http/request.h"
#include "http/request_values.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace quorvel {

namespace {

int set_server(server_record* server, int attribute, va_list args)
{
    // Whatever a server keeps must survive the calling thread's heap resets.
    general_alloc_scope general;
    switch (attribute) {
    case quorvel_attrib_mime: {
        const char* extension = va_arg(args, const char*);
        const char* type = va_arg(args, const char*);
        unsigned encoding = va_arg(args, unsigned);
        auto handler = va_arg(args, quorvel_mime_fn);
        return httpsrv_set_mime(server, extension, type, encoding, handler);
    }
    case quorvel_attrib_index:
        return httpsrv_set_index(server, va_arg(args, const char*));
    case quorvel_attrib_ssi:
    case quorvel_attrib_dirlist:
    case quorvel_attrib_dir_index: {
        uint32_t bit = attribute == quorvel_attrib_ssi       ? SERVER_SSI
                       : attribute == quorvel_attrib_dirlist ? SERVER_DIRLIST
                                                             : SERVER_DIR_INDEX;
        if (va_arg(args, int) != 0)
            server->flags |= bit;
        else
            server->flags &= ~bit;
        return 0;
    }
    case quorvel_attrib_tcpbuffsize:
        return httpsrv_set_tcpbuffsize(server, va_arg(args, int));
    case quorvel_attrib_listener:
        return httpsrv_add_listener(server, va_arg(args, int), nullptr);
    case quorvel_attrib_ssl:
        set_ssl_initialized(true);
        return 0;
    case quorvel_attrib_bubbles:
        return httpsrv_set_bubbles(server, va_arg(args, const char*));
    case quorvel_attrib_uri: {
        int method = va_arg(args, int);
        const char* uri = va_arg(args, const char*);
        int encoding = va_arg(args, int);
        auto callback = va_arg(args, quorvel_uri_fn);
        return httpsrv_set_uri(server, method, uri, encoding, callback);
    }
    case quorvel_attrib_uri_content:
    case quorvel_attrib_uri_cache: {
        int method = va_arg(args, int);
        const char* uri = va_arg(args, const char*);
        const char* text = va_arg(args, const char*);
        int mode = va_arg(args, int);
        if (attribute == quorvel_attrib_uri_content)
            return httpsrv_set_uri_content(server, method, uri, text, mode);
        return httpsrv_set_uri_cache(server, method, uri, text);
    }
    case quorvel_attrib_afipv: {
        unsigned families = va_arg(args, unsigned);
        int mode = va_arg(args, int);
        unsigned levels = va_arg(args, unsigned);
        return httpsrv_set_afipv(server, families, mode, levels);
    }
    case quorvel_attrib_listener_addr: {
        int port = va_arg(args, int);
        const char* address = va_arg(args, const char*);
        if (address == nullptr) {
            report("quorvel_obj_set:: quorvel_attrib_listener_addr", 18110, fault::bad_arg,
                   "null argument passed\n");
            return -1;
        }
        return httpsrv_add_listener(server, port, address);
    }
    case quorvel_attrib_access_log:
        return access_log_set(&server->access_log, va_arg(args, const char*));
    default:
        report("quorvel_obj_set", 18152, fault::bad_arg,
               "provided attribute does not correspond with object\n");
        return -1;
    }
}

int set_system(int attribute, va_list args)
{
    switch (attribute) {
    case quorvel_attrib_tcpbuffsize: {
        int size = va_arg(args, int);
        if (set_default_tcp_buffer_size(size) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_tcpbuffsize", 17575, fault::bad_arg,
                   "invalid buffer size %d, expecting bytes above 0\n", size);
            return -1;
        }
        return 0;
    }
    case quorvel_attrib_threadheap: {
        int size = va_arg(args, int);
        if (set_handler_heap_size(size) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_threadheap", 17580, fault::bad_arg,
                   "invalid thread heap size %d, expecting bytes above 0\n", size);
            return -1;
        }
        return 0;
    }
    case 9:
        return 0;
    case quorvel_attrib_request_timeout: {
        int seconds = va_arg(args, int);
        if (set_request_timeout_seconds(seconds) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_request_timeout", 17585, fault::bad_arg,
                   "invalid time-out %d, expecting seconds above 0\n", seconds);
            return -1;
        }
        return 0;
    }
    case quorvel_attrib_connection_limit: {
        int count = va_arg(args, int);
        if (set_connection_limit(count) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_connection_limit", 17588, fault::bad_arg,
                   "invalid connection limit %d, expecting a count above 0\n", count);
            return -1;
        }
        return 0;
    }
    default:
        report("quorvel_obj_set", 17594, fault::bad_arg, "invalid attribute for object\n");
        return -1;
    }
}

int buffer_capacity(const socket* s)
{
    if (s == nullptr || s->buffer == nullptr)
        return 0;
    return static_cast<int>(s->buffer->capacity);
}

// Response header lines, caching and cookies of the answer a host function writes.
int set_connection(request_data* request, int attribute, va_list args)
{
    switch (attribute) {
    case quorvel_attrib_header: {
        const char* name = va_arg(args, const char*);
        const char* value = va_arg(args, const char*);
        return add_attribute(request, name, value);
    }
    case quorvel_attrib_cache: {
        char value[80];
        std::snprintf(value, sizeof(value), "max-age=%d, must-revalidate", va_arg(args, int));
        return add_attribute(request, "Cache-Control", value);
    }
    case quorvel_attrib_cookie: {
        const char* name = va_arg(args, const char*);
        const char* value = va_arg(args, const char*);
        const char* domain = va_arg(args, const char*);
        int secure = va_arg(args, int);
        int lifetime = va_arg(args, int);
        return set_cookie(request, name, value, domain, secure, lifetime);
    }
    default:
        report("quorvel_obj_set", 18206, fault::bad_arg,
               "provided attribute does not correspond with object\n");
        return -1;
    }
}

int get_connection(const request_data* request, int attribute, va_list args)
{
    switch (attribute) {
    case quorvel_attrib_cookie: {
        const char* name = va_arg(args, const char*);
        char* out = va_arg(args, char*);
        int size = va_arg(args, int);
        return get_cookie(request, name, out, size);
    }
    case quorvel_attrib_header:
    case quorvel_attrib_post: {
        const char* name = va_arg(args, const char*);
        char* out = va_arg(args, char*);
        int size = va_arg(args, int);
        return attribute == quorvel_attrib_header ? request_header(request, name, out, size)
                                                  : request_post(request, name, out, size);
    }
    case quorvel_attrib_tcpbuffsize:
        return buffer_capacity(request->sock);
    case quorvel_attrib_uri:
    case quorvel_uri_path:
    case quorvel_attrib_local_url:
    case quorvel_attrib_local_url_path: {
        char* out = va_arg(args, char*);
        int size = va_arg(args, int);
        request_path which = attribute == quorvel_attrib_uri         ? request_path::uri
                             : attribute == quorvel_uri_path         ? request_path::uri_path
                             : attribute == quorvel_attrib_local_url ? request_path::local_url
                                                                     : request_path::local_url_path;
        return request_get_path(request, which, out, size);
    }
    case quorvel_attrib_post_ref: {
        const char* name = va_arg(args, const char*);
        char** value = va_arg(args, char**);
        unsigned* size = va_arg(args, unsigned*);
        return request_post_ref(request, name, value, size);
    }
    default:
        report("quorvel_obj_get", 18507, fault::bad_arg,
               "provided attribute does not correspond with object\n");
        return -1;
    }
}

int get_server_status(const envelope* object, int wait_ms)
{
    if ((object->flags & ENVELOPE_STARTED) == 0) {
        report("quorvel_obj_get:: quorvel_attrib_status", 18525, fault::bad_arg,
               "server has not been started\n");
        return -1;
    }
    if (wait_ms < 0) {
        report("quorvel_obj_get:: quorvel_attrib_status", 18527, fault::bad_arg,
               "invalid wait time %d, expecting milliseconds from 0\n", wait_ms);
        return -1;
    }
    auto* server = static_cast<server_record*>(object->object);
    uint32_t state = server_wait_state(server, wait_ms);
    clear_errors();
    // The acquire read of the state makes the cause the kernel stored before it visible.
    if (state == SERVER_FAILED)
        errno = server->start_error;
    return static_cast<int>(state);
}

} // namespace

} // namespace quorvel

using namespace quorvel;

extern "C" QUORVEL_API int quorvel_obj_set(envelope* object, int attribute, ...) noexcept
{
    clear_errors();
    if (object == nullptr || (object->object == nullptr && object->type != quorvel_obj_sys)) {
        report("quorvel_obj_set", 17546, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (object->flags & ENVELOPE_LOCKED) {
        report("quorvel_obj_set", object->type == quorvel_obj_sys ? 17557 : 17542, fault::bad_arg,
               "object modification access denied\n");
        return -1;
    }
    va_list args;
    va_start(args, attribute);
    int result = -1;
    switch (object->type) {
    case quorvel_obj_server:
        result = set_server(static_cast<server_record*>(object->object), attribute, args);
        break;
    case quorvel_obj_connection:
        result = set_connection(static_cast<request_data*>(object->object), attribute, args);
        break;
    case quorvel_obj_sys:
        result = set_system(attribute, args);
        break;
    default:
        report("quorvel_obj_set", 18216, fault::bad_arg,
               "operation not supported for provided object\n");
        break;
    }
    va_end(args);
    return result;
}

extern "C" QUORVEL_API int quorvel_obj_get(envelope* object, int attribute, ...) noexcept
{
    clear_errors();
    if (object == nullptr || object->object == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    va_list args;
    va_start(args, attribute);
    int result = -1;
    if (object->type == quorvel_obj_connection) {
        result = get_connection(static_cast<request_data*>(object->object), attribute, args);
    } else if (object->type == quorvel_obj_stream) {
        if (attribute == quorvel_attrib_tcpbuffsize)
            result = buffer_capacity(static_cast<socket*>(object->object));
        else
            report("quorvel_obj_get", 18276, fault::bad_arg,
                   "provided attribute does not correspond with object\n");
    } else if (object->type == quorvel_obj_server && attribute == quorvel_attrib_status) {
        result = get_server_status(object, va_arg(args, int));
    } else if (object->type == quorvel_obj_server && attribute == quorvel_attrib_listener_addr) {
        result =
            httpsrv_listener_port(static_cast<server_record*>(object->object), va_arg(args, int));
    } else {
        report("quorvel_obj_get", 18517, fault::bad_arg,
               "operation not supported for provided object\n");
    }
    va_end(args);
    return result;
}