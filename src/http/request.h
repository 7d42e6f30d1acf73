// The request record of one HTTP exchange, and the reading and parsing of a request from an
// accepted connection into it.
#pragma once

#include <cstdint>
#include <type_traits>

namespace quorvel {

struct buffer;
struct htable;
struct mime_record;
struct server_record;
struct socket;

// Method bits of request_data::flags (exactly one after a successful parse) and the failure
// bit, set together with `status`.
inline constexpr uint32_t REQUEST_POST = 1;
inline constexpr uint32_t REQUEST_GET = 2;
inline constexpr uint32_t REQUEST_HEAD = 4;
inline constexpr uint32_t REQUEST_FAILED = 8;

// What the request path named.
enum request_kind : uint32_t {
    KIND_FILE = 0,
    KIND_DIRECTORY = 1,
    KIND_FUNCTION = 2, // a URI mapped to a host function
    KIND_CONTENT = 3,  // a URI mapped to stored content
};

struct request_data {
    uint32_t flags;
    uint32_t status; // index into the status table; 0 unless REQUEST_FAILED
    uint8_t no_mime_handler;
    uint8_t direct; // a host callback writes its page straight to the connection
    char* attributes; // extra response header lines "name: value\r\n"; NULL when none
    void* target;     // file or directory: the local path; function: the uri_record;
                      // stored content: the stored bytes
    char* uri;        // the effective request path
    char* local_path; // file-system path of the resource, or NULL
    buffer* out;      // page text written by host callbacks; NULL until created
    uint32_t kind;    // request_kind
    uint64_t file_size;
    htable* headers;   // header values by upper-cased name, and "QUERY"
    htable* post_vars; // POST variables by upper-cased name; NULL for other methods
    socket* sock;
    const mime_record* mime;
    server_record* server; // the handler thread's copy
};
static_assert(std::is_trivially_destructible_v<request_data>);

} // namespace quorvel
