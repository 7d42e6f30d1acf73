/*
 * Quorvel: an embeddable, multi-threaded HTTP/1.0 server library with a C interface.
 *
 * Every object is reached through an envelope handle made by quorvel_obj_create and
 * released by quorvel_obj_destroy. Calls return 0 (or a pointer) on success and -1 (or
 * NULL) on failure. Unless a contract below says otherwise, a failing call writes one line
 * "error (function, id): text" to the error log (the first log object made; the line is
 * dropped while there is none), sets errno and sets the calling thread's last-error code
 * (quorvel_last_error, QUORVEL_LAST_*); calls that can fail clear both on entry.
 *
 * quorvel_init must come before creating a server, mutex, event, stream or protocol
 * registration. Log and thread objects, the system settings, the memory calls and the small
 * library calls work before it, so a host usually makes its log first: the log then also
 * receives the lines of everything that follows.
 *
 * Variadic calls read each argument with the exact type documented here and only the
 * arguments their tag or attribute uses. Pass pointer arguments as NULL, never as 0.
 *
 * Every call may be made from any thread unless its contract restricts it. Host callbacks
 * (URI functions, MIME handlers, protocol handlers) run on a server's connection handler
 * threads, several at a time.
 *
 * Entries marked "(not built yet: ...)" are part of the interface but their feature is not
 * implemented in this version; the mark says what happens today.
 */
#ifndef QUORVEL_H
#define QUORVEL_H

#include <stdint.h>

/* The library version; QUORVEL_VERSION_STRING is "MAJOR.MINOR.PATCH" of the numbers. */
#define QUORVEL_VERSION_MAJOR 0
#define QUORVEL_VERSION_MINOR 9
#define QUORVEL_VERSION_PATCH 0
#define QUORVEL_VERSION_STRING "0.9.0"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUORVEL_API __attribute__((visibility("default")))
/* Lets the compiler check the arguments of the printf-like calls. */
#define QUORVEL_PRINTF(string_index, first_to_check)                                               \
    __attribute__((format(printf, string_index, first_to_check)))
#else
#define QUORVEL_API
#define QUORVEL_PRINTF(string_index, first_to_check)
#endif

#ifdef __cplusplus
#define QUORVEL_NOEXCEPT noexcept
#else
#define QUORVEL_NOEXCEPT
#endif

/* The handle of every object. Opaque; compare handles, never look inside. */
typedef struct envelope envelope;

/* A thread record, handed to thread functions as their first argument. It stays valid
 * while the body runs. */
typedef struct quorvel_thread quorvel_thread;

/* Object type tags: the first argument of quorvel_obj_create, followed by the arguments
 * listed at each tag. A created object is the caller's; release it with quorvel_obj_destroy
 * (unless its entry says otherwise). */
