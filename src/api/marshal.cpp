// The marshalling calls on stream envelopes.
#include "net/marshal.h"
#include "api/envelope.h"
#include "core/report.h"
#include "net/socket.h"

#include <cstdarg>

using namespace quorvel;

namespace {

// The stream socket of a marshalling export's envelope, or NULL after reporting.
socket* stream_socket(envelope* stream, const char* fn, int null_id, int type_id)
{
    if (stream == nullptr || stream->object == nullptr) {
        report(fn, null_id, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    if (stream->type != quorvel_obj_stream) {
        report(fn, type_id, fault::bad_arg, "operation not supported for provided object\n");
        return nullptr;
    }
    return static_cast<socket*>(stream->object);
}

} // namespace

extern "C" QUORVEL_API int quorvel_marshal(envelope* stream, const char* format, ...) noexcept
{
    clear_errors();
    socket* s = stream_socket(stream, "quorvel_marshal", 16928, 16951);
    if (s == nullptr)
        return -1;
    va_list args;
    va_start(args, format);
    int result = socket_vmarshal(s, format, args);
    va_end(args);
    return result;
}

extern "C" QUORVEL_API int quorvel_unmarshal(envelope* stream, const char* format, ...) noexcept
{
    clear_errors();
    socket* s = stream_socket(stream, "quorvel_unmarshal", 16985, 17008);
    if (s == nullptr)
        return -1;
    va_list args;
    va_start(args, format);
    int result = socket_vunmarshal(s, format, args);
    va_end(args);
    return result;
}
