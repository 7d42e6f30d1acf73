// Reading a request for the host functions that answer it.
#pragma once

namespace quorvel {

struct request_data;

// Copies the value of the header line `name` (any case; "QUERY" is the query string) or of
// the POST variable `name` into `out`, which is zero-filled to `size` first and always keeps
// room for a terminator. 0; -1 when absent (also without a POST body) or for NULL arguments;
// the value's size when it does not fit.
int request_header(const request_data* request, const char* name, char* out, int size);
int request_post(const request_data* request, const char* name, char* out, int size);

// The stored POST variable `name` in place: 0 with `*value` and `*size` set (valid while the
// request lives), -1 when absent; -1 (EINVAL, 160) for NULL arguments.
int request_post_ref(const request_data* request, const char* name, char** value, unsigned* size);

// Which of the request's paths request_get_path copies: the effective URI or the local path,
// whole or up to its last '/' ("/" when that is the first character).
enum class request_path { uri, uri_path, local_url, local_url_path };

// Copies that path into `out` of `size` bytes: 0; -1 (EINVAL, 160) when there is none or `out`
// is NULL; -1 (ENOMEM, with a line) with `out` emptied when it does not fit with its terminator.
int request_get_path(const request_data* request, request_path which, char* out, int size);

} // namespace quorvel
