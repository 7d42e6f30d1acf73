// The server record: everything a connection handler needs to answer requests (root,
// index file, MIME and URI tables, stored content, listeners, threads). Configured through
// attributes before the start; each handler thread then works on its own deep copy.
// Everything a server record owns comes from the general allocator, whichever thread builds
// it, so no thread-heap reset can take part of a server away.
#pragma once

#include "http/access_log.h"
#include "quorvel.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct event;
struct htable;
struct server_run;
struct socket;
using thread_record = ::quorvel_thread;

// Server flag bits.
inline constexpr uint32_t SERVER_SSI = 0x1;       // stored pages go through server-side includes
inline constexpr uint32_t SERVER_DIRLIST = 0x4;   // directories may be answered with a listing
inline constexpr uint32_t SERVER_DIR_INDEX = 0x8; // a directory holding the index file gets it

inline constexpr int SERVER_INDEX_SIZE = 80;
inline constexpr char SERVER_DEFAULT_INDEX[] = "/index.html";
// Requested size of each of the four tables (101 buckets).
inline constexpr uint32_t SERVER_TABLE_SIZE = 100;
// Rows of the MIME table of a new server: the 28 classic rows, then the types of today's web.
inline constexpr int SERVER_BUILTIN_MIME_ROWS = 45;

// Start states of a started server, as quorvel_attrib_status reports them.
inline constexpr uint32_t SERVER_SERVING = 0;  // every listener bound, every handler started
inline constexpr uint32_t SERVER_FAILED = 1;   // binding, listening or a handler start failed
inline constexpr uint32_t SERVER_STARTING = 2; // the kernel has not published an outcome yet

struct mime_record {
    quorvel_mime_fn handler; // produces the body for files of this type; NULL for plain types
    char* content_type;
    uint32_t encoding; // QUORVEL_ENC_TEXT or QUORVEL_ENC_BINARY
};
static_assert(std::is_trivially_destructible_v<mime_record>);

struct uri_record {
    quorvel_uri_fn callback;
    const mime_record* mime; // one of the two static records for text and binary encodings
};
static_assert(std::is_trivially_destructible_v<uri_record>);

struct server_record {
    std::atomic<uint32_t> status; // 0 healthy, 1 when binding, listening or a handler failed
    uint32_t flags;               // SERVER_SSI, SERVER_DIRLIST, SERVER_DIR_INDEX
    char index[SERVER_INDEX_SIZE];
    char* bubble_dir;      // NULL: no bubble scan
    htable* mime_table;    // extension -> mime_record
    htable* get_uris;      // URI -> uri_record
    htable* content_cache; // URI -> stored bytes
    htable* post_uris;     // URI -> uri_record
    socket** listeners;
    int32_t listener_count;
    char* root;
    thread_record* kernel;
    thread_record** handlers; // handler_count slots, NULL until the kernel fills them
    uint32_t handler_count;
    // SERVER_STARTING until the kernel publishes SERVER_SERVING or SERVER_FAILED through
    // server_publish_state; `started` is signalled then (NULL in a handler's copy).
    std::atomic<uint32_t> start_state;
    event* started;
    // Why the start failed, as an errno value: written before SERVER_FAILED is published.
    int32_t start_error;
    // A handler's copy (httpsrv_copy): its listener records share the OS handles of the
    // server's own listeners and are released without closing them.
    uint8_t is_copy;
    // What a started server's threads share with whoever stops them (kernel.h); NULL before
    // the start and in a handler's copy.
    server_run* run;
    // Plug-in libraries whose handlers only this server's tables hold: closed when it is
    // destroyed, after its threads and tables. None in a handler's copy.
    void** modules;
    uint32_t module_count;
    // One line per answered HTTP request; a handler's copy shares the server's descriptor.
    access_log_record access_log;
};
static_assert(std::is_trivially_destructible_v<server_record>);

// The two MIME records of URI mappings: text/html (text) and application/octet-stream
// (binary). Never released.
extern const mime_record uri_mime_text;
extern const mime_record uri_mime_binary;

