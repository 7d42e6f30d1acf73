// Reading a request for host functions: header lines and the query under "QUERY", POST
// variables by name (any case), and the request's paths.
#include "http/request_values.h"

#include "core/report.h"
#include "foundation/htable.h"
#include "http/request.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace quorvel {

namespace {

// Names looked up in a request's tables are cut to this many characters.
constexpr int NAME_LIMIT = 255;

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

} // namespace

int request_header(const request_data* request, const char* name, char* out, int size)
{
    return get_value(request->headers, name, out, size);
}

int request_post(const request_data* request, const char* name, char* out, int size)
{
    return get_value(request->post_vars, name, out, size);
}

int request_post_ref(const request_data* request, const char* name, char** value, unsigned* size)
{
    return get_value_ref(request->post_vars, name, value, size);
}

int request_get_path(const request_data* request, request_path which, char* out, int size)
{
    bool local = which == request_path::local_url || which == request_path::local_url_path;
    if (local && out != nullptr && size > 0)
        out[0] = '\0';
    const char* text = local ? request->local_path : request->uri;
    if (text == nullptr || out == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    switch (which) {
    case request_path::uri:
        return put_text(text, out, size, "quorvel_obj_get::quorvel_attrib_uri", 18416,
                        "storage size to receive URL too small\n");
    case request_path::uri_path:
        return put_text(parent_of(text), out, size, "quorvel_obj_get::quorvel_uri_path", 18377,
                        "storage to receive URI path too small\n");
    case request_path::local_url:
        return put_text(text, out, size, "quorvel_obj_set:: quorvel_attrib_local_url", 18312,
                        "storage size to receive URL too small\n");
    case request_path::local_url_path:
        break;
    }
    return put_text(parent_of(text), out, size, "quorvel_obj_get:: quorvel_attrib_local_url_path",
                    18342, "storage size to receive URL too small\n");
}

} // namespace quorvel
