/*
 * Quorvel: an embeddable, multi-threaded HTTP/1.0 server library with a C interface.
 *
 * Every object is reached through an envelope handle made by quorvel_obj_create and
 * released by quorvel_obj_destroy. Calls return 0 (or a pointer) on success and -1 (or
 * NULL) on failure; a failure also sets errno and the thread's last-error code
 * (quorvel_last_error) and writes one line to the error log, the first log object made.
 *
 * Variadic calls read each argument with the exact type documented here and only the
 * arguments their tag or attribute uses. Pass pointer arguments as NULL, never as 0.
 */
#ifndef QUORVEL_H
#define QUORVEL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUORVEL_API __attribute__((visibility("default")))
#else
#define QUORVEL_API
#endif

#ifdef __cplusplus
#define QUORVEL_NOEXCEPT noexcept
#else
#define QUORVEL_NOEXCEPT
#endif

/* The handle of every object. */
typedef struct envelope envelope;

/* A thread record, handed to thread functions as their first argument. */
typedef struct quorvel_thread quorvel_thread;

/* Object type tags (quorvel_obj_create, envelope types). */
enum {
    quorvel_obj_server = 0,
    quorvel_obj_mutex = 1,
    quorvel_obj_event = 2,
    quorvel_obj_thread = 3,
    quorvel_obj_connection = 4,
    quorvel_obj_buffer = 5,
    quorvel_obj_log = 6,
    quorvel_obj_stream = 7,
    quorvel_obj_protocol = 8,
    quorvel_obj_sys = 10,
    quorvel_obj_worker = 12
};

/* Attribute numbers of quorvel_obj_set and quorvel_obj_get. */
enum {
    quorvel_attrib_header = 0,
    quorvel_attrib_post = 1,
    quorvel_attrib_mime = 2,
    quorvel_attrib_index = 4,
    quorvel_attrib_cache = 5,
    quorvel_attrib_ssi = 6,
    quorvel_attrib_tcpbuffsize = 7,
    quorvel_attrib_threadheap = 8,
    quorvel_attrib_listener = 10,
    quorvel_attrib_ssl = 11,
    quorvel_attrib_dirlist = 12,
    quorvel_attrib_bubbles = 13,
    quorvel_attrib_cookie = 14,
    quorvel_attrib_uri = 15,
    quorvel_attrib_uri_content = 16,
    quorvel_attrib_uri_cache = 17,
    quorvel_uri_path = 18,
    quorvel_attrib_local_url = 19,
    quorvel_attrib_local_url_path = 20,
    quorvel_attrib_post_ref = 21,
    quorvel_attrib_afipv = 22,
    /* System object: overall deadline in seconds for reading one request (default 10). */
    quorvel_attrib_request_timeout = 23,
    /* Server: a1 port, a2 numeric address text; a listener bound to that address only. */
    quorvel_attrib_listener_addr = 24,
    /* Server, get: a1 milliseconds to wait; 0 serving, 1 failed, 2 still starting. */
    quorvel_attrib_status = 25
};

/* HTTP methods and URI encodings. */
#define QUORVEL_POST 1
#define QUORVEL_GET 2
#define QUORVEL_HEAD 4
#define QUORVEL_ENC_TEXT 1
#define QUORVEL_ENC_BINARY 0

/* Selector bits of quorvel_file_stream. */
#define QUORVEL_STREAM_ENCODE 0x02
#define QUORVEL_STREAM_TRANSMIT 0x08
#define QUORVEL_STREAM_SEND 0x10

/* Property types of bubble registration records. */
#define QUORVEL_PROP_PROTOCOL 0x08
#define QUORVEL_PROP_MIME 0x10
#define QUORVEL_PROP_URI 0x20

/* Socket option and state bits; SOCK_SET and SOCK_CLR are attribute values. The
 * non-blocking bit (0x8000) is internal to the library and not defined here. */
