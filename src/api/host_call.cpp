// The handles host functions receive: envelopes on the caller's stack, valid only during the
// call.
#include "http/host_call.h"
#include "api/envelope.h"

namespace quorvel {

char* host_call_uri(quorvel_uri_fn fn, request_data* request)
{
    envelope handle{quorvel_obj_connection, request, 0};
    return fn(&handle, &handle);
}

char* host_call_mime(quorvel_mime_fn fn, request_data* request, const char* target)
{
    envelope handle{quorvel_obj_connection, request, 0};
    return fn(&handle, &handle, target);
}

// The output handle of a capture wraps the address of the buffer pointer, so the first text
// printed through it can make the buffer.
char* host_call_uri_to(quorvel_uri_fn fn, request_data* request, buffer** out)
{
    envelope handle{quorvel_obj_connection, request, 0};
    envelope capture{quorvel_obj_buffer, out, 0};
    return fn(&handle, &capture);
}

char* host_call_mime_to(quorvel_mime_fn fn, request_data* request, buffer** out, const char* target)
{
    envelope handle{quorvel_obj_connection, request, 0};
    envelope capture{quorvel_obj_buffer, out, 0};
    return fn(&handle, &capture, target);
}

int host_call_protocol(quorvel_protocol_fn fn, socket* stream)
{
    envelope handle{quorvel_obj_stream, stream, 0};
    return fn(&handle);
}

} // namespace quorvel