enum {
    /* An HTTP server. Create: unsigned handler count (connection handler threads, 1 or more;
     * at start it is cut to the number of processors; 0 starts none, so nothing is
     * answered), const char* root directory (an existing directory; a relative path starts
     * at the working directory; NULL: the executable's directory). Needs quorvel_init. NULL
     * (EINVAL) for a root that is missing or not a directory. Writes "root directory set to
     * ..." to the error log. Configure it with quorvel_obj_set from one thread, then start
     * it once with quorvel_obj_start. Never destroy it from one of its own callbacks. */
    quorvel_obj_server = 0,
    /* A mutex: quorvel_mutex_lock, quorvel_mutex_unlock. Create: no further arguments.
     * Needs quorvel_init. Destroying it waits until no thread holds it. */
    quorvel_obj_mutex = 1,
    /* An auto-reset event (a successful wait consumes the signal): quorvel_event_set,
     * quorvel_event_wait, quorvel_event_waittimed. Create: no further arguments. Needs
     * quorvel_init. */
    quorvel_obj_event = 2,
    /* A thread. Create: quorvel_thread_fn body (not NULL, else EINVAL), void* argument. The
     * body runs on a new thread, started before the call returns; works before
     * quorvel_init. Destroying it asks the body to stop and waits up to 500 ms for it to
     * return; a body that has not returned by then is left running on its own. */
    quorvel_obj_thread = 3,
    /* The request handed to a URI function or MIME handler: read it with quorvel_obj_get,
     * set response header lines and cookies with quorvel_obj_set, write the page with the
     * output calls (quorvel_printf, quorvel_uprintf, quorvel_put, quorvel_putf) and
     * quorvel_file_stream. Made by the library for the duration of one callback, on that
     * callback's thread; cannot be created, destroyed (EINVAL) or kept. */
    quorvel_obj_connection = 4,
    /* Output captured inside a server-side include: the `out` handle a mapped function or
     * MIME handler receives when an #include directive calls it (its `request` handle is
     * the connection as usual). quorvel_printf appends to it; quorvel_put, quorvel_putf and
     * quorvel_uprintf refuse it (EINVAL). The text is then processed for directives, #exec
     * excepted. Made by the library for the duration of one callback; quorvel_obj_create
     * refuses the tag (EINVAL). */
    quorvel_obj_buffer = 5,
    /* A log file. Create: const char* file name, created when missing; works before
     * quorvel_init. Each line is appended as "[dd/Mon/yyyy:hh:mm:ss] - text" with one write,
     * by opening the file for that line, so the file may be moved or removed meanwhile.
     * The name "-" is the process's standard error, descriptor 2 itself, never reopened by
     * a path: lines reach whatever it is (terminal, pipe, file) as they are written. NULL
     * (EINVAL) for a NULL name; NULL (EACCES, QUORVEL_LAST_WRITE_PROTECT) when the file
     * cannot be opened for appending, or for "-" when descriptor 2 is not open for writing.
     * The first log made becomes the error log; destroying it (safe while other threads are
     * writing lines) leaves none until the next log is made. */
    quorvel_obj_log = 6,
    /* A client connection for a user-defined protocol. Create: const char* host (name or
     * numeric address), const char* protocol (1 to 77 characters), int port, int timeout
     * (seconds a send or a receive may wait; below 0 keeps the default of 380; 0 leaves no
     * time, so every receive fails). Needs quorvel_init. Connects and announces
     * "&protocol;"; like all output of a stream, the announcement is buffered and leaves
     * with the first receive, a full buffer or the destruction. NULL (EINVAL) for a NULL
     * host or protocol or a longer name; NULL when the connection cannot be made. Destroying
     * it sends pending output and closes the connection. Use a stream from one thread at a
     * time. Protocol handlers receive a stream of the server side of such a connection;
     * that one is the library's (see quorvel_protocol_fn). */
    quorvel_obj_stream = 7,
    /* Registration of a user-defined protocol for every server. Create: const char* name
     * (1 to 77 characters, no ';'), quorvel_protocol_fn handler (not NULL). Needs
     * quorvel_init. A name registered again takes the new handler. The result is no
     * envelope: (envelope*)1 when registered, NULL when not; pass it to no other call and
     * never destroy it. Registrations must come before the first quorvel_obj_start of any
     * server: later ones fail. */
    quorvel_obj_protocol = 8,
    /* The system object (quorvel_get_sys): library-wide settings, set with quorvel_obj_set.
     * Made by the library; cannot be created or destroyed (EINVAL). */
    quorvel_obj_sys = 10,
    /* A worker task pool: tasks submitted with quorvel_worker_task from any thread run one
     * after another, in submission order, on the pool's own thread. Create: unsigned heap size
     * (the worker thread's heap for quorvel_mem_alloc in tasks; 0 or too large: the general
     * allocator), unsigned slot count (1 to 2^31 - 1; else NULL, EINVAL). The queue is linear:
     * once its last slot is filled, submissions answer 2 until the worker has emptied it.
     * Destroying it drops the tasks still queued (their argument copies freed) and waits up to
     * 500 ms for the running task; one still running then finishes on its own (nothing it
     * uses is freed before it returns), so a host that must not lose work waits for its queue
     * to drain first (for example with a last task that sets an event). */
    quorvel_obj_worker = 12
};

/* Attribute numbers of quorvel_obj_set and quorvel_obj_get, with the arguments that follow
 * the attribute, per call and object type. An attribute not listed for a call and object
 * type is refused (-1, EINVAL). */