// A new server record for `handler_count` handlers with the built-in MIME rows, the index
// "/index.html" and the root `root` (an existing directory; NULL: the executable's
// directory). Writes "root directory set to ..." to the error log. NULL (reported) when the
// root is missing or no directory, or out of memory. Released with httpsrv_destroy.
server_record* httpsrv_create(uint32_t handler_count, const char* root);

// httpsrv_stop (kernel.h), then releases the handler array, the listeners (a copy's without closing
// their handles), the root, the bubble directory, the four tables, the start event and the
// record, and clears `*server`. NULL `server` or `*server` is ignored.
void httpsrv_destroy(server_record** server);

// A handler's private deep copy of `server`: its own tables (the MIME rows' type texts stay
// the server's: the copy must not outlive it), root and bubble directory, and listener
// records that share the server's OS handles. No kernel, no handlers, no start event. The
// source is read without locks: call it only once the configuration is no longer changed.
// NULL (reported) when out of memory. Released with httpsrv_destroy.
server_record* httpsrv_copy(const server_record* server);

// Adds a listener for `port` (1..65534) with both address families, Nagle on, buffered I/O
// and opt16 0; with `address` (numeric IPv4 or IPv6 text) it binds to that address only,
// and only that address's family is enabled, and `port` may also be 0: the kernel's bind
// then takes a free port from the system and the listener record keeps it. 0, or -1
// (reported) leaving the listeners as they were.
int httpsrv_add_listener(server_record* server, int32_t port, const char* address);

// The port of listener `index` (0-based, in the order the listeners were added): the bound
// port once the kernel has bound it, the configured one before (0 for a listener waiting for
// a port from the system). Safe on any thread while the server starts; once
// server_wait_state has answered SERVER_SERVING it is the bound port of every listener.
// -1 (reported) for an index out of range.
int32_t httpsrv_listener_port(server_record* server, int32_t index);

// The kernel's report on the start: `state` is SERVER_SERVING once every listener listens
// and every handler runs, or SERVER_FAILED (which also sets `status` to 1). Wakes every
// quorvel_attrib_status waiter. Publish once, before the kernel's primary loop or its end.
// The store releases: whatever the kernel wrote before it (the bound ports included) is seen
// by a thread that reads the state afterwards.
void server_publish_state(server_record* server, uint32_t state);
// Publishes SERVER_FAILED with its cause `error` (an errno value such as EADDRINUSE or
// EACCES), which quorvel_attrib_status hands to the host in errno.
void server_publish_failure(server_record* server, int error);

// The start state, waiting up to `wait_ms` milliseconds (0: none) while it is still
// SERVER_STARTING. Reads it with acquire ordering, so an outcome seen here comes with
// everything the kernel wrote before publishing it.
uint32_t server_wait_state(server_record* server, int32_t wait_ms);

// Hands the server one reference to the loaded library `module`, dropped when the server is
// destroyed. 0, or -1 (reported) when out of memory: the reference then stays unreleased.
int httpsrv_keep_module(server_record* server, void* module);

// A MIME record holding a copy of `type` (both from the general allocator), or NULL
// (reported) for a NULL type or no memory. Released with mime_destroy.
mime_record* mime_create(const char* type, uint32_t encoding, quorvel_mime_fn handler);
// Releases the type text and the record; clears `*mime`. NULL is ignored.
void mime_destroy(mime_record** mime);

// Stores a copy of a MIME record made by mime_create under `extension` in the server's
// MIME table, which then owns the type text; the record itself stays the caller's. The
// store's result (0 or -1, reported); on -1 the type text is still the caller's.
int server_store_mime(server_record* server, const char* extension, const mime_record* mime);

// A URI record for `callback` typed with `mime` (from the general allocator), or NULL
// (reported) for a NULL argument or no memory. Released with mem_free.
uri_record* uri_create(quorvel_uri_fn callback, const mime_record* mime);

} // namespace quorvel
