// Path resolution: mapped URIs first (exact path, then the pattern keys), else the file
// system under the root. A path is refused before it is joined to the root when it holds
// "..", and access files are never answered, so a request cannot leave the root or read the
// rules that guard it. Only regular files are served: a FIFO would block the handler.
#include "http/resolve.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/directory.h"
#include "foundation/htable.h"
#include "foundation/paths.h"
#include "foundation/strings.h"
#include "http/access.h"
#include "http/dir.h"
#include "http/request.h"
#include "http/server.h"
#include "http/status.h"
#include "platform/files.h"
#include "quorvel.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

constexpr size_t TEXT_PROBE_SIZE = 256;

// True when an open failed because the process or the system has no descriptor left: the
// file is not at fault, the server is.
bool out_of_descriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

// is_text_file on an open file, read from its start without moving its position.
bool is_text_fd(int fd)
{
    unsigned char probe[TEXT_PROBE_SIZE];
    size_t got = 0;
    while (got < sizeof(probe)) {
        ssize_t n = ::pread(fd, probe + got, sizeof(probe) - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got == 0)
        return false;
    for (size_t i = 0; i < got; ++i) {
        unsigned char c = probe[i];
        if (!((c > 31 && c < 127) || c == '\r' || c == '\n' || c == '\t'))
            return false;
    }
    return true;
}

int fail(request_data* request, uint32_t status)
{
    request->flags |= REQUEST_FAILED;
    request->status = status;
    return -1;
}

void set_status(uint32_t* status, uint32_t value)
{
    if (status != nullptr)
        *status = value;
}

// The root, a '/' unless the path starts with a separator, and the path, with '\\' turned
// into '/', in `out`: 0; or, when that does not fit in `size` bytes, the length root and
// path would need (at least 1), with `out` left as it was.
int join_root(const char* root, const char* path, char* out, int size)
{
    size_t root_length = std::strlen(root);
    size_t path_length = std::strlen(path);
    bool separator = path[0] != '/' && path[0] != '\\';
    if (root_length + separator + path_length + 1 > static_cast<size_t>(size)) {
        size_t needed = root_length + path_length;
        return needed > INT_MAX ? INT_MAX : (needed == 0 ? 1 : static_cast<int>(needed));
    }
    std::memcpy(out, root, root_length);
    size_t used = root_length;
    if (separator)
        out[used++] = '/';
    std::memcpy(out + used, path, path_length + 1);
    filter_path_sep(out);
    return 0;
}

bool has_root(const server_record* server)
{
    return server != nullptr && server->root != nullptr && server->root[0] != '\0';
}

// The entry stored under `key` and its size, NULL when absent (a missing table holds nothing).
void* lookup(const htable* table, const char* key, uint32_t* size)
{
    if (table == nullptr || key == nullptr || key[0] == '\0')
        return nullptr;
    return htable_getref(table, key, static_cast<uint32_t>(std::strlen(key)), size);
}

// The entry for the path itself, else for the first pattern key that has one; its size
// through `size` when given.
void* lookup_uri(const htable* table, const char* path, const uri_keys& keys,
                 uint32_t* size = nullptr)
{
    void* hit = lookup(table, path, size);
    for (int i = 0; hit == nullptr && i < URI_KEY_COUNT; ++i)
        hit = lookup(table, keys.key[i], size);
    return hit;
}

const mime_record* lookup_mime(const server_record* server, std::string_view key)
{
    if (server->mime_table == nullptr || key.empty())
        return nullptr;
    return static_cast<const mime_record*>(
        htable_getref(server->mime_table, key.data(), static_cast<uint32_t>(key.size()), nullptr));
}

// The MIME key of a path: the extension of its last segment, else that segment's name (as
// split_uri divides them, without its length bound).
std::string_view mime_key(const char* path)
{
    std::string_view p = path;
    size_t slash = p.rfind('/');
    if (p.size() < 2 || slash == std::string_view::npos)
        return {};
    std::string_view segment = p.substr(slash + 1);
    size_t dot = segment.find('.');
    return dot == std::string_view::npos ? segment : segment.substr(dot + 1);
}

bool ends_with_index(const char* path, const char* index)
{
    char wanted[SERVER_INDEX_SIZE];
    if (std::snprintf(wanted, sizeof(wanted), "%s", index) >= static_cast<int>(sizeof(wanted)))
        return false;
    filter_path_sep(wanted);
    std::string_view p = path;
    std::string_view w = wanted;
    if (w.size() < 2 || w[0] != '/')
        return false;
    return p.size() > w.size() && p.ends_with(w);
}

void file_error(const char* path, int error)
{
    char text[256];
    char shown[RESOLVED_PATH_SIZE];
    report_line("error: file %s, %s\n", ::strerror_r(error, text, sizeof(text)),
                log_safe(path, shown, sizeof(shown)));
}

// A mapping never publishes what the file system guards: the access file that would govern a
// file at `path` under the root governs the stored answer or function mapped there too. A
// path that cannot be placed under the root is refused: a ".." segment as unauthorized, a
// path too long as a bad request. False when the request was refused and marked so.
bool mapping_cleared(request_data* request, const char* path)
{
    const server_record* server = request->server;
    if (!has_root(server))
        return true;
    std::string_view rest = path;
    bool parent = false;
    while (!parent && !rest.empty()) {
        size_t end = rest.find('/');
        parent = rest.substr(0, end) == "..";
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    if (parent) {
        fail(request, STATUS_AUTH_REQUIRED);
        return false;
    }
    char local[RESOLVED_PATH_SIZE];
    if (join_root(server->root, path, local, sizeof(local)) != 0) {
        fail(request, STATUS_BAD_REQUEST);
        return false;
    }
    struct stat st {};
    int is_dir = ::stat(local, &st) == 0 && S_ISDIR(st.st_mode);
    return http_check_htaccess(request, local, is_dir) == 0;
}

// The request path of the index file in the directory `path`: one '/' between them.
char* index_uri(const char* path, const char* index)
{
    std::string_view directory = path;
    while (!directory.empty() && directory.back() == '/')
        directory.remove_suffix(1);
    size_t index_length = std::strlen(index);
    auto* uri = static_cast<char*>(
        mem_alloc_uncleared(static_cast<uint32_t>(directory.size() + index_length + 1)));
    if (uri == nullptr)
        return nullptr;
    std::memcpy(uri, directory.data(), directory.size());
    std::memcpy(uri + directory.size(), index, index_length + 1);
    return uri;
}

// What open_index found.
struct index_file {
    int fd;    // the open file, or -1
    int error; // why a file that is there could not be opened; 0 when it is not there
    struct stat status;
};

// The index file of the directory at `out` (`size` bytes), opened: then `out` names the file.
// Missing, or no regular file: fd -1, error 0. There but not readable: fd -1 and the error.
// An index name that would leave the directory or name an access file is never looked for.
index_file open_index(char* out, int size, const char* index)
{
    index_file found{-1, 0, {}};
    if (index[0] != '/' || std::strstr(index, "..") != nullptr || names_access_file(index))
        return found;
    size_t length = std::strlen(out);
    while (length > 0 && out[length - 1] == '/')
        --length;
    size_t index_length = std::strlen(index);
    if (length + index_length + 1 > static_cast<size_t>(size))
        return found;
    char candidate[RESOLVED_PATH_SIZE];
    if (length + index_length + 1 > sizeof(candidate))
        return found;
    std::memcpy(candidate, out, length);
    std::memcpy(candidate + length, index, index_length + 1);
    int fd = ::open(candidate, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) {
        if (errno != ENOENT && errno != ENOTDIR)
            found.error = errno;
        errno = 0;
        return found;
    }
    if (::fstat(fd, &found.status) != 0 || !S_ISREG(found.status.st_mode)) {
        ::close(fd);
        errno = 0;
        return found;
    }
    std::memcpy(out, candidate, length + index_length + 1);
    found.fd = fd;
    return found;
}

} // namespace

bool names_access_file(const char* path)
{
    if (path == nullptr)
        return false;
    std::string_view rest = path;
    std::string_view last;
    while (!rest.empty()) {
        size_t end = rest.find_first_of("/\\");
        std::string_view segment = rest.substr(0, end);
        if (!segment.empty() && segment != ".")
            last = segment;
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return last.starts_with(".ht");
}

void split_uri(const char* path, uri_parts* parts)
{
    parts->text[0] = '\0';
    parts->segment[0] = '\0';
    parts->name = nullptr;
    parts->ext = nullptr;
    if (path == nullptr || path[0] == '\0')
        return;
    size_t length = std::strlen(path);
    if (length == 1) {
        parts->text[0] = path[0];
        parts->text[1] = '\0';
        return;
    }
    // A path too long for the parts forms no keys; it is still resolved as it stands.
    if (length >= sizeof(parts->text))
        return;
    std::memcpy(parts->text, path, length + 1);
    char* slash = std::strrchr(parts->text, '/');
    if (slash == nullptr)
        return;
    std::memcpy(parts->segment, slash + 1, std::strlen(slash + 1) + 1);
    slash[1] = '\0';
    parts->name = parts->segment;
    char* dot = std::strchr(parts->segment, '.');
    if (dot != nullptr) {
        *dot = '\0';
        parts->ext = dot + 1;
    }
}

void make_uri_keys(const uri_parts* parts, uri_keys* keys)
{
    for (auto& key : keys->key)
        key[0] = '\0';
    const char* name = parts->name;
    const char* ext = parts->ext;
    const char* text = parts->text;
    bool has_text = text[0] != '\0';
    auto form = [keys](int i, size_t bound, int n) {
        if (n < 0 || static_cast<size_t>(n) >= bound)
            keys->key[i][0] = '\0';
    };
    if (name != nullptr) {
        form(0, URI_FIRST_KEY_SIZE, std::snprintf(keys->key[0], URI_FIRST_KEY_SIZE, "*%s", name));
        form(1, URI_PARTS_SIZE, std::snprintf(keys->key[1], URI_PARTS_SIZE, "*%s.*", name));
    }
    if (name != nullptr && has_text)
        form(2, URI_PARTS_SIZE, std::snprintf(keys->key[2], URI_PARTS_SIZE, "%s%s.*", text, name));
    if (has_text)
        form(3, URI_PARTS_SIZE, std::snprintf(keys->key[3], URI_PARTS_SIZE, "%s*.*", text));
    if (has_text && ext != nullptr)
        form(4, URI_PARTS_SIZE, std::snprintf(keys->key[4], URI_PARTS_SIZE, "%s*.%s", text, ext));
    if (name != nullptr && ext != nullptr)
        form(5, URI_PARTS_SIZE, std::snprintf(keys->key[5], URI_PARTS_SIZE, "*%s.%s", name, ext));
    if (has_text)
        form(6, URI_PARTS_SIZE, std::snprintf(keys->key[6], URI_PARTS_SIZE, "%s*", text));
}

int map_uri(request_data* request, const char* path)
{
    clear_errors();
    if (request == nullptr)
        return -1;
    const server_record* server = request->server;
    if (path == nullptr || server == nullptr) {
        report("map_uri", 14391, fault::bad_arg, "null argument passed\n");
        return fail(request, STATUS_INTERNAL);
    }
    char* work = str_dup(path);
    if (work == nullptr)
        return fail(request, STATUS_INTERNAL);
    scope_guard release([work] { mem_free(work); });
    filter_path_sep(work);
    char shown[RESOLVED_PATH_SIZE];
    if (names_access_file(work)) {
        report("map_uri", 14396, fault::none, "access to %s forbidden\n",
               log_safe(work, shown, sizeof(shown)));
        return fail(request, STATUS_FORBIDDEN);
    }

    uri_parts parts;
    uri_keys keys;
    split_uri(work, &parts);
    make_uri_keys(&parts, &keys);
    // Only a path that names no file gets the index; one too long to split is still a file.
    const char* effective = work;
    if (parts.name == nullptr && std::strlen(work) < URI_PARTS_SIZE)
        effective = server->index;

    request->uri = str_dup(effective);
    request->local_path = nullptr;
    if (request->uri == nullptr)
        return fail(request, STATUS_INTERNAL);

    void* hit = nullptr;
    uint32_t kind = KIND_FUNCTION;
    if (request->flags == REQUEST_POST) {
        hit = lookup_uri(server->post_uris, effective, keys);
    } else if (request->flags == REQUEST_GET || request->flags == REQUEST_HEAD) {
        // HEAD is answered as GET is, without the body.
        hit = lookup_uri(server->get_uris, effective, keys);
        if (hit == nullptr) {
            hit = lookup_uri(server->content_cache, effective, keys, &request->content_size);
            kind = KIND_CONTENT;
        }
    }

    if (hit != nullptr) {
        request->target = hit;
        request->kind = kind;
        char local[RESOLVED_PATH_SIZE];
        if (map_local_path(server, effective, local, sizeof(local)) == 0)
            request->local_path = str_dup(local);
        if (!mapping_cleared(request, effective))
            return -1;
    } else {
        char resolved[RESOLVED_PATH_SIZE];
        uint32_t status = STATUS_INTERNAL;
        int is_dir = 0;
        resolved_file file{-1, 0, 0, 0};
        int resolved_rc = httpsrv_rslvpath(resolved, effective, server, sizeof(resolved), &status,
                                           &is_dir, &file);
        // Nothing on this system has a path longer than the buffer: the request is at fault.
        if (resolved_rc > 0)
            return fail(request, STATUS_BAD_REQUEST);
        if (resolved_rc != 0)
            return fail(request, status);
        // The handle goes with the record from here on, so every way out closes it.
        if (file.fd != -1) {
            request->file_open = 1;
            request->file_fd = file.fd;
            request->file_mtime = file.mtime;
        }
        // The index file answers for its directory: the request names that file from here on.
        if (file.indexed) {
            char* named = index_uri(effective, server->index);
            if (named == nullptr)
                return fail(request, STATUS_INTERNAL);
            mem_free(request->uri);
            request->uri = named;
        }
        if (http_check_htaccess(request, resolved, is_dir) != 0)
            return -1;
        char* local = str_dup(resolved);
        if (local == nullptr)
            return fail(request, STATUS_INTERNAL);
        request->target = local;
        request->local_path = local;
        request->kind = is_dir ? KIND_DIRECTORY : KIND_FILE;
        request->file_size = is_dir ? 0 : file.size;
    }

    const mime_record* mime = nullptr;
    if (request->kind == KIND_FUNCTION)
        mime = static_cast<const uri_record*>(request->target)->mime;
    if (mime == nullptr) {
        mime = lookup_mime(server, request->kind == KIND_DIRECTORY ? std::string_view("html")
                                                                   : mime_key(request->uri));
        // The file resolution left open is read, so a full descriptor table cannot change
        // the type.
        if (mime == nullptr && request->kind == KIND_FILE &&
            (request->file_open ? is_text_fd(request->file_fd) : is_text_file(request->local_path)))
            mime = lookup_mime(server, "unknown_txt");
        if (mime == nullptr)
            mime = lookup_mime(server, "unknown");
    }
    if (mime == nullptr)
        return fail(request, STATUS_INTERNAL);
    request->mime = mime;
    return 0;
}

int httpsrv_rslvpath(char* out, const char* path, const server_record* server, int size,
                     uint32_t* status, int* is_dir, resolved_file* file)
{
    if (is_dir != nullptr)
        *is_dir = 0;
    if (!has_root(server)) {
        if (out != nullptr && size > 0)
            out[0] = '\0';
        file_error(path, ENOENT);
        set_last_error(LAST_FILE_NOT_FOUND);
        set_status(status, STATUS_NOT_FOUND);
        return -1;
    }
    clear_errors();
    if (path == nullptr || out == nullptr || size <= 0) {
        report("httpsrv_rslvpath", 14492, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    std::memset(out, 0, static_cast<size_t>(size));
    char shown[RESOLVED_PATH_SIZE];
    if (std::strstr(path, "..") != nullptr) {
        report("httpsrv_rslvpath", 14503, fault::bad_arg,
               "invalid path \"%s\", \"..\" not allowed\n", log_safe(path, shown, sizeof(shown)));
        set_status(status, STATUS_UNAUTHORIZED);
        return -1;
    }
    if (names_access_file(path)) {
        report("httpsrv_rslvpath", 14508, fault::bad_arg, "access to %s forbidden\n",
               log_safe(path, shown, sizeof(shown)));
        set_status(status, STATUS_FORBIDDEN);
        return -1;
    }
    if (int needed = join_root(server->root, path, out, size); needed != 0) {
        report("httpsrv_rslvpath", 14516, fault::too_small, "provided buffer is too small\n");
        set_status(status, STATUS_INTERNAL);
        return needed;
    }

    // One open tells whether the path exists, what it is and whether the server may read it;
    // O_NONBLOCK keeps a FIFO or device from holding the handler.
    struct stat st {};
    int fd = ::open(out, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int opened_errno = errno;
    if (fd != -1 && ::fstat(fd, &st) != 0) {
        opened_errno = errno;
        ::close(fd);
        fd = -1;
    }
    bool exists =
        fd != -1 || (opened_errno != ENOENT && opened_errno != ENOTDIR && ::stat(out, &st) == 0);
    if (!exists) {
        int error = opened_errno;
        // A missing index file falls back to the directory that should have held it.
        bool fallback = server->index[0] != '\0' && (server->flags & SERVER_DIRLIST) &&
                        ends_with_index(out, server->index);
        if (fallback) {
            *std::strrchr(out, '/') = '\0';
            fallback = ::stat(out, &st) == 0 && S_ISDIR(st.st_mode);
            if (!fallback && errno != 0)
                error = errno;
        }
        if (!fallback) {
            file_error(path, error);
            std::memset(out, 0, static_cast<size_t>(size));
            errno = error;
            set_last_error(LAST_FILE_NOT_FOUND);
            set_status(status, STATUS_NOT_FOUND);
            return -1;
        }
    }
    errno = 0;
    if (S_ISDIR(st.st_mode) && fd != -1) {
        ::close(fd);
        fd = -1;
    }
    if (S_ISDIR(st.st_mode) && (server->flags & SERVER_DIR_INDEX)) {
        index_file found = open_index(out, size, server->index);
        if (found.fd != -1) {
            if (file != nullptr)
                *file = resolved_file{found.fd, static_cast<uint64_t>(found.status.st_size),
                                      static_cast<int64_t>(found.status.st_mtime), 1};
            else
                ::close(found.fd);
            return 0;
        }
        if (found.error != 0) {
            file_error(path, found.error);
            std::memset(out, 0, static_cast<size_t>(size));
            errno = found.error;
            set_status(status,
                       out_of_descriptors(found.error) ? STATUS_INTERNAL : STATUS_UNAUTHORIZED);
            return -1;
        }
    }

    if (!S_ISDIR(st.st_mode)) {
        // Only a regular file the server could open for reading is served.
        if (fd != -1 && S_ISREG(st.st_mode)) {
            if (file != nullptr)
                *file = resolved_file{fd, static_cast<uint64_t>(st.st_size),
                                      static_cast<int64_t>(st.st_mtime), 0};
            else
                ::close(fd);
            return 0;
        }
        int error = fd != -1 ? EACCES : opened_errno;
        if (fd != -1)
            ::close(fd);
        file_error(path, error);
        std::memset(out, 0, static_cast<size_t>(size));
        errno = error;
        set_status(status, out_of_descriptors(error) ? STATUS_INTERNAL : STATUS_UNAUTHORIZED);
        return -1;
    }

    if (server->flags & SERVER_DIRLIST) {
        dir_record* dir = dir_open(out);
        if (dir != nullptr) {
            dir_close(dir);
            if (is_dir != nullptr)
                *is_dir = 1;
            return 0;
        }
        int error = errno;
        report("httpsrv_rslvpath", 14570, fault::bad_arg, "access to directory %s unauthorized\n",
               log_safe(out, shown, sizeof(shown)));
        std::memset(out, 0, static_cast<size_t>(size));
        set_status(status, out_of_descriptors(error) ? STATUS_INTERNAL : STATUS_UNAUTHORIZED);
        return -1;
    }
    report("httpsrv_rslvpath", 14585, fault::bad_arg, "%s is not a file\n",
           log_safe(out, shown, sizeof(shown)));
    set_last_error(LAST_FILE_NOT_FOUND);
    std::memset(out, 0, static_cast<size_t>(size));
    set_status(status, STATUS_NOT_FOUND);
    return -1;
}

int map_local_path(const server_record* server, const char* path, char* out, int size)
{
    if (!has_root(server)) {
        if (out != nullptr && size > 0)
            out[0] = '\0';
        return -1;
    }
    if (path == nullptr || out == nullptr || size <= 0)
        return -1;
    std::memset(out, 0, static_cast<size_t>(size));
    if (std::strstr(path, "..") != nullptr)
        return -1;
    return join_root(server->root, path, out, size);
}

bool is_text_file(const char* path)
{
    if (path == nullptr)
        return false;
    fd_guard fd(open_regular(path));
    return fd.get() >= 0 && is_text_fd(fd.get());
}

} // namespace quorvel
