// Calls into host code. A host function receives its request or stream as an envelope, the
// handle type of the exported interface; the exported-call layer defines these calls, so the
// server never builds a handle itself.
#pragma once

#include "quorvel.h"

namespace quorvel {

struct buffer;
struct request_data;
struct socket;

// Runs the URI function `fn` for `request`, with one connection handle as both its request
// and its output: the error text it returns (from the allocation pair), or NULL.
char* host_call_uri(quorvel_uri_fn fn, request_data* request);

// Runs the MIME handler `fn` for `request` and the local path `target` it answers.
char* host_call_mime(quorvel_mime_fn fn, request_data* request, const char* target);

// Runs the URI function `fn` for `request` with its output captured: it gets the request
// handle and a buffer handle through which quorvel_printf appends to `*out` (made by the first
// text, so NULL while nothing was printed; the caller releases it). The error text it returns
// (from the allocation pair), or NULL.
char* host_call_uri_to(quorvel_uri_fn fn, request_data* request, buffer** out);

// Runs the MIME handler `fn` for `request` and `target` with its output captured in `*out`, as
// host_call_uri_to does.
char* host_call_mime_to(quorvel_mime_fn fn, request_data* request, buffer** out,
                        const char* target);

// Runs the protocol function `fn` on the connection `stream`, handed over as a stream: its
// result (0 for success).
int host_call_protocol(quorvel_protocol_fn fn, socket* stream);

} // namespace quorvel