#define SOCK_SET 1
#define SOCK_CLR 0
#define SOCK_IPV6 0x00000001
#define SOCK_PL_RESTRICTED 0x00000002
#define SOCK_PL_EDGE 0x00000004
#define SOCK_PL_UNRESTRICTED 0x00000008
#define SOCK_IPV4 0x00000010
#define SOCK_REUSEADDR 0x00000020
#define SOCK_SNDBUF 0x00000040
#define SOCK_RCVBUF 0x00000080
#define SOCK_NAGLE 0x00001000
#define SOCK_BUFFERED 0x00002000
#define SOCK_TIMEOUT 0x00004000
#define SOCK_OPT16 0x00010000
#define SOCK_LISTENING 0x00020000
#define SOCK_TIMEDOUT 0x00040000
#define SOCK_OUTPUT 0x00080000
#define SOCK_READY 0x00100000
#define SOCK_FAILED 0x00200000
#define SOCK_CONNECTED 0x00400000

/* Callbacks. */
/* Body of a thread object: polls quorvel_thread_continue(thread) and returns once it is
 * non-zero. A body that never polls keeps running after quorvel_obj_destroy. */
typedef void (*quorvel_thread_fn)(quorvel_thread* thread, void* arg);
/* Function mapped to a URI: writes its page to `out`; returns NULL, or an error text made
 * with quorvel_make_return_value. */
typedef char* (*quorvel_uri_fn)(envelope* request, envelope* out);
/* Handler of a MIME type: as a URI function, with the local path of the requested file. */
typedef char* (*quorvel_mime_fn)(envelope* request, envelope* out, const char* target);
/* Handler of a user-defined protocol: called on a connection handler thread with a stream
 * whose next bytes follow the client's "&name;" announcement; reads and writes it with the
 * stream calls and returns 0 on success, non-zero on failure (logged). The library closes the
 * connection afterwards; the stream must not be destroyed or kept. Stopping the server cuts
 * the connection, so a handler blocked on the client returns; one blocked on anything else
 * holds up quorvel_obj_destroy of the server until it returns. */
typedef int (*quorvel_protocol_fn)(envelope* stream);
/* Task of a worker pool. */
typedef void (*quorvel_task_fn)(void* arg);
/* Entry of a bubble: non-zero when the bubble set itself up. */
typedef char (*quorvel_bubble_main_fn)(envelope* server);

/* Library. */
/* Initialises the library; always 0. Call once, before any other call. */
QUORVEL_API int quorvel_init(void) QUORVEL_NOEXCEPT;
/* 0 when quorvel_init has run, -1 otherwise. */
QUORVEL_API int quorvel_isinitialized(void) QUORVEL_NOEXCEPT;
/* Turns debug lines in the error log on (non-zero) or off. */
QUORVEL_API void quorvel_debug(int on) QUORVEL_NOEXCEPT;
/* The system object (library-wide settings), valid for the life of the process. */
QUORVEL_API envelope* quorvel_get_sys(void) QUORVEL_NOEXCEPT;
/* Non-zero once the thread running `thread`'s body has been asked to stop. */
QUORVEL_API char quorvel_thread_continue(quorvel_thread* thread) QUORVEL_NOEXCEPT;
/* A copy of s from the calling thread's allocation pair (NULL for NULL); release it with
 * quorvel_mem_free. */
QUORVEL_API char* quorvel_make_return_value(const char* s) QUORVEL_NOEXCEPT;
/* The calling thread's last-error code: 160 bad argument, 8 out of memory, 19 write
 * protected, 2 not found, 183 already exists, 20 bad handle; 0 after a success. */
QUORVEL_API uint32_t quorvel_last_error(void) QUORVEL_NOEXCEPT;

/* Objects.
 *   quorvel_obj_server: unsigned handler count, const char* root directory (an existing
 *     directory; NULL: the executable's directory). Needs quorvel_init.
 *   quorvel_obj_mutex, quorvel_obj_event: no further arguments.
 *   quorvel_obj_thread: quorvel_thread_fn body, void* argument; the body starts at once.
 *   quorvel_obj_log: const char* file name; the first log made becomes the error log.
 *   quorvel_obj_stream: const char* host (name or numeric address), const char* protocol
 *     (at most 77 characters), int port, int timeout (seconds; below 0 keeps the default of
 *     380). Needs quorvel_init. Connects and announces "&protocol;" to the server; like
 *     all output of a stream, the announcement is buffered and leaves with the first
 *     receive, a full buffer or the destruction. NULL (errno 22) for a NULL host or
 *     protocol or a longer name, NULL when the connection cannot be made. Use a stream from
 *     one thread at a time.
 *   quorvel_obj_protocol: const char* name, quorvel_protocol_fn handler. Registers the handler
 *     of the user-defined protocol `name` (1 to 77 characters, no ';') for every server; a
 *     name registered again takes the new handler. The result is no envelope: (envelope*)1
 *     when registered, NULL when not. Protocols must be registered before the first
 *     quorvel_obj_start of any server: registrations after it fail. */