enum {
    /* get, connection: const char* name (any case, cut to 255 characters; "QUERY" gives the
     *   query string), char* out, int size. Copies the request header's value, terminated,
     *   into out zero-filled to size: 0. -1 with errno 0 and no line when there is no such
     *   header; the value's length (size must exceed it) when it does not fit (ENOSPC,
     *   QUORVEL_LAST_NOT_ENOUGH_MEMORY); -1 (EINVAL) for a NULL name or out or a size below 2.
     * set, connection: const char* name, const char* value. Adds the response header line
     *   "name: value". Lines go out with the header, which waits for the page's first bytes
     *   to leave (or the callback to return): after that the line is refused (-1, EINVAL,
     *   with a line). A "Content-Type" line replaces the type the mapping would send. 0; -1 for a
     * NULL argument, an empty name, or a CR or LF in the name or the value (EINVAL, with a line).
     */
    quorvel_attrib_header = 0,
    /* get, connection: as quorvel_attrib_header, for a URL-decoded POST variable; also -1
     *   with errno 0 for a request that carries no POST body. */
    quorvel_attrib_post = 1,
    /* set, server: const char* extension (no dot; exact and case-sensitive), const char*
     *   type (the Content-Type text), unsigned encoding (QUORVEL_ENC_*, stored with the row),
     *   quorvel_mime_fn handler or NULL. Adds or replaces the row of that extension, built-in
     *   rows included; the texts are copied. 0 or -1. */
    quorvel_attrib_mime = 2,
    /* set, server: const char* file name, or NULL for "/index.html": the file answering a
     *   request for "/" (other directories are listed or refused, see quorvel_attrib_dirlist,
     *   or answered with it too, see quorvel_attrib_dir_index).
     *   A name without a leading '/' gets one; '\' becomes '/'. Refused (EINVAL) beyond 79
     *   characters with the '/'. Copied. 0 or -1. */
    quorvel_attrib_index = 4,
    /* set, connection: int seconds. Adds "Cache-Control: max-age=SECONDS, must-revalidate"
     *   as quorvel_attrib_header adds a line. 0 or -1. */
    quorvel_attrib_cache = 5,
    /* set, server: int on (non-zero) or off (the default): content stored for a URI
     *   (quorvel_attrib_uri_content, quorvel_attrib_uri_cache) whose MIME type text is exactly
     *   "text/html" is built through server-side includes on every request for it: #include
     *   file= (relative to the including file, or to the stored page's directory) and
     *   virtual= (a mapped function's or MIME handler's output, stored content, or a file
     *   under the root), #exec cmd= (run through /bin/sh as the server's user, output
     *   HTML-escaped; refused in the output of host functions), #echo var= (HTML-escaped),
     *   #set var= value=, #if/#elif expr=, #else, #endif. Files served from the root are never
     *   processed. Includes and conditionals nest at most 16 levels. A failing directive
     *   answers with the page "quorvel error: invalid ssi instruction" showing its line; a
     *   virtual= path that does not resolve answers with that path's status. 0. */
    quorvel_attrib_ssi = 6,
    /* set, server: int bytes: the send and receive buffer size of every listener added so
     *   far, which also sizes the buffers of the connections they accept; 0 or -1 returns
     *   them to the system default. 0; -1 when the server has no listener yet.
     * set, system: int bytes above 0 (else -1, EINVAL): the default buffer size of sockets
     *   bound or connected afterwards without a size of their own (66560 until changed). 0.
     * get, connection or stream: no further arguments. The result is the connection's
     *   buffer capacity in bytes (0 for an unbuffered one). */
    quorvel_attrib_tcpbuffsize = 7,
    /* set, system: int bytes above 0 (else -1, EINVAL): the thread heap of connection
     *   handlers started afterwards (262144 until changed); a quarter of it bounds a request
     *   head. 0. */
    quorvel_attrib_threadheap = 8,
    /* set, server: int port (1 to 65534, else -1, EINVAL): a listener on every interface,
     *   IPv6 and IPv4, bound when the server starts. 0 or -1. */
    quorvel_attrib_listener = 10,
    /* set, server: no further arguments. 0.
     * (not built yet: accepted without effect; no connection uses SSL.) */
    quorvel_attrib_ssl = 11,
    /* set, server: int on (non-zero) or off (the default): a request for a directory, or for
     *   "/" when the index file is missing, is answered with a listing instead of 404. 0. */
    quorvel_attrib_dirlist = 12,
    /* set, server: const char* existing directory ('\' becomes '/'), or NULL for "bubbles"
     *   beside the executable: the directory scanned for bubble files (names holding
     *   ".bbl") by quorvel_obj_start. Copied. -1 (EINVAL) for a missing directory or a file.
     *   0 or -1.
     *   The start loads every file found there (quorvel_bubble_load); one that does not load
     *   is reported ("could not load bubble NAME") and the start goes on. */
    quorvel_attrib_bubbles = 13,
    /* set, connection: const char* name, const char* value, const char* domain (or NULL),
     *   int secure (non-zero adds "; secure"), int lifetime (seconds; above 0 adds an
     *   "expires=" date that far ahead). Adds "Set-Cookie: name=value; [expires=...; ]path=/
     *   [; domain=...][; secure]" as quorvel_attrib_header adds a line. 0; -1 for a NULL name
     *   or value, a cookie longer than 1023 characters, or as quorvel_attrib_header.
     * get, connection: const char* name, char* out, int size. The value of the request's
     *   cookie named exactly `name` (everything after its first '='), terminated, into out,
     *   emptied first: 0; -1 when there is none (or for NULL arguments); -(n + 1) when its n
     *   bytes do not fit with the terminator (out left empty). No line either way. */
    quorvel_attrib_cookie = 14,
    /* set, server: int method (QUORVEL_GET or QUORVEL_POST), const char* URI, int encoding
     *   (QUORVEL_ENC_TEXT: answered as text/html; QUORVEL_ENC_BINARY: as
     *   application/octet-stream), quorvel_uri_fn callback (not NULL). Maps requests of that
     *   method for the URI to the callback; the same URI again takes the new callback. The
     *   URI is a request path ("/page") or a pattern. A request path is split into D, up to
     *   its last '/' included, N, the rest up to its first '.', and E, what follows that '.';
     *   when no URI equals it, it is looked up as these keys, in this order: "*N", "*N.*",
     *   "DN.*", "D*.*", "D*.E", "*N.E", "D*". So "/cgi/" followed by '*' maps every path
     *   directly inside /cgi. A URI under a directory of the root that holds an .htaccess is
     *   protected by it. The texts are copied. 0 or -1 (EINVAL for another method or
     *   encoding or a NULL callback).
     * get, connection: char* out, int size. The request path, URL-decoded, without the query
     *   ("/" reads as the index file name), terminated: 0. -1 when it does not fit with its
     *   terminator (out emptied, errno ENOMEM, last error 0); -1 (EINVAL, no line) for a
     *   NULL out. */
    quorvel_attrib_uri = 15,
    /* set, server: int method (QUORVEL_GET only), const char* URI (as for quorvel_attrib_uri),
     *   const char* content, int copy mode: 2 keeps a copy of the content; any other value
     *   keeps the pointer, so the text must stay valid and unchanged while the server exists.
     *   GET requests for the URI are answered with the content, its Content-Type chosen by
     *   the URI's extension as for a file (without a known one: application/octet-stream).
     *   0 or -1. */
    quorvel_attrib_uri_content = 16,
    /* set, server: int method (QUORVEL_GET only, checked after the file is read), const char*
     *   URI (as for quorvel_attrib_uri), const char* regular file relative to the root,
     *   int copy mode (not used: the server always keeps its own copy). Reads the whole file
     *   now; later changes to the file are not seen. Answered as quorvel_attrib_uri_content.
     *   0 or -1 (EINVAL for a missing, unreadable or non-regular file; ENOMEM with last error
     *   QUORVEL_LAST_BAD_ARGUMENTS when it does not fit in memory). */
    quorvel_attrib_uri_cache = 17,
    /* get, connection: char* out, int size. As quorvel_attrib_uri, cut before the last '/'
     *   ("/" when that is the first character; unchanged without a '/'). */
    quorvel_uri_path = 18,
    /* get, connection: char* out, int size. The file-system path the request maps to (the
     *   root joined with the request path), terminated: 0. out is emptied first. -1 (EINVAL,
     *   no line) when there is none or out is NULL; -1 when it does not fit (errno ENOMEM,
     *   last error 0). */
    quorvel_attrib_local_url = 19,
    /* get, connection: char* out, int size. As quorvel_attrib_local_url, cut before the last
     *   '/' ("/" when that is the first character). */
    quorvel_attrib_local_url_path = 20,
    /* get, connection: const char* name (any case), char** value, unsigned* size. Points
     *   *value at the stored, terminated, URL-decoded POST variable and sets *size to its
     *   length: 0. The bytes are the library's and valid until the callback returns. -1 with
     *   *value NULL and *size 0 when absent (errno 0); -1 (EINVAL, no line) for a NULL
     *   argument. */
    quorvel_attrib_post_ref = 21,
    /* set, server: unsigned family bits (SOCK_IPV6, SOCK_IPV4), int SOCK_SET or SOCK_CLR,
     *   unsigned IPv6 protection-level bits (SOCK_PL_*; 0 with SOCK_SET: all three). Applies
     *   to every listener added so far: SOCK_SET replaces its families, SOCK_CLR removes the
     *   given ones. 0; -1 when the server has no listener; -1 with one line per listener when
     *   the mode is neither or SOCK_SET comes without a family bit. */
    quorvel_attrib_afipv = 22,
    /* set, system: int seconds above 0 (else -1, EINVAL): the time a client has to send a
     *   whole request, counted from the accept, for connections accepted afterwards (10
     *   until changed). 0. */
    quorvel_attrib_request_timeout = 23,
    /* set, server: int port (1 to 65534, or 0 for a free port the system picks when the
     *   server starts), const char* numeric address ("127.0.0.1", "::1"; not a host name): a
     *   listener bound to that address only, in its family. 0, or -1 (EINVAL) for a NULL or
     *   non-numeric address or a bad port.
     * get, server: int index (0-based, counting the listeners of quorvel_attrib_listener and
     *   quorvel_attrib_listener_addr in the order they were added). The port that listener
     *   is bound to, once quorvel_attrib_status has answered 0 (serving); before its bind, the
     *   port it was given (0 for one waiting for a free port). So read it after that answer:
     *   while the server starts, a listener may not have its port yet. -1 (EINVAL) for an
     *   index out of range. */
    quorvel_attrib_listener_addr = 24,
    /* get, server: int milliseconds to wait (0: none) while a started server is still
     *   binding its listeners and starting its handlers. 0 serving; 1 failed, with errno
     *   set to the cause (EADDRINUSE for a port in use, EACCES for a port the process may
     *   not bind, EADDRNOTAVAIL for an address of no interface, EAGAIN when a handler thread
     *   could not start; the error log has the details; destroy the server); 2 still
     *   starting when the wait ran out. -1 (EINVAL) for a server never started or a
     *   negative wait. Any number of threads may wait. */
    quorvel_attrib_status = 25,
    /* set, server: const char* path, "-" or NULL. Writes one line per answered HTTP request
     *   (error pages and the 400 and 408 answers to requests that did not arrive whole
     *   included; user-defined protocols are not logged) in the Common Log Format:
     *   HOST - USER [DD/Mon/YYYY:HH:MM:SS +0000] "REQUEST LINE" STATUS BYTES
     *   HOST is the client's numeric address, USER the name Basic authentication admitted
     *   (else -), the date is UTC, the request line is as it arrived (- when none did; at
     *   most 8192 bytes), STATUS the status sent and BYTES the body bytes of the answer (-
     *   for none; a HEAD answer has none). In the user and the request line, control bytes,
     *   bytes above 126, '"' and '\' (and blanks in the user) are written as \xNN. Each line
     *   is one write to a file opened for appending (created with mode 0644), so lines of
     *   concurrent requests never mix; "-" writes to the process's standard error
     *   (descriptor 2); NULL turns the log off (the default). 0; -1 with a line, leaving the
     *   previous setting, when the file cannot be opened (errno as the open left it, such as
     *   ENOENT or EACCES; ENXIO for a FIFO without a reader) or standard error is closed
     *   (EBADF); the last error is then QUORVEL_LAST_WRITE_PROTECT. */
    quorvel_attrib_access_log = 26,
    /* set, server: int on (non-zero) or off (the default). On: a request for a directory
     *   that holds the index file (quorvel_attrib_index) is answered with that file, under
     *   the access files of that directory as any file there, and only otherwise listed
     *   (quorvel_attrib_dirlist) or refused; a directory asked for without its trailing '/'
     *   is answered as with it. Off: only "/" gets the index file. 0. */
    quorvel_attrib_dir_index = 27,
    /* set, system: int count above 0 (else -1, EINVAL): the most connections a started server
     *   holds at once while their requests arrive and their answers leave (10000 until
     *   changed). When a new connection would pass it, the connection whose request has been
     *   arriving longest is closed to make room, or the new one when none is arriving. 0. */
    quorvel_attrib_connection_limit = 28
};

