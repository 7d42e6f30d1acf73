// Configuring a server before its start: the index file, the bubble directory, listener
// options, MIME types, URIs mapped to host functions or to stored content, and address
// families. Whatever a server keeps comes from the general allocator.
#include "http/config.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/strings.h"
#include "http/server.h"
#include "net/socket.h"
#include "platform/files.h"
#include "quorvel.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace quorvel {

namespace {

constexpr uint32_t PROTECTION_BITS = SOCK_PL_RESTRICTED | SOCK_PL_EDGE | SOCK_PL_UNRESTRICTED;
// Copy mode of the stored-content attributes in which the table keeps its own copy.
constexpr int COPY_CONTENT = 2;

uint32_t text_length(const char* text)
{
    return text == nullptr ? 0 : static_cast<uint32_t>(strnlen(text, UINT32_MAX - 1));
}

} // namespace

int httpsrv_set_index(server_record* server, const char* name)
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

int httpsrv_set_bubbles(server_record* server, const char* directory)
{
    char path[PATH_MAX];
    if (directory == nullptr) {
        if (get_exe_directory(path, sizeof(path)) != 0) {
            report_text("quorvel_obj_set:: quorvel_attrib_bubbles", 17625, fault::bad_arg,
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
        report_text("quorvel_obj_set:: quorvel_attrib_bubbles", 17634, fault::bad_arg,
                    "directory %s does not exist\n", path);
        return -1;
    }
    if (!S_ISDIR(info.st_mode)) {
        report_text("quorvel_obj_set:: quorvel_attrib_bubbles", 17646, fault::bad_arg,
                    "%s is a file, directory expected\n", directory != nullptr ? directory : path);
        return -1;
    }
    char* copy = str_dup_general(path);
    if (copy == nullptr)
        return -1;
    mem_free(server->bubble_dir);
    server->bubble_dir = copy;
    return 0;
}

int httpsrv_set_tcpbuffsize(server_record* server, int32_t size)
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

int httpsrv_set_mime(server_record* server, const char* extension, const char* type,
                     uint32_t encoding, quorvel_mime_fn handler)
{
    mime_record* row = mime_create(type, encoding, handler);
    if (row == nullptr)
        return -1;
    int rc = server_store_mime(server, extension, row);
    if (rc == 0)
        mem_free(row); // the table's copy owns the type text now
    else
        mime_destroy(&row);
    return rc;
}

int httpsrv_set_uri(server_record* server, int method, const char* uri, int encoding,
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
        mem_free(record);
        report("quorvel_obj_set::quorvel_attrib_uri", 18042, fault::bad_arg,
               "invalid HTTP method\n");
        return -1;
    }
    int rc = htable_store(table, uri, text_length(uri), record, sizeof(*record), true, nullptr);
    mem_free(record);
    return rc;
}

int httpsrv_set_uri_content(server_record* server, int method, const char* uri, const char* content,
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

int httpsrv_set_uri_cache(server_record* server, int method, const char* uri, const char* file)
{
    if (server->root == nullptr || server->root[0] == '\0') {
        report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17838, fault::bad_arg,
                    "could not load %s, root directory must be defined first\n",
                    file != nullptr ? file : "(null)");
        return -1;
    }
    if (file == nullptr) {
        report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17848, fault::bad_arg,
                    "content file not specified\n");
        return -1;
    }
    char path[PATH_MAX];
    int joined = std::snprintf(path, sizeof(path), "%s/%s", server->root, file);
    if (joined < 0 || joined >= static_cast<int>(sizeof(path))) {
        report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17860, fault::bad_arg,
                    "could not load %s, path too long\n", file);
        return -1;
    }
    filter_path_sep(path + std::strlen(server->root));
    // Only regular files: a directory or a FIFO would not read as one block, and a FIFO would
    // hold the caller in open.
    struct stat info {};
    file_guard f(open_regular_stream(path, &info));
    if (!f) {
        if (errno == ENOENT || errno == ENOTDIR)
            report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17871, fault::bad_arg,
                        "the file %s does not exist\n", path);
        else if (info.st_mode != 0)
            report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17881, fault::bad_arg,
                        "%s is not a file\n", path);
        else
            report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17962, fault::bad_arg,
                        "could not open %s for reading", path);
        return -1;
    }
    int64_t size = info.st_size;
    debug("quorvel_obj_set::quorvel_attrib_uri_cache:", 17889,
          "loading file %s of size %lld into server cache...", path, static_cast<long long>(size));
    // A stored value's size is 32 bits, and the block needs one byte more.
    auto* block = size < UINT32_MAX ? static_cast<char*>(general_alloc(size_t(size) + 1)) : nullptr;
    if (block == nullptr) {
        report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17947, fault::none,
                    "insufficient memory to perform operation\n");
        errno = ENOMEM;
        set_last_error(LAST_BAD_ARGUMENTS);
        return -1;
    }
    scope_guard release([block] { mem_free(block); });
    if (std::fread(block, 1, static_cast<size_t>(size), f.get()) != static_cast<size_t>(size)) {
        report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17937, fault::bad_arg,
                    "could not read %lld bytes from %s", static_cast<long long>(size), path);
        return -1;
    }
    if (method != QUORVEL_GET) {
        report_text("quorvel_obj_set:: quorvel_attrib_uri_cache", 17923, fault::bad_arg,
                    "invalid HTTP method\n");
        return -1;
    }
    // The table always keeps its own copy: a block it only referred to would never be
    // released.
    return htable_store(server->content_cache, uri, text_length(uri), block,
                        static_cast<uint32_t>(size), true, nullptr);
}

int httpsrv_set_afipv(server_record* server, uint32_t families, int mode, uint32_t levels)
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
                report_text("quorvel_obj_set:: quorvel_attrib_afipv", 17764, fault::bad_arg,
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
            report_text("quorvel_obj_set:: quorvel_attrib_afipv", 17807, fault::bad_arg,
                        "invalid third parameter, expecting a SOCK_SET or a SOCK_CLR\n");
            result = -1;
        }
    }
    return result;
}

} // namespace quorvel