QUORVEL_API envelope* quorvel_obj_create(unsigned type, ...) QUORVEL_NOEXCEPT;
/* Destroys the object and the envelope; 0 or -1. A stream sends its pending output and
 * closes its connection. A server first stops its threads and waits for them; connections
 * still being served are cut, so this takes well under a second unless a protocol handler
 * is blocked on something other than its connection. */
QUORVEL_API int quorvel_obj_destroy(envelope* object) QUORVEL_NOEXCEPT;
/* Starts a server (tag 0) that has at least one listener and was not started yet: scans its
 * bubble directory, then starts its kernel thread, which binds the listeners and starts the
 * connection handlers; the server then accepts no more attribute changes. 0 once the kernel
 * runs, or -1. Binding happens after the return: read the outcome with quorvel_obj_get and
 * quorvel_attrib_status. A connection that opens with "&name;" is handed to the protocol
 * registered as name, anything else is read as an HTTP request. */
QUORVEL_API int quorvel_obj_start(envelope* object) QUORVEL_NOEXCEPT;

/* Attributes. quorvel_obj_set: 0, or -1 (some attributes give their store's result);
 * refused once the object is started. The arguments after the attribute, by object:
 * Server (quorvel_obj_server):
 *   quorvel_attrib_mime: const char* extension (no dot), const char* type text,
 *     unsigned encoding (QUORVEL_ENC_*), quorvel_mime_fn handler (or NULL).
 *   quorvel_attrib_index: const char* file name (NULL: "/index.html"); a name without a
 *     leading separator gets '/'; at most 79 characters with it.
 *   quorvel_attrib_ssi, quorvel_attrib_dirlist: int on (non-zero) or off.
 *   quorvel_attrib_tcpbuffsize: int bytes, the send and receive buffers of every listener.
 *   quorvel_attrib_listener: int port (1..65534), on every interface.
 *   quorvel_attrib_listener_addr: int port, const char* numeric address ("127.0.0.1",
 *     "::1"): a listener on that address only.
 *   quorvel_attrib_ssl: none.
 *   quorvel_attrib_bubbles: const char* existing directory (NULL: "bubbles" beside the
 *     executable).
 *   quorvel_attrib_uri: int method (QUORVEL_GET or QUORVEL_POST), const char* URI,
 *     int encoding (QUORVEL_ENC_*), quorvel_uri_fn callback.
 *   quorvel_attrib_uri_content: int method (QUORVEL_GET), const char* URI,
 *     const char* content, int copy mode (2: the server keeps a copy; otherwise the text
 *     must stay valid while the server exists).
 *   quorvel_attrib_uri_cache: int method (QUORVEL_GET), const char* URI, const char* file
 *     name relative to the root, int copy mode (ignored: the file is always held in copy).
 *   quorvel_attrib_afipv: unsigned family bits (SOCK_IPV6, SOCK_IPV4), int SOCK_SET or
 *     SOCK_CLR, unsigned IPv6 protection-level bits (SOCK_PL_*; 0 with SOCK_SET: all three).
 * System (quorvel_get_sys()), for what starts afterwards:
 *   quorvel_attrib_tcpbuffsize: int default socket buffer size in bytes (above 0).
 *   quorvel_attrib_threadheap: int thread heap size of connection handlers (above 0).
 *   quorvel_attrib_request_timeout: int seconds (above 0) a client has for one request.
 *   9: none; accepted without effect. */
