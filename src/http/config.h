// Configuring a server record before its start. Each setter reports its own failures (the
// lines name the attribute that calls it) and leaves the server as it was when it fails.
#pragma once

#include "quorvel.h"

#include <cstdint>

namespace quorvel {

struct server_record;

// The index file tried for directories: `name` with a leading '/' added when it has none (NULL:
// "/index.html"), at most SERVER_INDEX_SIZE - 1 characters with it. 0 or -1.
int httpsrv_set_index(server_record* server, const char* name);

// The bubble directory scanned at the start: `directory`, which must exist and be a directory
// (NULL: "bubbles" beside the executable). 0 or -1.
int httpsrv_set_bubbles(server_record* server, const char* directory);

// The send and receive buffer sizes of every listener (at least one must exist). 0 or -1.
int httpsrv_set_tcpbuffsize(server_record* server, int32_t size);

// Types files of `extension` as `type` with `encoding`, answered by `handler` when not NULL; a
// row stored again replaces the old one. 0 or -1.
int httpsrv_set_mime(server_record* server, const char* extension, const char* type,
                     uint32_t encoding, quorvel_mime_fn handler);

// Maps `uri` for `method` (QUORVEL_GET or QUORVEL_POST) to `callback`, answering as text/html
// (QUORVEL_ENC_TEXT) or application/octet-stream (QUORVEL_ENC_BINARY). 0 or -1.
int httpsrv_set_uri(server_record* server, int method, const char* uri, int encoding,
                    quorvel_uri_fn callback);

// Answers GET `uri` with `content`: a copy kept by the server when `mode` is 2, else the
// caller's text, which must outlive the server. 0 or -1.
int httpsrv_set_uri_content(server_record* server, int method, const char* uri, const char* content,
                            int mode);

// Answers GET `uri` with a copy of the regular file `file` (relative to the root, which must
// be set), read now. 0 or -1.
int httpsrv_set_uri_cache(server_record* server, int method, const char* uri, const char* file);

// Enables (SOCK_SET) or disables (SOCK_CLR) the address families `families` (SOCK_IPV4,
// SOCK_IPV6) of every listener; `levels` are the IPv6 protection bits, 0 with SOCK_SET for all
// three. 0, or -1 when a listener's change was refused (the others are still made).
int httpsrv_set_afipv(server_record* server, uint32_t families, int mode, uint32_t levels);

} // namespace quorvel
