// The output calls of host code, on a connection (the request a URI function or MIME handler
// answers) or on a stream: here the transfer of whole files.
#include "core/envelope.h"
#include "core/report.h"
#include "foundation/buffer.h"
#include "http/request.h"
#include "net/file_stream.h"
#include "net/socket.h"
#include "quorvel.h"

namespace quorvel {

namespace {

// Page text a callback appended without sending it precedes the file on the wire.
int send_pending_page(request_data* request)
{
    buffer* out = request->out;
    if (out == nullptr || out->data == nullptr || out->write_pos == out->data)
        return 0;
    int rc =
        socket_snd(request->sock, out->data, static_cast<uint32_t>(out->write_pos - out->data));
    buffer_clr(out);
    return rc < 0 ? -1 : 0;
}

int stream_on_connection(request_data* request, const char* path, int flags)
{
    if (send_pending_page(request) != 0)
        return -1;
    if (flags & QUORVEL_STREAM_ENCODE)
        return quorvel_file_uuencode(request->sock, path);
    return socket_streamfile(request->sock, path, 0);
}

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
        return stream_on_connection(static_cast<request_data*>(object->object), path, flags);
    case quorvel_obj_stream:
        return stream_on_socket(static_cast<socket*>(object->object), path, length, flags);
    default:
        report("quorvel_file_stream", 16463, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
}
