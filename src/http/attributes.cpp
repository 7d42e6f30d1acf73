// The attribute calls: quorvel_obj_set configures a server before its start and the
// library-wide settings of the system object; quorvel_obj_get reads a connection's request,
// a stream's buffer and a started server's state. Every variadic argument is read with its
// documented type, and only the arguments the attribute uses.
#include "core/envelope.h"
#include "core/report.h"
#include "core/settings.h"
#include "core/thread_heap.h"
#include "foundation/buffer.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/strings.h"
#include "http/request.h"
#include "http/server.h"
#include "net/socket.h"
#include "quorvel.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace quorvel {

namespace {

// Names looked up in a request's tables are cut to this many characters.
constexpr int NAME_LIMIT = 255;
constexpr uint32_t PROTECTION_BITS = SOCK_PL_RESTRICTED | SOCK_PL_EDGE | SOCK_PL_UNRESTRICTED;
// Copy mode of the stored-content attributes in which the table keeps its own copy.
constexpr int COPY_CONTENT = 2;

uint32_t text_length(const char* text)
{
    return text == nullptr ? 0 : static_cast<uint32_t>(strnlen(text, UINT32_MAX - 1));
}

int set_index(server_record* server, const char* name)
{
    char text[SERVER_INDEX_SIZE];
    if (name == nullptr) {
        std::snprintf(text, sizeof(text), "%s", SERVER_DEFAULT_INDEX);
    } else {
        bool separated = name[0] == '/' || name[0] == '\\';
        int length = std::snprintf(text, sizeof(text), "%s%s", separated ? "" : "/", name);
        if (length < 0 || length >= SERVER_INDEX_SIZE) {
            report("quorvel_obj_set:: quorvel_attrib_index", 17615, fault::bad_arg,
                   "index file name longer than %d characters\n", SERVER_INDEX_SIZE - 1);
            return -1;
        }
        filter_path_sep(text);
    }
    std::memcpy(server->index, text, sizeof(text));
    return 0;
}

int set_bubbles(server_record* server, const char* directory)
{
    char path[PATH_MAX];
    if (directory == nullptr) {
        if (get_exe_directory(path, sizeof(path)) != 0) {
            errno = 0;
            report("quorvel_obj_set:: quorvel_attrib_bubbles", 17625, fault::bad_arg,
                   "could not determine the directory of the executable\n");
            return -1;
        }
        size_t used = std::strlen(path);
        if (std::snprintf(path + used, sizeof(path) - used, "/bubbles") >=
            static_cast<int>(sizeof(path) - used)) {
            report("quorvel_obj_set:: quorvel_attrib_bubbles", 17628, fault::bad_arg,
                   "directory name longer than %d characters\n", PATH_MAX - 1);
            return -1;
        }
    } else {
        if (std::snprintf(path, sizeof(path), "%s", directory) >= static_cast<int>(sizeof(path))) {
            report("quorvel_obj_set:: quorvel_attrib_bubbles", 17628, fault::bad_arg,
                   "directory name longer than %d characters\n", PATH_MAX - 1);
            return -1;
        }
        filter_path_sep(path);
    }
    struct stat info;
    if (::stat(path, &info) != 0) {
        errno = 0;
        report("quorvel_obj_set:: quorvel_attrib_bubbles", 17634, fault::bad_arg,
               "directory %s does not exist\n", path);
        return -1;
    }
    if (!S_ISDIR(info.st_mode)) {
        errno = 0;
        report("quorvel_obj_set:: quorvel_attrib_bubbles", 17646, fault::bad_arg,
               "%s is a file, directory expected\n", directory != nullptr ? directory : path);
        return -1;
    }
    char* copy = str_dup_general(path);
    if (copy == nullptr)
        return -1;
    quorvel_mem_free(server->bubble_dir);
    server->bubble_dir = copy;
    return 0;
}

int set_tcpbuffsize(server_record* server, int32_t size)
{
    if (server->listener_count <= 0) {
        report("quorvel_obj_set:: quorvel_attrib_tcpbuffsize", 18085, fault::bad_arg,
               "no listeners have been defined\n");
        return -1;
    }
    for (int32_t i = 0; i < server->listener_count; ++i) {
        int rc = socket_setattr(server->listeners[i], SOCK_SNDBUF, size);
        if (rc == 0)
            rc = socket_setattr(server->listeners[i], SOCK_RCVBUF, size);
        if (rc != 0)
            return rc;
    }
    return 0;
}

int set_mime(server_record* server, const char* extension, const char* type, uint32_t encoding,
             quorvel_mime_fn handler)
{
    mime_record* row = mime_create(type, encoding, handler);
    if (row == nullptr)
        return -1;
    int rc = server_store_mime(server, extension, row);
    if (rc == 0)
        quorvel_mem_free(row); // the table's copy owns the type text now
    else
        mime_destroy(&row);
    return rc;
}

int set_uri(server_record* server, int method, const char* uri, int encoding,
            quorvel_uri_fn callback)
{
    const mime_record* mime = encoding == QUORVEL_ENC_TEXT     ? &uri_mime_text
                              : encoding == QUORVEL_ENC_BINARY ? &uri_mime_binary
                                                               : nullptr;
    if (mime == nullptr) {
        report("quorvel_obj_set:: quorvel_attrib_uri", 18016, fault::bad_arg,
               "invalid encoding type specified");
        return -1;
    }
    uri_record* record = uri_create(callback, mime);
    if (record == nullptr)
        return -1;
    htable* table = method == QUORVEL_POST  ? server->post_uris
                    : method == QUORVEL_GET ? server->get_uris
                                            : nullptr;
    if (table == nullptr) {
        quorvel_mem_free(record);
        report("quorvel_obj_set::quorvel_attrib_uri", 18042, fault::bad_arg,
               "invalid HTTP method\n");
        return -1;
    }
    int rc = htable_store(table, uri, text_length(uri), record, sizeof(*record), true, nullptr);
    quorvel_mem_free(record);
    return rc;
}

int set_uri_content(server_record* server, int method, const char* uri, const char* content,
                    int mode)
{
    if (method != QUORVEL_GET) {
        report("quorvel_obj_set:: quorvel_attrib_uri_content", 17989, fault::bad_arg,
               "invalid HTTP method\n");
        return -1;
    }
    return htable_store(server->content_cache, uri, text_length(uri), content, text_length(content),
                        mode == COPY_CONTENT, nullptr);
}

// Reports a failure of the file-loading attribute with errno cleared, so the line carries its
// own text, and sets `kind`.
#define CACHE_FAIL(id, kind, ...)                                                                  \
    do {                                                                                           \
        errno = 0;                                                                                 \
        report("quorvel_obj_set:: quorvel_attrib_uri_cache", id, kind, __VA_ARGS__);               \
    } while (0)

int set_uri_cache(server_record* server, int method, const char* uri, const char* file)
{
    if (server->root == nullptr || server->root[0] == '\0') {
        CACHE_FAIL(17838, fault::bad_arg,
                   "could not load %s, root directory must be defined first\n",
                   file != nullptr ? file : "(null)");
        return -1;
    }
    if (file == nullptr) {
        CACHE_FAIL(17848, fault::bad_arg, "content file not specified\n");
        return -1;
    }
    char path[PATH_MAX];
    int joined = std::snprintf(path, sizeof(path), "%s/%s", server->root, file);
    if (joined < 0 || joined >= static_cast<int>(sizeof(path))) {
        CACHE_FAIL(17860, fault::bad_arg, "could not load %s, path too long\n", file);
        return -1;
    }
    filter_path_sep(path + std::strlen(server->root));
    struct stat info;
    if (::stat(path, &info) != 0) {
        CACHE_FAIL(17871, fault::bad_arg, "the file %s does not exist\n", path);
        return -1;
    }
    // Only regular files: a directory or a FIFO would not read as one block.
    if (!S_ISREG(info.st_mode)) {
        CACHE_FAIL(17881, fault::bad_arg, "%s is not a file\n", path);
        return -1;
    }
    int64_t size = info.st_size;
    debug("quorvel_obj_set::quorvel_attrib_uri_cache:", 17889,
          "loading file %s of size %lld into server cache...", path, static_cast<long long>(size));
    std::FILE* f = std::fopen(path, "rbe");
    if (f == nullptr) {
        CACHE_FAIL(17962, fault::bad_arg, "could not open %s for reading", path);
        return -1;
    }
    // A stored value's size is 32 bits, and the block needs one byte more.
    auto* block = size < UINT32_MAX ? static_cast<char*>(general_alloc(size_t(size) + 1)) : nullptr;
    if (block == nullptr) {
        std::fclose(f);
        CACHE_FAIL(17947, fault::none, "insufficient memory to perform operation\n");
        errno = ENOMEM;
        set_last_error(LAST_BAD_ARGUMENTS);
        return -1;
    }
    size_t got = std::fread(block, 1, static_cast<size_t>(size), f);
    std::fclose(f);
    if (got != static_cast<size_t>(size)) {
        quorvel_mem_free(block);
        CACHE_FAIL(17937, fault::bad_arg, "could not read %lld bytes from %s",
                   static_cast<long long>(size), path);
        return -1;
    }
    if (method != QUORVEL_GET) {
        quorvel_mem_free(block);
        CACHE_FAIL(17923, fault::bad_arg, "invalid HTTP method\n");
        return -1;
    }
    // The table always keeps its own copy: a block it only referred to would never be
    // released.
    int rc = htable_store(server->content_cache, uri, text_length(uri), block,
                          static_cast<uint32_t>(size), true, nullptr);
    quorvel_mem_free(block);
    return rc;
}

#undef CACHE_FAIL

int set_afipv(server_record* server, uint32_t families, int mode, uint32_t levels)
{
    if (server->listener_count <= 0) {
        report("quorvel_obj_set:: quorvel_attrib_afipv", 17682, fault::bad_arg,
               "no listeners specified\n");
        return -1;
    }
    int result = 0;
    for (int32_t i = 0; i < server->listener_count; ++i) {
        socket* s = server->listeners[i];
        if (mode == SOCK_SET) {
            if ((families & (SOCK_IPV6 | SOCK_IPV4)) == 0) {
                errno = 0; // each listener's line carries its own text
                report("quorvel_obj_set:: quorvel_attrib_afipv", 17764, fault::bad_arg,
                       "no AF specified\n");
                result = -1;
                continue;
            }
            s->flags &= ~uint32_t{SOCK_IPV6 | SOCK_IPV4};
            if (families & SOCK_IPV6) {
                s->flags &= ~PROTECTION_BITS;
                s->flags |= SOCK_IPV6 | (levels == 0 ? PROTECTION_BITS : levels & PROTECTION_BITS);
            }
            if (families & SOCK_IPV4)
                s->flags |= SOCK_IPV4;
        } else if (mode == SOCK_CLR) {
            if (families & SOCK_IPV4)
                s->flags &= ~uint32_t{SOCK_IPV4};
            if ((families & SOCK_IPV6) && (s->flags & SOCK_IPV6))
                s->flags &= ~(SOCK_IPV6 | PROTECTION_BITS);
        } else {
            errno = 0;
            report("quorvel_obj_set:: quorvel_attrib_afipv", 17807, fault::bad_arg,
                   "invalid third parameter, expecting a SOCK_SET or a SOCK_CLR\n");
            result = -1;
        }
    }
    return result;
}

int set_server(server_record* server, int attribute, va_list args)
{
    // Whatever a server keeps must survive the calling thread's heap resets.
    general_alloc_scope general;
    switch (attribute) {
    case quorvel_attrib_mime: {
        const char* extension = va_arg(args, const char*);
        const char* type = va_arg(args, const char*);
        unsigned encoding = va_arg(args, unsigned);
        auto handler = va_arg(args, quorvel_mime_fn);
        return set_mime(server, extension, type, encoding, handler);
    }
    case quorvel_attrib_index:
        return set_index(server, va_arg(args, const char*));
    case quorvel_attrib_ssi:
    case quorvel_attrib_dirlist: {
        uint32_t bit = attribute == quorvel_attrib_ssi ? SERVER_SSI : SERVER_DIRLIST;
        if (va_arg(args, int) != 0)
            server->flags |= bit;
        else
            server->flags &= ~bit;
        return 0;
    }
    case quorvel_attrib_tcpbuffsize:
        return set_tcpbuffsize(server, va_arg(args, int));
    case quorvel_attrib_listener:
        return httpsrv_add_listener(server, va_arg(args, int), nullptr);
    case quorvel_attrib_ssl:
        set_ssl_initialized(true);
        return 0;
    case quorvel_attrib_bubbles:
        return set_bubbles(server, va_arg(args, const char*));
    case quorvel_attrib_uri: {
        int method = va_arg(args, int);
        const char* uri = va_arg(args, const char*);
        int encoding = va_arg(args, int);
        auto callback = va_arg(args, quorvel_uri_fn);
        return set_uri(server, method, uri, encoding, callback);
    }
    case quorvel_attrib_uri_content:
    case quorvel_attrib_uri_cache: {
        int method = va_arg(args, int);
        const char* uri = va_arg(args, const char*);
        const char* text = va_arg(args, const char*);
        int mode = va_arg(args, int);
        if (attribute == quorvel_attrib_uri_content)
            return set_uri_content(server, method, uri, text, mode);
        return set_uri_cache(server, method, uri, text);
    }
    case quorvel_attrib_afipv: {
        unsigned families = va_arg(args, unsigned);
        int mode = va_arg(args, int);
        unsigned levels = va_arg(args, unsigned);
        return set_afipv(server, families, mode, levels);
    }
    case quorvel_attrib_listener_addr: {
        int port = va_arg(args, int);
        const char* address = va_arg(args, const char*);
        if (address == nullptr) {
            report("quorvel_obj_set:: quorvel_attrib_listener_addr", 18110, fault::bad_arg,
                   "null argument passed\n");
            return -1;
        }
        return httpsrv_add_listener(server, port, address);
    }
    default:
        report("quorvel_obj_set", 18152, fault::bad_arg,
               "provided attribute does not correspond with object\n");
        return -1;
    }
}

int set_system(int attribute, va_list args)
{
    switch (attribute) {
    case quorvel_attrib_tcpbuffsize: {
        int size = va_arg(args, int);
        if (set_default_tcp_buffer_size(size) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_tcpbuffsize", 17575, fault::bad_arg,
                   "invalid buffer size %d, expecting bytes above 0\n", size);
            return -1;
        }
        return 0;
    }
    case quorvel_attrib_threadheap: {
        int size = va_arg(args, int);
        if (set_handler_heap_size(size) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_threadheap", 17580, fault::bad_arg,
                   "invalid thread heap size %d, expecting bytes above 0\n", size);
            return -1;
        }
        return 0;
    }
    case 9:
        return 0;
    case quorvel_attrib_request_timeout: {
        int seconds = va_arg(args, int);
        if (set_request_timeout_seconds(seconds) != 0) {
            report("quorvel_obj_set:: quorvel_attrib_request_timeout", 17585, fault::bad_arg,
                   "invalid time-out %d, expecting seconds above 0\n", seconds);
            return -1;
        }
        return 0;
    }
    default:
        report("quorvel_obj_set", 17594, fault::bad_arg, "invalid attribute for object\n");
        return -1;
    }
}

