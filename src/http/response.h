// Building the HTTP/1.0 answer to one request: the error-page writer, and http_responce,
// which picks the answer (304, error page, host callback, stored content, file or listing)
// and writes it.
#pragma once

#include <cstdint>

namespace quorvel {

struct request_data;

// Writes the whole answer to `request` on its connection, through the connection's send
// buffer, and leaves the connection to the caller's request_destroy, whose close ends every
// body sent without a Content-Length. A mapped function or MIME handler (direct mode) runs
// here, on the calling thread, with a connection handle that is valid only during the call;
// an error text it returns must come from quorvel_mem_alloc (quorvel_make_return_value) and
// is freed here after its 500 page has been written. HEAD gets the header lines a GET would
// get and no body; a failed request gets its status page. 0 when the answer was written; -1
// for a NULL request (reported), a failed send (the partial answer stays for the close), or
// a MIME handler that returned an error text (its page is still sent).
int http_responce(request_data* request);

// Discards what is still unsent in the connection's buffer, then writes the status page of
// `index` (an index outside the table counts as 14), or with a `message` the 500 page with
// the message in red, with Date, Server, Content-Type, an exact Content-Length and
// "Connection: close"; index 17 also gets its WWW-Authenticate challenge. A HEAD request gets
// the header alone. Does not flush. The result of the last send (at least 0), or -1 for a
// failed send or a request without a connection (EINVAL, 160).
int send_error_page(request_data* request, uint32_t index, const char* message);

} // namespace quorvel