/* HTTP methods of the URI attributes. No attribute takes QUORVEL_HEAD: a HEAD request is
 * answered as GET would be, without the body. For a URI mapped for GET to stored content that
 * is the same header with its Content-Length; for one mapped to a function the function runs
 * as for GET (so its header lines and cookies are the same) and what it writes is discarded:
 * like any GET function it must not do what a repeated or merely probing request would
 * regret. */
#define QUORVEL_POST 1
#define QUORVEL_GET 2
#define QUORVEL_HEAD 4
/* Encodings of URI mappings and MIME rows. */
#define QUORVEL_ENC_TEXT 1
#define QUORVEL_ENC_BINARY 0

/* Selector bits of quorvel_file_stream. */
#define QUORVEL_STREAM_ENCODE 0x02
#define QUORVEL_STREAM_TRANSMIT 0x08
#define QUORVEL_STREAM_SEND 0x10

/* Property kinds of bubble registration records (quorvel_bubble_assign_prop); a URL
 * handler's type adds its method, QUORVEL_GET or QUORVEL_POST (0x22 is a GET handler). */
#define QUORVEL_PROP_PROTOCOL 0x08
#define QUORVEL_PROP_MIME 0x10
#define QUORVEL_PROP_URI 0x20

/* Socket option and state bits. SOCK_SET and SOCK_CLR, the family bits SOCK_IPV6 and
 * SOCK_IPV4 and the IPv6 protection levels SOCK_PL_* are arguments of quorvel_attrib_afipv;
 * the protection levels are stored and have no effect on this platform. The other bits
 * describe the library's socket records; no call takes or returns them. The non-blocking
 * bit (0x8000) is internal to the library and not defined here. */
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