int buffer_capacity(const socket* s)
{
    if (s == nullptr || s->buffer == nullptr)
        return 0;
    return static_cast<int>(s->buffer->capacity);
}

// `name` cut to NAME_LIMIT characters and upper-cased, as the request's tables key it.
void table_key(const char* name, char (&key)[NAME_LIMIT + 1])
{
    std::snprintf(key, sizeof(key), "%.*s", NAME_LIMIT, name);
    str_upper(key);
}

// Copies the value stored under the upper-cased `name` into `out`, always leaving room for a
// terminator (a value of `size` bytes or more does not fit). htable_getcopy's result.
int get_value(const htable* table, const char* name, char* out, int size)
{
    if (out != nullptr && size > 0)
        std::memset(out, 0, static_cast<size_t>(size));
    uint32_t room = size > 1 ? static_cast<uint32_t>(size - 1) : 0;
    if (name == nullptr || out == nullptr || room == 0)
        return htable_getcopy(table, name, 0, out, room);
    if (table == nullptr)
        return -1; // a request without such a table (no POST body) holds no such value
    char key[NAME_LIMIT + 1];
    table_key(name, key);
    return htable_getcopy(table, key, static_cast<uint32_t>(std::strlen(key)), out, room);
}

int get_value_ref(const htable* table, const char* name, char** value, unsigned* size)
{
    if (name == nullptr || value == nullptr || size == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    *value = nullptr;
    *size = 0;
    if (table == nullptr)
        return -1;
    char key[NAME_LIMIT + 1];
    table_key(name, key);
    uint32_t stored = 0;
    void* found = htable_getref(table, key, static_cast<uint32_t>(std::strlen(key)), &stored);
    if (found == nullptr)
        return -1;
    *value = static_cast<char*>(found);
    *size = stored;
    return 0;
}

// Copies `text` into `out` of `size` bytes; when it does not fit with its terminator, empties
// `out`, writes the place's line and sets ENOMEM.
int put_text(std::string_view text, char* out, int size, const char* fn, int id, const char* line)
{
    if (out == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    if (size <= 0 || text.size() >= static_cast<size_t>(size)) {
        if (size > 0)
            out[0] = '\0';
        report(fn, id, fault::none, "%s", line);
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return 0;
}

// `path` cut before its last '/', "/" when that slash is the first character, and unchanged
// without one.
std::string_view parent_of(std::string_view path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return path;
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

int get_connection(request_data* request, int attribute, va_list args)
{
    switch (attribute) {
    case quorvel_attrib_header:
    case quorvel_attrib_post: {
        const char* name = va_arg(args, const char*);
        char* out = va_arg(args, char*);
        int size = va_arg(args, int);
        return get_value(attribute == quorvel_attrib_header ? request->headers : request->post_vars,
                         name, out, size);
    }
    case quorvel_attrib_tcpbuffsize:
        return buffer_capacity(request->sock);
    case quorvel_attrib_uri:
    case quorvel_uri_path:
    case quorvel_attrib_local_url:
    case quorvel_attrib_local_url_path: {
        char* out = va_arg(args, char*);
        int size = va_arg(args, int);
        bool local =
            attribute == quorvel_attrib_local_url || attribute == quorvel_attrib_local_url_path;
        if (local && out != nullptr && size > 0)
            out[0] = '\0';
        const char* text = local ? request->local_path : request->uri;
        if (text == nullptr || out == nullptr) {
            set_fault(fault::bad_arg);
            return -1;
        }
        switch (attribute) {
        case quorvel_attrib_uri:
            return put_text(text, out, size, "quorvel_obj_get::quorvel_attrib_uri", 18416,
                            "storage size to receive URL too small\n");
        case quorvel_uri_path:
            return put_text(parent_of(text), out, size, "quorvel_obj_get::quorvel_uri_path", 18377,
                            "storage to receive URI path too small\n");
        case quorvel_attrib_local_url:
            return put_text(text, out, size, "quorvel_obj_set:: quorvel_attrib_local_url", 18312,
                            "storage size to receive URL too small\n");
        default:
            return put_text(parent_of(text), out, size,
                            "quorvel_obj_get:: quorvel_attrib_local_url_path", 18342,
                            "storage size to receive URL too small\n");
        }
    }
    case quorvel_attrib_post_ref: {
        const char* name = va_arg(args, const char*);
        char** value = va_arg(args, char**);
        unsigned* size = va_arg(args, unsigned*);
        return get_value_ref(request->post_vars, name, value, size);
    }
    default:
        report("quorvel_obj_get", 18507, fault::bad_arg,
               "provided attribute does not correspond with object\n");
        return -1;
    }
}

int get_server_status(const envelope* object, int wait_ms)
{
    if ((object->flags & ENVELOPE_STARTED) == 0) {
        report("quorvel_obj_get:: quorvel_attrib_status", 18525, fault::bad_arg,
               "server has not been started\n");
        return -1;
    }
    if (wait_ms < 0) {
        report("quorvel_obj_get:: quorvel_attrib_status", 18527, fault::bad_arg,
               "invalid wait time %d, expecting milliseconds from 0\n", wait_ms);
        return -1;
    }
    uint32_t state = server_wait_state(static_cast<server_record*>(object->object), wait_ms);
    clear_errors();
    return static_cast<int>(state);
}

} // namespace

} // namespace quorvel

using namespace quorvel;

extern "C" QUORVEL_API int quorvel_obj_set(envelope* object, int attribute, ...) noexcept
{
    clear_errors();
    if (object == nullptr || (object->object == nullptr && object->type != quorvel_obj_sys)) {
        report("quorvel_obj_set", 17546, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (object->flags & ENVELOPE_LOCKED) {
        report("quorvel_obj_set", object->type == quorvel_obj_sys ? 17557 : 17542, fault::bad_arg,
               "object modification access denied\n");
        return -1;
    }
    va_list args;
    va_start(args, attribute);
    int result = -1;
    switch (object->type) {
    case quorvel_obj_server:
        result = set_server(static_cast<server_record*>(object->object), attribute, args);
        break;
    case quorvel_obj_connection:
        // Response headers, caching and cookies are written by the callback output calls.
        report("quorvel_obj_set", 18206, fault::bad_arg,
               "provided attribute does not correspond with object\n");
        break;
    case quorvel_obj_sys:
        result = set_system(attribute, args);
        break;
    default:
        report("quorvel_obj_set", 18216, fault::bad_arg,
               "operation not supported for provided object\n");
        break;
    }
    va_end(args);
    return result;
}

extern "C" QUORVEL_API int quorvel_obj_get(envelope* object, int attribute, ...) noexcept
{
    clear_errors();
    if (object == nullptr || object->object == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    va_list args;
    va_start(args, attribute);
    int result = -1;
    if (object->type == quorvel_obj_connection) {
        result = get_connection(static_cast<request_data*>(object->object), attribute, args);
    } else if (object->type == quorvel_obj_stream) {
        if (attribute == quorvel_attrib_tcpbuffsize)
            result = buffer_capacity(static_cast<socket*>(object->object));
        else
            report("quorvel_obj_get", 18276, fault::bad_arg,
                   "provided attribute does not correspond with object\n");
    } else if (object->type == quorvel_obj_server && attribute == quorvel_attrib_status) {
        result = get_server_status(object, va_arg(args, int));
    } else {
        report("quorvel_obj_get", 18517, fault::bad_arg,
               "operation not supported for provided object\n");
    }
    va_end(args);
    return result;
}
