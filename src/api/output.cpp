// The output and input calls of host code: on a connection (the request a URI function or MIME
// handler answers), on a stream, and for quorvel_printf also on a capture buffer and a log.
#include "http/output.h"
#include "api/envelope.h"
#include "core/log.h"
#include "core/report.h"
#include "foundation/buffer.h"
#include "net/frame.h"
#include "net/socket_io.h"
#include "quorvel.h"

#include <cstdarg>

namespace quorvel {

namespace {

request_data* connection_of(const envelope* e)
{
    return static_cast<request_data*>(e->object);
}

socket* stream_of(const envelope* e)
{
    return static_cast<socket*>(e->object);
}

// Envelopes the output calls refuse outright: NULL, or one that wraps nothing.
bool missing(const envelope* e)
{
    return e == nullptr || e->object == nullptr;
}

} // namespace

} // namespace quorvel

using namespace quorvel;

extern "C" QUORVEL_API int quorvel_put(envelope* object, const void* data, uint32_t length) noexcept
{
    clear_errors();
    if (missing(object)) {
        report("quorvel_put", 16690, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    switch (object->type) {
    case quorvel_obj_connection:
        return request_put(connection_of(object), data, length);
    case quorvel_obj_stream:
        return socket_snd(stream_of(object), data, length);
    default:
        report("quorvel_put", 16714, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
}

extern "C" QUORVEL_API int quorvel_putf(envelope* object, const void* data,
                                        uint32_t length) noexcept
{
    clear_errors();
    if (missing(object)) {
        report("quorvel_putf", 16726, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    switch (object->type) {
    case quorvel_obj_connection:
        return request_putf(connection_of(object), data, length);
    case quorvel_obj_stream:
        return socket_putf(stream_of(object), data, length);
    default:
        report("quorvel_putf", 16745, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
}

extern "C" QUORVEL_API char* quorvel_getf(envelope* object, uint32_t* length) noexcept
{
    clear_errors();
    if (missing(object) || length == nullptr) {
        report("quorvel_getf", 16752, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    if (object->type != quorvel_obj_stream) {
        report("quorvel_getf", 16756, fault::bad_arg,
               "operation not supported for provided object\n");
        return nullptr;
    }
    return socket_getf(stream_of(object), length, "quorvel_getf", 16763);
}

extern "C" QUORVEL_API int quorvel_rcv(envelope* object, void* data, uint32_t length) noexcept
{
    clear_errors();
    if (missing(object)) {
        report("quorvel_rcv", 16884, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (object->type != quorvel_obj_stream) {
        report("quorvel_rcv", 16899, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    return socket_rcv(stream_of(object), data, length);
}

extern "C" QUORVEL_API int quorvel_printf(envelope* object, const char* format, ...) noexcept
{
    clear_errors();
    if (missing(object)) {
        report("quorvel_printf", 17206, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    va_list args;
    va_start(args, format);
    int result = -1;
    switch (object->type) {
    case quorvel_obj_connection:
        result = request_vprintf(connection_of(object), format, args);
        break;
    case quorvel_obj_buffer:
        // The envelope holds the address of the capture buffer's pointer, NULL until the first
        // text makes the buffer.
        result = buffer_vprintf(static_cast<buffer**>(object->object), format, args);
        break;
    case quorvel_obj_log:
        result = log_vprintf(static_cast<log_record*>(object->object), format, args);
        break;
    case quorvel_obj_stream:
        result = stream_vprintf(stream_of(object), format, args);
        break;
    default:
        report("quorvel_printf", 17289, fault::bad_arg,
               "operation not supported for provided object\n");
        break;
    }
    va_end(args);
    return result;
}

extern "C" QUORVEL_API int quorvel_uprintf(envelope* object, const char* format, ...) noexcept
{
    clear_errors();
    if (missing(object)) {
        report("quorvel_uprintf", 17050, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    va_list args;
    va_start(args, format);
    int result = -1;
    switch (object->type) {
    case quorvel_obj_connection:
        result = request_vuprintf(connection_of(object), format, args);
        break;
    case quorvel_obj_stream:
        result = stream_vuprintf(stream_of(object), format, args);
        break;
    default:
        report("quorvel_uprintf", 17170, fault::bad_arg,
               "operation not supported for provided object\n");
        break;
    }
    va_end(args);
    return result;
}