/* Last-error codes (quorvel_last_error), each with the errno it goes with. */
enum {
    /* EINVAL: a missing or wrong argument, an object type or attribute the call does not
     * support, a refused setting. The most common code. */
    QUORVEL_LAST_BAD_ARGUMENTS = 160,
    /* ENOMEM: memory ran out; ENOSPC: a value does not fit the caller's buffer. */
    QUORVEL_LAST_NOT_ENOUGH_MEMORY = 8,
    /* EACCES: a file cannot be opened, such as a log file. */
    QUORVEL_LAST_WRITE_PROTECT = 19,
    /* A file or directory entry that does not exist (errno as the system left it). */
    QUORVEL_LAST_FILE_NOT_FOUND = 2,
    /* EEXIST: a socket that is already connected. */
    QUORVEL_LAST_ALREADY_EXISTS = 183,
    /* EBADF: a send or receive on a connection that is closed or has failed. */
    QUORVEL_LAST_BAD_HANDLE = 20
};

/* Callbacks. */

/* Body of a thread object, called on its own thread with the thread record and the
 * argument given at creation. Polls quorvel_thread_continue(thread) and returns once it is
 * non-zero. A body that never polls keeps running after quorvel_obj_destroy. */
typedef void (*quorvel_thread_fn)(quorvel_thread* thread, void* arg);

/* Function mapped to a URI (quorvel_attrib_uri). Called on a connection handler thread,
 * possibly on several at once, after the status line and Content-Type have been queued.
 * `request` and `out` are the same connection handle, valid only during the call: read the
 * request with quorvel_obj_get and write the page to `out`. Called by a server-side
 * #include, `out` is instead a quorvel_obj_buffer that captures the output. Returns NULL, or an
 * error text made with quorvel_make_return_value on this thread: the library then frees it and
 * answers with an internal-error page carrying the text instead of the output not yet sent. Memory
 * from quorvel_mem_alloc during the call comes from the handler's thread heap and is wiped after
 * the connection. The header is ended by the page's first bytes to leave (or the return), so header
 * lines and cookies set before them reach the client; the body is exactly the bytes written, and
 * the connection's close ends it. */
typedef char* (*quorvel_uri_fn)(envelope* request, envelope* out);

/* Handler of a MIME type (quorvel_attrib_mime), called as a URI function is, for a request
 * that resolves to an existing file of that extension (one for "html" also answers the
 * directory requests that would be listed), with `target` the local path of the file or
 * directory. For a URI answered from stored content (quorvel_attrib_uri_content,
 * quorvel_attrib_uri_cache) whose extension has a handler, `target` is the stored content. */
typedef char* (*quorvel_mime_fn)(envelope* request, envelope* out, const char* target);

/* Handler of a user-defined protocol (quorvel_obj_protocol): called on a connection handler
 * thread with a stream whose next bytes follow the client's "&name;" announcement; reads and
 * writes it with the stream calls and returns 0 on success, non-zero on failure (logged).
 * The library closes the connection afterwards; the stream must not be destroyed or kept.
 * Stopping the server cuts the connection, so a handler blocked on the client returns; one
 * blocked on anything else holds up quorvel_obj_destroy of the server until it returns. */
typedef int (*quorvel_protocol_fn)(envelope* stream);

