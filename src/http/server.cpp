// The server record's life: creation with the built-in MIME rows, listeners, the per-handler
// deep copies, and a stop that waits for every server thread before anything is released.
// The MIME table owns the type texts of rows added later; built-in rows point at constant
// texts, and a handler's copy owns none of them.
#include "http/server.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/strings.h"
#include "http/kernel.h"
#include "net/socket.h"
#include "platform/modules.h"
#include "platform/os.h"
#include "threads/sync.h"
#include "threads/thread.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <netinet/in.h>
#include <sys/stat.h>

namespace quorvel {

const mime_record uri_mime_text{nullptr, const_cast<char*>("text/html"), QUORVEL_ENC_TEXT};
const mime_record uri_mime_binary{nullptr, const_cast<char*>("application/octet-stream"),
                                  QUORVEL_ENC_BINARY};

namespace {

struct builtin_mime {
    const char* extension;
    const char* type;
    uint32_t encoding;
};

constexpr builtin_mime builtin_rows[] = {
    {"htm", "text/html", QUORVEL_ENC_TEXT},
    {"html", "text/html", QUORVEL_ENC_TEXT},
    {"jsp", "text/html", QUORVEL_ENC_TEXT},
    {"jspx", "text/html", QUORVEL_ENC_TEXT},
    {"css", "text/css", QUORVEL_ENC_TEXT},
    {"txt", "text/plain", QUORVEL_ENC_TEXT},
    {"unknown_txt", "text/plain", QUORVEL_ENC_TEXT},
    {"c", "text/plain", QUORVEL_ENC_TEXT},
    {"h", "text/plain", QUORVEL_ENC_TEXT},
    {"xml", "text/xml", QUORVEL_ENC_TEXT},
    {"rtf", "text/rtf", QUORVEL_ENC_TEXT},
    {"unknown", "application/octet-stream", QUORVEL_ENC_BINARY},
    {"exe", "application/octet-stream", QUORVEL_ENC_BINARY},
    {"ico", "image/vnd.microsoft.icon", QUORVEL_ENC_BINARY},
    {"jpg", "image/jpeg", QUORVEL_ENC_BINARY},
    {"jpeg", "image/jpeg", QUORVEL_ENC_BINARY},
    {"gif", "image/gif", QUORVEL_ENC_BINARY},
    {"png", "image/png", QUORVEL_ENC_BINARY},
    {"tif", "image/tiff", QUORVEL_ENC_BINARY},
    {"wmv", "video/x-ms-wmv", QUORVEL_ENC_BINARY},
    {"asf", "video/x-ms-wmv", QUORVEL_ENC_BINARY},
    {"asx", "video/x-ms-wmv", QUORVEL_ENC_BINARY},
    {"wvx", "video/x-ms-wvx", QUORVEL_ENC_BINARY},
    {"wm", "video/x-ms-wm", QUORVEL_ENC_BINARY},
    {"wmx", "video/x-ms-wmx", QUORVEL_ENC_BINARY},
    {"mpg", "audio/mpeg", QUORVEL_ENC_BINARY},
    {"mpeg", "audio/mpeg", QUORVEL_ENC_BINARY},
    {"pdf", "application/pdf", QUORVEL_ENC_BINARY},
    // Types of today's web, for extensions the rows above do not have.
    {"js", "text/javascript", QUORVEL_ENC_TEXT},
    {"mjs", "text/javascript", QUORVEL_ENC_TEXT},
    {"json", "application/json", QUORVEL_ENC_TEXT},
    {"svg", "image/svg+xml", QUORVEL_ENC_TEXT},
    {"wasm", "application/wasm", QUORVEL_ENC_BINARY},
    {"webp", "image/webp", QUORVEL_ENC_BINARY},
    {"avif", "image/avif", QUORVEL_ENC_BINARY},
    {"woff2", "font/woff2", QUORVEL_ENC_BINARY},
    {"woff", "font/woff", QUORVEL_ENC_BINARY},
    {"mp4", "video/mp4", QUORVEL_ENC_BINARY},
    {"webm", "video/webm", QUORVEL_ENC_BINARY},
    {"md", "text/markdown", QUORVEL_ENC_TEXT},
    {"csv", "text/csv", QUORVEL_ENC_TEXT},
    {"shtml", "text/html", QUORVEL_ENC_TEXT},
    {"zip", "application/zip", QUORVEL_ENC_BINARY},
    {"gz", "application/gzip", QUORVEL_ENC_BINARY},
    {"bin", "application/octet-stream", QUORVEL_ENC_BINARY},
};
static_assert(std::size(builtin_rows) == SERVER_BUILTIN_MIME_ROWS);

bool is_builtin_type(const char* type)
{
    for (const builtin_mime& row : builtin_rows)
        if (row.type == type)
            return true;
    return false;
}

// Destructor of the rows of a server's own MIME table: the type text goes with the row unless
// it is one of the constant built-in texts.
void mime_row_release(void* value)
{
    auto* row = static_cast<mime_record*>(value);
    if (!is_builtin_type(row->content_type))
        mem_free(row->content_type);
    mem_free(row);
}

// A copy's rows share the server's type texts: releasing a row releases only the row.
void disown_mime_texts(htable* table)
{
    for (const container* e = htable_next(table, nullptr); e != nullptr; e = htable_next(table, e))
        const_cast<container*>(e)->destructor = nullptr;
}

int store_builtin_mime(htable* table)
{
    for (const builtin_mime& row : builtin_rows) {
        mime_record record{nullptr, const_cast<char*>(row.type), row.encoding};
        if (htable_store(table, row.extension, static_cast<uint32_t>(std::strlen(row.extension)),
                         &record, sizeof(record), true, mime_row_release) != 0)
            return -1;
    }
    return 0;
}

// Destroys a partly built record without disturbing the errno and last error of the failure
// being reported.
void discard(server_record** server)
{
    errno_saver keep;
    httpsrv_destroy(server);
}

socket* copy_listener(const socket* source)
{
    auto* s = static_cast<socket*>(general_alloc(sizeof(socket)));
    if (s == nullptr)
        return nullptr;
    s->port = source->port;
    s->fd[0] = source->fd[0];
    s->fd[1] = source->fd[1];
    s->timeout = source->timeout;
    s->sndbuf = source->sndbuf;
    s->rcvbuf = source->rcvbuf;
    s->flags = source->flags;
    s->opt16 = source->opt16;
    s->ssl = source->ssl;
    std::memcpy(s->bind_addr, source->bind_addr, sizeof(s->bind_addr));
    return s;
}

// Releases a copy's listener record without closing the handles it shares.
void release_listener_copy(socket** s)
{
    if (*s == nullptr)
        return;
    buffer_destroy(&(*s)->buffer);
    htable_destroy(&(*s)->table);
    mem_free(*s);
    *s = nullptr;
}

} // namespace

server_record* httpsrv_create(uint32_t handler_count, const char* root)
{
    clear_errors();
    general_alloc_scope general;
    auto* server = static_cast<server_record*>(general_alloc(sizeof(server_record)));
    if (server == nullptr) {
        report("httpsrv_create", 11827, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    server->start_state.store(SERVER_STARTING);
    server->get_uris = htable_create(SERVER_TABLE_SIZE);
    server->content_cache = htable_create(SERVER_TABLE_SIZE);
    server->post_uris = htable_create(SERVER_TABLE_SIZE);
    server->mime_table = htable_create(SERVER_TABLE_SIZE);
    if (server->get_uris == nullptr || server->content_cache == nullptr ||
        server->post_uris == nullptr || server->mime_table == nullptr) {
        discard(&server);
        return nullptr;
    }
    server->handlers =
        static_cast<thread_record**>(general_alloc(sizeof(thread_record*) * size_t{handler_count}));
    if (server->handlers == nullptr) {
        discard(&server);
        report("httpsrv_create", 11897, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    server->handler_count = handler_count;
    server->started = event_create();
    if (server->started == nullptr) {
        discard(&server);
        return nullptr;
    }

    char exe_dir[PATH_MAX];
    if (root != nullptr) {
        struct stat info;
        errno = 0;
        if (::stat(root, &info) != 0) {
            discard(&server);
            report("httpsrv_create", 11914, fault::bad_arg, "error: %s, file:%s\n",
                   "no file status", root);
            return nullptr;
        }
        if (!S_ISDIR(info.st_mode)) {
            discard(&server);
            report_text("httpsrv_create", 11920, fault::bad_arg, "%s is not a file\n", root);
            return nullptr;
        }
    } else {
        if (get_exe_directory(exe_dir, sizeof(exe_dir)) != 0) {
            discard(&server);
            report_text("httpsrv_create", 11905, fault::bad_arg,
                        "could not determine the directory of the executable\n");
            return nullptr;
        }
        root = exe_dir;
    }
    server->root = str_dup_general(root);
    if (server->root == nullptr) {
        discard(&server);
        return nullptr;
    }
    report_line("root directory set to %s\n", server->root);

    std::snprintf(server->index, sizeof(server->index), "%s", SERVER_DEFAULT_INDEX);
    if (store_builtin_mime(server->mime_table) != 0) {
        discard(&server);
        return nullptr;
    }
    return server;
}

void httpsrv_destroy(server_record** handle)
{
    if (handle == nullptr || *handle == nullptr)
        return;
    server_record* server = *handle;
    *handle = nullptr;
    httpsrv_stop(server);
    mem_free(server->handlers);
    server->handlers = nullptr;
    if (server->listeners != nullptr) {
        for (int32_t i = 0; i < server->listener_count; ++i) {
            if (server->is_copy)
                release_listener_copy(&server->listeners[i]);
            else
                socket_destroy(&server->listeners[i]);
        }
        mem_free(server->listeners);
    }
    mem_free(server->root);
    mem_free(server->bubble_dir);
    htable_destroy(&server->mime_table);
    htable_destroy(&server->get_uris);
    htable_destroy(&server->post_uris);
    htable_destroy(&server->content_cache);
    event_destroy(&server->started);
    access_log_close(&server->access_log);
    // Nothing of the server can call into its plug-ins any more.
    for (uint32_t i = 0; i < server->module_count; ++i)
        module_close(server->modules[i]);
    mem_free(server->modules);
    mem_free(server);
}

int httpsrv_keep_module(server_record* server, void* module)
{
    auto* grown = static_cast<void**>(general_alloc(sizeof(void*) * (server->module_count + 1)));
    if (grown == nullptr) {
        report("quorvel_bubble_load", 19290, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    if (server->module_count > 0)
        std::memcpy(grown, server->modules, sizeof(void*) * server->module_count);
    grown[server->module_count++] = module;
    mem_free(server->modules);
    server->modules = grown;
    return 0;
}

server_record* httpsrv_copy(const server_record* source)
{
    clear_errors();
    if (source == nullptr) {
        report("httpsrv_copy", 11968, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    general_alloc_scope general;
    auto* copy = static_cast<server_record*>(general_alloc(sizeof(server_record)));
    if (copy == nullptr) {
        report("httpsrv_copy", 11975, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    copy->is_copy = 1;
    copy->status.store(source->status.load());
    copy->start_state.store(source->start_state.load());
    copy->flags = source->flags;
    std::memcpy(copy->index, source->index, sizeof(copy->index));
    copy->access_log = access_log_share(source->access_log);

    bool made = true;
    auto copy_table = [&made](const htable* from) {
        htable* to = htable_copy(from);
        if (from != nullptr && to == nullptr)
            made = false;
        return to;
    };
    copy->mime_table = copy_table(source->mime_table);
    disown_mime_texts(copy->mime_table);
    copy->get_uris = copy_table(source->get_uris);
    copy->content_cache = copy_table(source->content_cache);
    copy->post_uris = copy_table(source->post_uris);
    auto copy_text = [&made](const char* from) {
        char* to = from != nullptr ? str_dup_general(from) : nullptr;
        if (from != nullptr && to == nullptr)
            made = false;
        return to;
    };
    copy->root = copy_text(source->root);
    copy->bubble_dir = copy_text(source->bubble_dir);
    if (!made) {
        discard(&copy);
        return nullptr;
    }

    if (source->listener_count > 0 && source->listeners != nullptr) {
        copy->listeners = static_cast<socket**>(
            general_alloc(sizeof(socket*) * static_cast<size_t>(source->listener_count)));
        made = copy->listeners != nullptr;
        for (int32_t i = 0; made && i < source->listener_count; ++i) {
            copy->listeners[i] = copy_listener(source->listeners[i]);
            made = copy->listeners[i] != nullptr;
            if (made)
                copy->listener_count = i + 1;
        }
        if (!made) {
            discard(&copy);
            report("httpsrv_copy", 11975, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return nullptr;
        }
    }
    return copy;
}

int httpsrv_add_listener(server_record* server, int32_t port, const char* address)
{
    clear_errors();
    if (server == nullptr) {
        report("httpsrv_add_listener", 11752, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    uint32_t families = SOCK_IPV6 | SOCK_IPV4;
    if (address != nullptr) {
        in6_addr parsed;
        bool fits = std::strlen(address) < SOCKET_ADDR_SIZE;
        if (fits && ::inet_pton(AF_INET, address, &parsed) == 1) {
            families = SOCK_IPV4;
        } else if (fits && ::inet_pton(AF_INET6, address, &parsed) == 1) {
            families = SOCK_IPV6;
        } else {
            char shown[SOCKET_ADDR_SIZE * 4];
            report_text("httpsrv_add_listener", 11770, fault::bad_arg,
                        "invalid listener address %s\n", log_safe(address, shown, sizeof(shown)));
            return -1;
        }
    }
    auto* grown = static_cast<socket**>(
        general_alloc(sizeof(socket*) * (static_cast<size_t>(server->listener_count) + 1)));
    if (grown == nullptr) {
        report("httpsrv_add_listener", 11763, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    // Only a listener bound to one address may take its port from the system: on every
    // interface, two families would each get a port of their own.
    socket* s = address != nullptr ? socket_create_listener(port) : socket_create(port);
    if (s == nullptr) {
        mem_free(grown);
        return -1;
    }
    s->opt16 = 0;
    // SO_REUSEADDR lets a restarted server bind while connections of its previous run linger
    // in TIME_WAIT; a port another socket listens on is still refused.
    s->flags |= families | SOCK_NAGLE | SOCK_BUFFERED | SOCK_REUSEADDR;
    if (address != nullptr)
        std::snprintf(s->bind_addr, sizeof(s->bind_addr), "%s", address);
    if (server->listener_count > 0)
        std::memcpy(grown, server->listeners,
                    sizeof(socket*) * static_cast<size_t>(server->listener_count));
    mem_free(server->listeners);
    server->listeners = grown;
    server->listeners[server->listener_count++] = s;
    return 0;
}

int32_t httpsrv_listener_port(server_record* server, int32_t index)
{
    if (server == nullptr || index < 0 || index >= server->listener_count) {
        report_text("quorvel_obj_get:: quorvel_attrib_listener_addr", 18529, fault::bad_arg,
                    "no listener %d, the server has %d\n", index,
                    server != nullptr ? server->listener_count : 0);
        return -1;
    }
    return socket_port(server->listeners[index]);
}

void server_publish_state(server_record* server, uint32_t state)
{
    if (server == nullptr)
        return;
    if (state == SERVER_FAILED)
        server->status.store(1);
    server->start_state.store(state, std::memory_order_release);
    if (server->started != nullptr)
        event_signal(server->started);
}

void server_publish_failure(server_record* server, int error)
{
    if (server == nullptr)
        return;
    server->start_error = error;
    server_publish_state(server, SERVER_FAILED);
}

uint32_t server_wait_state(server_record* server, int32_t wait_ms)
{
    uint32_t state = server->start_state.load(std::memory_order_acquire);
    if (server->started == nullptr)
        return state;
    int64_t deadline = monotonic_ms() + (wait_ms > 0 ? wait_ms : 0);
    for (int64_t left = deadline - monotonic_ms(); state == SERVER_STARTING && left > 0;
         left = deadline - monotonic_ms()) {
        event_waittimed(server->started, static_cast<int>(left));
        state = server->start_state.load(std::memory_order_acquire);
    }
    // The event wakes one waiter at a time: once the outcome is known, pass the wake-up on
    // to the next waiter, if any.
    if (state != SERVER_STARTING)
        event_signal(server->started);
    return state;
}

mime_record* mime_create(const char* type, uint32_t encoding, quorvel_mime_fn handler)
{
    clear_errors();
    if (type == nullptr) {
        report("mime_create", 11520, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    auto* mime = static_cast<mime_record*>(general_alloc(sizeof(mime_record)));
    if (mime == nullptr) {
        report("mime_create", 11527, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    mime->content_type = str_dup_general(type);
    if (mime->content_type == nullptr) {
        mem_free(mime);
        return nullptr;
    }
    mime->encoding = encoding;
    mime->handler = handler;
    return mime;
}

void mime_destroy(mime_record** mime)
{
    if (mime == nullptr || *mime == nullptr)
        return;
    mem_free((*mime)->content_type);
    mem_free(*mime);
    *mime = nullptr;
}

int server_store_mime(server_record* server, const char* extension, const mime_record* mime)
{
    general_alloc_scope general;
    uint32_t length = extension != nullptr ? static_cast<uint32_t>(std::strlen(extension)) : 0;
    return htable_store(server != nullptr ? server->mime_table : nullptr, extension, length, mime,
                        sizeof(mime_record), true, mime_row_release);
}

uri_record* uri_create(quorvel_uri_fn callback, const mime_record* mime)
{
    clear_errors();
    if (callback == nullptr || mime == nullptr) {
        report("uri_create", 11541, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    auto* uri = static_cast<uri_record*>(general_alloc(sizeof(uri_record)));
    if (uri == nullptr) {
        report("uri_create", 11549, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    uri->callback = callback;
    uri->mime = mime;
    return uri;
}

} // namespace quorvel
