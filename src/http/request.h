// The request record of one HTTP exchange, and the reading and parsing of a request from an
// accepted connection into it.
#pragma once

#include <cstdint>
#include <string_view>
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
    // For the access log, kept only while it is on: the request line as it arrived and the
    // user Basic authentication admitted (NULL when none).
    char* request_line;
    char* user;
    uint16_t answer_code; // the status code of the answer written; 0 while none is
    uint64_t body_bytes;  // the body bytes of that answer (what a HEAD answer would carry: 0)
};
static_assert(std::is_trivially_destructible_v<request_data>);

// Reads and parses one request from the accepted connection `s` for the handler whose server
// copy is `server`: the head into `headers`, `path` and the method bits, a POST body into
// `post_vars` (any other body is read and dropped). What the path names is resolved
// afterwards, by map_uri. The head may take at most `limit` bytes; the whole request (head and
// body) must arrive within the request time-out, counted from when the connection's deadline
// was armed (here, unless the socket layer armed it at accept). Returns a record from the
// calling thread's allocation pair, which owns `s` from then on (request_destroy closes it);
// a record marked REQUEST_FAILED is still returned so that its status can be answered (405
// for an unknown method, 400 for a request line without method or path or a malformed
// length of a POST body). NULL when no request could be read, memory ran out or `limit` is
// negative (reported): nothing has been sent, and `s` stays the caller's.
request_data* http_request(server_record* server, socket* s, int32_t limit);

// A record for a request that could not be read, to answer with the status page of `status`
// (a STATUS_* index): marked REQUEST_FAILED, no method, no head. It owns `s` as http_request's
// record does. NULL (reported) when memory runs out.
request_data* request_refused(server_record* server, socket* s, uint32_t status);

// True for a HEAD request: answered with the header GET would get, without a body.
inline bool request_is_head(const request_data* request)
{
    return (request->flags & ~REQUEST_FAILED) == REQUEST_HEAD;
}

// The type of the answer: the MIME record's type text, text/html without one.
const char* request_content_type(const request_data* request);

// Releases everything the record holds, the connection included (flushed and closed), and
// clears `*request`. NULL `request` or `*request` is ignored.
void request_destroy(request_data** request);

// The steps of http_request, each usable on its own.

// Recognises the end of a request head fed to it byte by byte: the empty line behind the
// last header line, whose line ends may be CR LF or a bare LF ("\r\n\r\n", "\n\n" and
// "\n\r\n" each end a head). Starts zeroed.
struct head_end {
    uint8_t state; // 0 within a line, 1 after a line feed, 2 after a line feed and a CR

    // True when `c` completes the end.
    bool take(char c)
    {
        if (c == '\n') {
            if (state != 0)
                return true;
            state = 1;
            return false;
        }
        state = c == '\r' && state == 1 ? 2 : 0;
        return false;
    }
};

// A Content-Length kept as this is too large for any body; one that is empty, negative or not
// a number is malformed.
inline constexpr int64_t LENGTH_TOO_LARGE = INT64_MAX;
inline constexpr int64_t LENGTH_MALFORMED = -1;

// The body length a complete head announces, found as parse_request_header finds it (header
// lines up to the first with an empty name or value; bytes from a NUL on are not seen): 0
// for none, LENGTH_MALFORMED for a malformed value or for two that differ, LENGTH_TOO_LARGE.
// For whoever must know how much of a request is still to come before it is parsed.
int64_t head_content_length(std::string_view head);

// Reads the head from `s` up to and including its end (head_end), or `limit` bytes when
// none comes; bytes after it stay on the connection. A zero-terminated text in a block
// of limit + 1 bytes, released with mem_free; NULL (reported) for a NULL socket or
// no memory, and NULL without a line when the connection fails, closes or runs out of time.
char* read_http_header(socket* s, uint32_t limit);

// Splits the head text in place: method, path and query from the request line, and the
// header lines into a new `headers` table of the record. On success `*path` points into
// `header` (decoded, query cut off) and `*content_length` is the body length, 0 for none.
// The target is decoded before it is split at its first '?' (so %3F splits too); '+' is a
// blank only in the query. A request that cannot be served is still parsed whole and returns
// 0, marked REQUEST_FAILED with the status of its first fault: a request line without a
// method or a path (STATUS_BAD_REQUEST), an unknown method (STATUS_METHOD_NOT_ALLOWED,
// reported; no method bit is set), or a Content-Length as parse_http_headers refuses it.
// -1 for a NULL argument or no memory (reported); `headers` may then exist and is the
// caller's to destroy.
int parse_request_header(char** path, int64_t* content_length, char* header, request_data* request);

// Stores the header lines at `*cursor` into the record's `headers` under their upper-cased
// names, up to the first line whose name or value is empty, and advances `*cursor`. A header
// named Query is not stored: "QUERY" holds the query string only. Content-Length is taken
// when it is a plain decimal number (trailing blanks allowed); a number too large to hold
// counts as too large for any body. Two values that differ, and on a POST (the record's
// method bit) a value that is negative, not a number or empty (the line that ends the header
// being a Content-Length with no value, when no other came before), mark the record
// REQUEST_FAILED with STATUS_BAD_REQUEST and leave `*content_length` 0; other methods take
// such a value as no body. `*content_length` is 0 for a record marked failed, else what
// head_content_length finds in the same head (0 where that is LENGTH_MALFORMED). 0, or -1
// (reported) when a value cannot be stored.
int parse_http_headers(char** cursor, int64_t* content_length, request_data* request);

// Reads a body of `content_length` bytes: for POST into `post_vars` as "&"-separated
// name=value pairs, each decoded before it is split at its first '=', names upper-cased
// (empty pieces and pieces without '=' are skipped); for other methods read and dropped. A length
// above the request buffer (settings.h) marks the record REQUEST_FAILED with status 14 (500)
// without reading anything; so do a failed read and no memory. 0; -1
// for no body (nothing marked) or a failure.
int parse_post(request_data* request, int64_t content_length);

// Decodes form text in place: "+" as a blank and %xx escapes, scanning up to the first byte
// that is a blank, a control character or above 127; an escape of value 0 or without digits
// stays as it is, and a decoded byte is never decoded again (%2B stays '+'). 0, or -1
// (EINVAL) for NULL.
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