QUORVEL_API int quorvel_obj_set(envelope* object, int attribute, ...) QUORVEL_NOEXCEPT;
/* quorvel_obj_get: 0 or -1, or the value asked for. The arguments, by object:
 * Connection (quorvel_obj_connection, the request a URI callback receives):
 *   quorvel_attrib_header, quorvel_attrib_post: const char* name (any case), char* out,
 *     int size: the value of the header (or query, "QUERY") or POST variable, zero-filled
 *     to size; -1 when absent, the value's size when it does not fit.
 *   quorvel_attrib_post_ref: const char* name, char** value, unsigned* size: the stored
 *     POST value in place (valid during the callback); -1 when absent.
 *   quorvel_attrib_uri, quorvel_uri_path (the URI up to its last '/'),
 *   quorvel_attrib_local_url, quorvel_attrib_local_url_path (the local path up to its last
 *     '/'): char* out, int size; -1 when there is none or it does not fit with its
 *     terminator (out emptied, errno ENOMEM).
 *   quorvel_attrib_tcpbuffsize: none; the result is the connection's buffer capacity.
 * Stream (quorvel_obj_stream): quorvel_attrib_tcpbuffsize: none; the buffer capacity (0 for
 *   an unbuffered stream).
 * Server: quorvel_attrib_status: int milliseconds to wait (0: none) while the server starts;
 *   0 serving, 1 failed (listeners or handlers could not start), 2 still starting; -1 for a
 *   server never started. */
QUORVEL_API int quorvel_obj_get(envelope* object, int attribute, ...) QUORVEL_NOEXCEPT;

/* Files. On a connection (inside a URI function or MIME handler): QUORVEL_STREAM_ENCODE
 * sends the text file at `path` as HTML-safe lines ("&#n;" references, each line ended by
 * CR LF); otherwise the whole file is sent and `length` is not used. Page text appended but
 * not yet sent goes first. On a stream: QUORVEL_STREAM_ENCODE as above; QUORVEL_STREAM_SEND
 * sends `length` bytes of the file (0: all of it) with the kernel's file transmission when
 * QUORVEL_STREAM_TRANSMIT is also set, else by reading it; without QUORVEL_STREAM_SEND
 * receives exactly `length` bytes (above 0) into `path`, created or truncated, and deletes
 * it again when the receive fails. Sending a file shorter than `length` fails. 0 or -1; a
 * NULL handle or path, or another object type, is refused (EINVAL, 160). SIGPIPE is never
 * raised. */
QUORVEL_API int quorvel_file_stream(envelope* object, const char* path, uint32_t length,
                                    int flags) QUORVEL_NOEXCEPT;

/* Marshalling on a stream (quorvel_obj_stream). Both ends describe a record with the same
 * format string of one-letter identifiers; a checksum of the format precedes the fields, and
 * a receiver whose format differs fails (errno 22) without reading further.
 *   identifier  quorvel_marshal argument     quorvel_unmarshal argument
 *   y           int (1 byte)                 (refused)
 *   s           int (low 16 bits)            int16_t*
 *   i           int32_t                      int32_t*
 *   l           long (low 32 bits sent)      long* (receives the sign-extended 32 bits)
 *   f           double (a float's value)     float*
 *   d           double                       double*
 *   z           const char* (not NULL)       char**: a zeroed block from
 *                                            quorvel_mem_alloc, release with quorvel_mem_free
 * f and d carry zero (a negative zero arrives as +0.0) and normal numbers; a subnormal,
 * infinite or NaN value (for f, also one beyond float's range) is refused (-1, errno 22) and
 * nothing of it is sent. Marshalled bytes leave at the next unmarshal or at destruction, so a
 * request-reply needs no flush.
 * 0, or -1 with errno set (22 for a NULL or non-stream envelope, an unknown identifier or a
 * checksum mismatch; 12 for a received string of 2^31 bytes or more). A receive gives up
 * when no byte arrives for one second. After a failed unmarshal the stream is of no further
 * use for records. Fields received before the failure
 * stay stored; set string pointers to NULL before the call and release every one that is not
 * NULL afterwards, whatever the result. */
QUORVEL_API int quorvel_marshal(envelope* stream, const char* format, ...) QUORVEL_NOEXCEPT;
QUORVEL_API int quorvel_unmarshal(envelope* stream, const char* format, ...) QUORVEL_NOEXCEPT;

/* Memory. Blocks come zero-filled from the calling thread's heap when it has one (release
 * them on that thread), else from the general allocator. */
QUORVEL_API void* quorvel_mem_alloc(uint32_t size) QUORVEL_NOEXCEPT;
QUORVEL_API void quorvel_mem_free(void* block) QUORVEL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_H */
