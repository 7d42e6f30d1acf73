// The directory listing page written onto a connection: sortable column titles, the parent
// row, one row per entry and the footer.
#pragma once

namespace quorvel {

struct dir_entry;
struct request_data;
struct socket;

// Sends the listing of the directory at `path` on the request's connection. The sort order
// comes from the first two characters of the request's query ("na" when there is none: name
// ascending; 's' size, 'm' time; a second character 'm' descends); the column links toggle
// the direction. Links and the title are relative to the server copy's root ("ROOT" at the
// root); the title and the names are HTML-escaped, the links percent-encoded; names
// beginning with ".ht" and the dot entries are not listed; the page declares UTF-8. The bytes
// sent are added to the request's `body_bytes`. The result of the footer's send
// (above 0), or -1: a NULL argument, a directory that cannot be read, no memory (all
// reported) or a failed send (the page stays unterminated).
int stream_http_dir(request_data* request, const char* path);

// Sends the row of `entry` below the directory `relative` to the root ("" at the root; '\'
// read as '/'): link percent-encoded, name HTML-escaped, a directory's name in brackets,
// then its size and date texts. Rows have no length limit. The result of the last send
// (above 0), or -1: a NULL argument or a failed send.
int stream_http_dir_row(socket* connection, const dir_entry* entry, const char* relative);

} // namespace quorvel