/* Task of a worker pool, called on the pool's thread with the argument of its submission. */
typedef void (*quorvel_task_fn)(void* arg);

/* Entry of a bubble, exported as "bubble_main": called once when the bubble loads into a
 * server, on the thread that loads it, before its handlers are entered, with the server's
 * handle (which it may configure like the host). Returns non-zero when it set itself up; a
 * bubble without usable registration data loads only when it does. */
typedef char (*quorvel_bubble_main_fn)(envelope* server);

/* A bubble being loaded. Hosts never receive one; quorvel_bubble_destroy exists for
 * completeness. */
typedef struct quorvel_bubble quorvel_bubble;

/* Library. */

/* Initialises the library: always 0. Needed before creating a server, mutex, event, stream
 * or protocol registration (those fail with EINVAL and the line "core not initialized, call
 * quorvel_init" until it has run); nothing else depends on it. Call it from one thread
 * before other threads use the library; later calls return 0 and change nothing. */
QUORVEL_API int quorvel_init(void) QUORVEL_NOEXCEPT;

/* 0 when quorvel_init has run, -1 otherwise. Leaves errno and the last error alone. */
QUORVEL_API int quorvel_isinitialized(void) QUORVEL_NOEXCEPT;

/* Turns debug lines in the error log on (non-zero) or off, for every thread. */
QUORVEL_API void quorvel_debug(int on) QUORVEL_NOEXCEPT;

/* The system object (library-wide settings), valid for the life of the process; it is only
 * given to quorvel_obj_set. Works before quorvel_init. */
QUORVEL_API envelope* quorvel_get_sys(void) QUORVEL_NOEXCEPT;

/* Non-zero once the body running with `thread` has been asked to stop (by quorvel_obj_destroy
 * of its thread object); 0 while it may go on, and for NULL. Leaves errno alone. */
QUORVEL_API char quorvel_thread_continue(quorvel_thread* thread) QUORVEL_NOEXCEPT;

/* A copy of s, allocated as quorvel_mem_alloc does on the calling thread; NULL for NULL or
 * when memory runs out (ENOMEM). The caller releases it with quorvel_mem_free, or returns it
 * from a URI function or MIME handler, which hands it to the library. */
QUORVEL_API char* quorvel_make_return_value(const char* s) QUORVEL_NOEXCEPT;

/* The calling thread's last-error code: one of QUORVEL_LAST_*, 0 after a success. Kept per
 * thread; reading it changes nothing. */
QUORVEL_API uint32_t quorvel_last_error(void) QUORVEL_NOEXCEPT;

/* Objects. */

/* A new object of the type tag `type`, with the arguments listed at the tag; NULL on
 * failure. Tags 4, 5, 10, 12 and numbers that name no object are refused (EINVAL). See
 * quorvel_obj_protocol for the one tag whose result is not an envelope. */
QUORVEL_API envelope* quorvel_obj_create(unsigned type, ...) QUORVEL_NOEXCEPT;

/* Destroys the object and its envelope: 0, or -1 (EINVAL) for NULL and for the handles the
 * library made (connection, system object; the envelope is then left alone). The handle is
 * invalid afterwards. A stream sends its pending output and closes its connection. A server
 * first stops its threads and waits for them; connections still being served are cut, so
 * this takes well under a second unless a protocol handler is blocked on something other
 * than its connection. A thread object: see quorvel_obj_thread. */
QUORVEL_API int quorvel_obj_destroy(envelope* object) QUORVEL_NOEXCEPT;

/* Starts a server (tag 0) that has at least one listener and was not started yet: on the
 * calling thread, scans its bubble directory, then starts its kernel thread, which binds the
 * listeners and starts the connection handlers; the server then accepts no more attribute
 * changes, and no more protocols can be registered. 0 once the kernel runs; -1 (EINVAL) for
 * another object, a started server or one without listeners, -1 when the kernel cannot be
 * started. Binding happens after the return: read the outcome with quorvel_obj_get and
 * quorvel_attrib_status, then the ports bound with quorvel_attrib_listener_addr. A
 * connection that opens with "&name;" is handed to the protocol registered as name,
 * anything else is read as an HTTP request. */
QUORVEL_API int quorvel_obj_start(envelope* object) QUORVEL_NOEXCEPT;

/* Attributes. */

/* Sets `attribute` of a server (before its start), the system object or a connection, with
 * the arguments listed at the attribute: 0, or -1. Refused (EINVAL) for a NULL handle, a
 * started server ("object modification access denied"), another object type, or an attribute
 * the object does not have. Strings are copied unless the attribute says otherwise. A server
 * is configured from one thread; system settings may be changed from any thread and apply to
 * what starts afterwards. System number 9 is accepted without effect. */
QUORVEL_API int quorvel_obj_set(envelope* object, int attribute, ...) QUORVEL_NOEXCEPT;

/* Reads `attribute` of a connection (inside its callback, on the callback's thread), a
 * stream or a server, with the arguments listed at the attribute: 0 or -1, or the value
 * asked for. -1 (EINVAL, no line) for a NULL handle; -1 (EINVAL) for another object
 * type or an attribute the object does not have. */
QUORVEL_API int quorvel_obj_get(envelope* object, int attribute, ...) QUORVEL_NOEXCEPT;

