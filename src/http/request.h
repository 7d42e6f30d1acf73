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

// Where the header of a direct-mode answer stands.
enum header_state : uint8_t {
    HEADER_NONE = 0, // not written by a direct-mode answer
    HEADER_HELD = 1, // written up to its last line; attributes may still join it
    HEADER_SENT = 2, // ended: attributes can no longer reach the client
};

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
    uint8_t direct;   // a host callback writes its page straight to the connection
    uint8_t header;   // header_state
    char* attributes; // extra response header lines "name: value\r\n"; NULL when none
    void* target;     // file or directory: the local path; function: the uri_record;
                      // stored content: the stored bytes
    char* head;       // the request head as read, split in place by parsing
    const char* path; // the decoded request path (in `head`), as resolution takes it
    char* uri;        // the effective request path
    char* local_path; // file-system path of the resource, or NULL
    buffer* out;      // page text written by host callbacks; NULL until created
    uint32_t kind;    // request_kind
    uint64_t file_size;
    uint8_t file_open; // `file_fd` is an open handle of the resolved file (closed with the record)
    int file_fd;
    int64_t file_mtime;    // of the open file, seconds since 1970
    uint32_t content_size; // stored content (kind 3): its byte count, which may include NULs
    htable* headers;       // header values by upper-cased name, and "QUERY"
    htable* post_vars;     // POST variables by upper-cased name; NULL for other methods
    socket* sock;
    const mime_record* mime;
    server_record* server; // the handler thread's copy
};
static_assert(std::is_trivially_destructible_v<request_data>);

// Reads and parses one request from the accepted connection `s` for the handler whose server
// copy is `server`: the head into `headers`, `path` and the method bits, a POST body into
// `post_vars` (any other body is read and dropped). What the path names is resolved
// afterwards, by map_uri. The head may take at most `limit` bytes; the whole request (head and
// body) must arrive within the request time-out, counted from when the connection's deadline
// was armed (here, unless the socket layer armed it at accept). Returns a record from the
// calling thread's allocation pair, which owns `s` from then on (request_destroy closes it);
// a record marked REQUEST_FAILED is still returned so that its status can be answered. NULL
// when no request could be read, its method is unknown or `limit` is negative (reported):
// nothing has been sent, and `s` stays the caller's.
request_data* http_request(server_record* server, socket* s, int32_t limit);

// The type of the answer: the MIME record's type text, text/html without one.
const char* request_content_type(const request_data* request);

// Releases everything the record holds, the connection included (flushed and closed), and
// clears `*request`. NULL `request` or `*request` is ignored.
void request_destroy(request_data** request);

// The steps of http_request, each usable on its own.

// Reads the head from `s` up to and including the first CR LF CR LF that starts after a
// byte other than CR or LF (or after a rejected group of four such bytes), or `limit` bytes
// when none comes; bytes after it stay on the connection. A zero-terminated text in a block
// of limit + 1 bytes, released with mem_free; NULL (reported) for a NULL socket or
// no memory, and NULL without a line when the connection fails, closes or runs out of time.
char* read_http_header(socket* s, uint32_t limit);

// Splits the head text in place: method, path and query from the request line, and the
// header lines into a new `headers` table of the record. On success `*path` points into
// `header` (decoded, query cut off) and `*content_length` is the body length, 0 for none.
// Conflicting Content-Length values mark the record REQUEST_FAILED with STATUS_BAD_REQUEST
// and still return 0. -1 for a NULL argument, an unknown method (reported) or no memory
// (reported); `headers` may then exist and is the caller's to destroy.
int parse_request_header(char** path, int64_t* content_length, char* header, request_data* request);

// Stores the header lines at `*cursor` into the record's `headers` under their upper-cased
// names, up to the first line whose name or value is empty, and advances `*cursor`. A header
// named Query is not stored: "QUERY" holds the query string only. Content-Length is taken
// when it is a plain decimal number (trailing blanks allowed); a number too large to hold
// counts as too large for any body. 0, or -1 (reported) when a value cannot be stored.
int parse_http_headers(char** cursor, int64_t* content_length, request_data* request);

// Reads a body of `content_length` bytes: for POST into `post_vars` as "&"-separated
// name=value pairs, each decoded before it is split at its first '=', names upper-cased
// (empty pieces and pieces without '=' are skipped); for other methods read and dropped. A length
// above what the calling thread's heap can hold marks the record REQUEST_FAILED with
// status 14 (500) without reading anything; so do a failed read and no memory. 0; -1
// for no body (nothing marked) or a failure.
int parse_post(request_data* request, int64_t content_length);

// Decodes "+" and %xx escapes in place, scanning up to the first byte that is a blank, a
// control character or above 127; an escape of value 0 or without digits stays as it is,
// and a decoded byte is never decoded again. 0, or -1 (EINVAL) for NULL.
int url_decode(char* s);

struct hex_digits {
    uint32_t value;
    uint32_t count; // digits read: 0, 1 or 2
};
// Reads up to two hexadecimal digits at `s`.
hex_digits hex_value(const char* s);

// The token at `*cursor`: the text up to the first byte of `delimiters`, whose whole run is
// overwritten with zero bytes; `*cursor` moves past the run (or onto the terminator). Leading
// delimiters are not skipped, so a token may be empty. NULL for a NULL cursor or text.
char* next_token(char** cursor, const char* delimiters);

// Upper-cases the ASCII letters of `s` in place; NULL is ignored.
void str_upper(char* s);

} // namespace quorvel
