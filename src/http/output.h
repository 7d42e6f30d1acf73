// The output of host functions on the connection whose request they answer.
#pragma once

namespace quorvel {

struct request_data;

// Sends the file at `path` on the request's connection, after the page text the function has
// appended and not sent yet: as HTML-safe lines with QUORVEL_STREAM_ENCODE, else the whole
// file with the system's file transmission. 0, or -1 as socket_streamfile or
// quorvel_file_uuencode fail.
int request_file_stream(request_data* request, const char* path, int flags);

} // namespace quorvel
