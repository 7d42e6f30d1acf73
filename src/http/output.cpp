// The output of host functions on the connection they answer: here the transfer of whole
// files, after the page text the function has written so far.
#include "http/output.h"

#include "foundation/buffer.h"
#include "http/request.h"
#include "net/file_stream.h"
#include "net/socket_io.h"
#include "net/uuencode.h"
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

} // namespace

int request_file_stream(request_data* request, const char* path, int flags)
{
    if (send_pending_page(request) != 0)
        return -1;
    if (flags & QUORVEL_STREAM_ENCODE)
        return quorvel_file_uuencode(request->sock, path);
    return socket_streamfile(request->sock, path, 0);
}

} // namespace quorvel