/* Output and input of host code.
 * On a connection (a URI function's or MIME handler's handle) the output calls append to the
 * page; quorvel_printf and quorvel_uprintf then send everything appended so far, so the bytes
 * reach the client in the order of the calls, and what quorvel_put and quorvel_putf appended
 * last leaves when the function returns. On a stream they send through its buffer, which
 * leaves when full, at the next receive, or at the destruction. Every call clears errno and
 * the last error, and refuses a NULL or empty handle ("null argument passed") and a handle of
 * another type ("operation not supported for provided object") with -1 (NULL for
 * quorvel_getf), EINVAL and a line. Use a handle from its own thread only. */

/* Appends `length` bytes of `data` (connection), or sends them (stream): `length`, or -1 when
 * memory runs out or the send fails. */
QUORVEL_API int quorvel_put(envelope* object, const void* data, uint32_t length) QUORVEL_NOEXCEPT;

/* As quorvel_put, for one frame: the 4-byte length, most significant byte first, then the
 * bytes. The result of the last step (the bytes; 0 for an empty frame), or -1. */
QUORVEL_API int quorvel_putf(envelope* object, const void* data, uint32_t length) QUORVEL_NOEXCEPT;

/* Receives one frame from a stream: a new block of its length + 1 bytes, NUL-terminated,
 * released with quorvel_mem_free, the length stored in `*length`. NULL when the frame does not
 * arrive whole, for an empty frame or one of 2^31 bytes or more (not received; the length is
 * still stored), or when memory runs out; NULL (EINVAL) for a NULL `length` or a connection. */
QUORVEL_API char* quorvel_getf(envelope* object, uint32_t* length) QUORVEL_NOEXCEPT;

/* Receives up to `length` bytes from a stream into `data`, waiting while they come: the count
 * received, 0 when nothing came, or -1. Refused on a connection. */
QUORVEL_API int quorvel_rcv(envelope* object, void* data, uint32_t length) QUORVEL_NOEXCEPT;

/* Formatted text (printf's conversions). On a connection: appended to the page, which is then
 * sent. On a stream: sent as one frame. On a log: appended as one time-stamped entry. On a
 * capture buffer (server-side includes): appended to it. 0, or -1 for a format the C library
 * refuses, no memory or a failed send or write. */
QUORVEL_API int quorvel_printf(envelope* object, const char* format, ...) QUORVEL_NOEXCEPT
    QUORVEL_PRINTF(2, 3);

/* As quorvel_printf on a connection or a stream, with every byte other than an ASCII letter
 * or digit and / * + - # blank \ LF TAB CR written as the reference "&#n;" (so "<" becomes
 * "&#60;"). On a stream every character, escaped or not, is a frame of its own. 0 or -1. */
QUORVEL_API int quorvel_uprintf(envelope* object, const char* format, ...) QUORVEL_NOEXCEPT
    QUORVEL_PRINTF(2, 3);

/* Files. */

/* Sends or receives the file at `path` (a file-system path; a relative one starts at the
 * working directory, not at the server's root). On a connection (inside a URI function or
 * MIME handler): QUORVEL_STREAM_ENCODE sends the text file as HTML-safe lines ("&#n;"
 * references, each line ended by CR LF); otherwise the whole file is sent and `length` is not
 * used. Page output not yet sent goes first. On a stream: QUORVEL_STREAM_ENCODE as above;
 * QUORVEL_STREAM_SEND sends `length` bytes of the file (0: all of it) with the kernel's file
 * transmission when QUORVEL_STREAM_TRANSMIT is also set, else by reading it; without
 * QUORVEL_STREAM_SEND receives exactly `length` bytes (above 0) into `path`, created or
 * truncated, and deletes it again when the receive fails. Sending a file shorter than
 * `length` fails. 0 or -1; a NULL handle or path, or another object type, is refused
 * (EINVAL). Some failures (a missing file, a closed peer) write no line. SIGPIPE is never
 * raised. Same thread rules as the handle's. */
QUORVEL_API int quorvel_file_stream(envelope* object, const char* path, uint32_t length,
                                    int flags) QUORVEL_NOEXCEPT;

/* Marshalling on a stream (quorvel_obj_stream). Both ends describe a record with the same
 * format string of one-letter identifiers; a checksum of the format precedes the fields, and
 * a receiver whose format differs fails (EINVAL) without reading further.
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
 * infinite or NaN value (for f, also one beyond float's range) is refused (-1, EINVAL) and
 * nothing of it is sent. Marshalled bytes leave at the next unmarshal or at destruction, so a
 * request-reply needs no flush.
 * 0, or -1 with errno set: EINVAL for a NULL or non-stream envelope, a NULL format or
 * argument pointer, an unknown identifier or a checksum mismatch; ENOMEM
 * (QUORVEL_LAST_NOT_ENOUGH_MEMORY) for a received string of 2^31 bytes or more. A receive
 * gives up when no byte arrives for one second. After a failed unmarshal the stream is of no
 * further use for records. Fields received before the failure stay stored, except that when
 * a later field other than a string fails, the string received last is released again and
 * its pointer set to NULL. So set string pointers to NULL before the call and release every
 * one that is not NULL afterwards, whatever the result. Use a stream from one thread at a
 * time. */
QUORVEL_API int quorvel_marshal(envelope* stream, const char* format, ...) QUORVEL_NOEXCEPT;
QUORVEL_API int quorvel_unmarshal(envelope* stream, const char* format, ...) QUORVEL_NOEXCEPT;

