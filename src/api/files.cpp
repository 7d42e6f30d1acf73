// The file transfer call, on a connection (the request a host function answers) or on a
// stream.
#include "api/envelope.h"
#include "core/report.h"
#include "http/output.h"
#include "net/file_stream.h"
#include "net/uuencode.h"
#include "quorvel.h"

namespace quorvel {

namespace {

int stream_on_socket(socket* s, const char* path, uint32_t length, int flags)
{
    if (flags & QUORVEL_STREAM_ENCODE)
        return quorvel_file_uuencode(s, path);
    if (flags & QUORVEL_STREAM_SEND) {
        if (flags & QUORVEL_STREAM_TRANSMIT)
            return socket_streamfile(s, path, length);
        return socket_stream_file(s, path, length);
    }
    return socket_receivefile(s, path, length);
}

} // namespace

} // namespace quorvel

using namespace quorvel;

extern "C" QUORVEL_API int quorvel_file_stream(envelope* object, const char* path, uint32_t length,
                                               int flags) noexcept
{
    clear_errors();
    if (object == nullptr || object->object == nullptr || path == nullptr) {
        report("quorvel_file_stream", 16417, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    switch (object->type) {
    case quorvel_obj_connection:
        return request_file_stream(static_cast<request_data*>(object->object), path, flags);
    case quorvel_obj_stream:
        return stream_on_socket(static_cast<socket*>(object->object), path, length, flags);
    default:
        report("quorvel_file_stream", 16463, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
}