/* Memory. */

/* A block of at least `size` bytes (0 allowed), 16-byte aligned, released with
 * quorvel_mem_free on the thread that allocated it. On a thread with a thread heap
 * (connection handlers: inside URI functions, MIME handlers and protocol handlers) it comes
 * zero-filled from that heap, which is wiped after each connection, so it must not outlive
 * the callback. A block too large for the heap, and every block on other threads (host
 * threads, thread objects), comes from the general allocator, is not cleared and lasts until
 * it is released. NULL only when the general allocator fails; writes no line. */
QUORVEL_API void* quorvel_mem_alloc(uint32_t size) QUORVEL_NOEXCEPT;

/* Releases a block from quorvel_mem_alloc (or a string the library handed over, such as an
 * unmarshalled z field); NULL is ignored. A block of the general allocator may be released on
 * any thread; a thread-heap block released on another thread is silently kept. A block
 * released twice in its own thread heap is refused with "heap corruption detected" on
 * standard error. */
QUORVEL_API void quorvel_mem_free(void* block) QUORVEL_NOEXCEPT;

/* Synchronisation and workers. Each call clears errno and the last error, and refuses a NULL
 * handle, one of another type or one without object with -1, EINVAL, last error 160 and the
 * line "operation not supported for provided object". */

/* Locks the mutex, waiting while another thread holds it: 0. A thread that already holds it
 * gets 0 and a warning on standard error, and the first unlock frees it. */
QUORVEL_API int quorvel_mutex_lock(envelope* mutex) QUORVEL_NOEXCEPT;
/* Unlocks the mutex: 0, or -1 (EINVAL, with a line) when the calling thread does not hold it. */
QUORVEL_API int quorvel_mutex_unlock(envelope* mutex) QUORVEL_NOEXCEPT;

/* Signals the event: one waiter (or the next to wait) is released and the signal consumed. 0. */
QUORVEL_API int quorvel_event_set(envelope* event) QUORVEL_NOEXCEPT;
/* Waits until the event is signalled and consumes the signal: 0. */
QUORVEL_API int quorvel_event_wait(envelope* event) QUORVEL_NOEXCEPT;
/* As quorvel_event_wait for at most `milliseconds` (0 or less: only looks): 1 signalled, 0
 * when the time ran out. */
QUORVEL_API int quorvel_event_waittimed(envelope* event, int milliseconds) QUORVEL_NOEXCEPT;

/* Queues `function(argument)` on the worker pool. With a `size` above 0 the argument's `size`
 * bytes are copied now (the caller may reuse them at once) and the copy is freed after the
 * call; with 0 the pointer itself is passed and must stay valid until the task has run; NULL
 * stays NULL. 0 queued; 2 the queue is full (nothing changed: retry once the worker has
 * emptied it); -1 for a NULL function, a negative size or no memory. */
QUORVEL_API int quorvel_worker_task(envelope* pool, quorvel_task_fn function, void* argument,
                                    int size) QUORVEL_NOEXCEPT;

/* Bubbles: plug-ins. A bubble is a shared library whose file name holds ".bbl" and behind
 * whose bytes registration data is appended: one property record per handler it exports (a
 * MIME handler, a GET or POST URL handler, or a user-defined protocol), named by its symbol. */

/* Appends one property record to the library file `path` (a build step of a plug-in's author;
 * the tool quorvel-bubble and the CMake function quorvel_add_bubble call it). The arguments
 * after the name depend on `type`:
 *   QUORVEL_PROP_MIME: const char* extension (a leading '.' is dropped), const char* MIME
 *     type text, int encoding (QUORVEL_ENC_BINARY or QUORVEL_ENC_TEXT).
 *   QUORVEL_PROP_URI | QUORVEL_GET or QUORVEL_POST: int encoding, const char* URL.
 *   QUORVEL_PROP_PROTOCOL: none; the name is also the protocol's name.
 * A type with both the URL and the protocol bit (and no MIME bit) is refused. Every argument
 * is checked before the file is touched, and a write that fails leaves the
 * file as it was. 0, or -1 with the reason on standard error (the library's error values are
 * left alone). */
QUORVEL_API int quorvel_bubble_assign_prop(const char* path, int type, const char* name,
                                           ...) QUORVEL_NOEXCEPT;

/* Lists the properties of the bubble file `path` on standard output. 0, or -1 with the reason
 * on standard output. */
QUORVEL_API int quorvel_bubble_pinfo(const char* path) QUORVEL_NOEXCEPT;

/* Loads the bubble file `path` into the server `server` before its start (quorvel_obj_start
 * does it for its bubble directory): loads the library, calls its bubble_main, resolves every
 * registered handler, then enters them (MIME types and URLs into the server, protocols into
 * the protocol table). 0, or -1 with a line (none for a bad handle or a file that does not
 * open); associations made before a failure stay. The library stays loaded while the server
 * or the protocol table may call into it. Run on one thread, before the start. */
QUORVEL_API int quorvel_bubble_load(envelope* server, const char* path) QUORVEL_NOEXCEPT;

/* Releases a bubble record and sets *bubble to NULL; the library stays loaded. */
QUORVEL_API void quorvel_bubble_destroy(quorvel_bubble** bubble) QUORVEL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_H */
