// The connection-free half of a directory listing: the entries, their order and the texts of a
// row. The listing hides ".", ".." and ".ht" names and escapes what it shows, because entry
// names are chosen by whoever can write files.
#include "http/dir.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/directory.h"
#include "foundation/strings.h"
#include "quorvel.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>

namespace quorvel {

namespace {

int compare_sign(int c)
{
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

template <typename T>
int compare_values(T a, T b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool hidden_name(std::string_view name)
{
    return name == "." || name == ".." || name.starts_with(".ht");
}

// Appends one entry of `directory` (open as `directory_fd` when that is not -1), doubling the
// array when it is full; false when out of memory.
bool add_entry(dir_listing* list, const char* directory, int directory_fd, const char* name,
               const char* sort)
{
    if (list->count == list->capacity) {
        uint32_t capacity = list->capacity == 0 ? DIR_FIRST_CAPACITY : list->capacity * 2;
        if (capacity > UINT32_MAX / 2 / sizeof(dir_entry))
            return false;
        auto* grown = static_cast<dir_entry*>(
            mem_zalloc(static_cast<uint32_t>(capacity * sizeof(dir_entry))));
        if (grown == nullptr)
            return false;
        if (list->count > 0)
            std::memcpy(grown, list->entries, list->count * sizeof(dir_entry));
        mem_free(list->entries);
        list->entries = grown;
        list->capacity = capacity;
    }
    size_t length = std::strlen(name);
    auto* copy = static_cast<char*>(mem_alloc(static_cast<uint32_t>(length + 1)));
    if (copy == nullptr)
        return false;
    std::memcpy(copy, name, length + 1);

    dir_entry* entry = &list->entries[list->count++];
    *entry = dir_entry{copy, 0, 0, 0, sort};
    // Relative to the open directory a name always fits; the joined path may not.
    struct stat status {};
    bool known = false;
    if (directory_fd != -1) {
        known = ::fstatat(directory_fd, name, &status, 0) == 0;
    } else {
        char full[PATH_MAX];
        int n = std::snprintf(full, sizeof(full), "%s/%s", directory, name);
        known = n > 0 && static_cast<size_t>(n) < sizeof(full) && ::stat(full, &status) == 0;
    }
    if (known) {
        entry->is_dir = S_ISDIR(status.st_mode) ? 1 : 0;
        entry->mtime = static_cast<int64_t>(status.st_mtime);
        entry->size = static_cast<uint64_t>(status.st_size);
    }
    return true;
}

} // namespace

int dir_entry_compare(const void* a, const void* b)
{
    const auto* x = static_cast<const dir_entry*>(a);
    const auto* y = static_cast<const dir_entry*>(b);
    if (x->is_dir != y->is_dir)
        return x->is_dir ? -1 : 1;
    const char* sort = x->sort != nullptr ? x->sort : "na";
    int result = 0;
    switch (sort[0]) {
    case 'n':
        result = compare_sign(std::strcmp(x->name, y->name));
        break;
    case 's':
        result = compare_values(x->size, y->size);
        break;
    case 'm':
        result = compare_values(x->mtime, y->mtime);
        break;
    default:
        break;
    }
    return sort[1] == 'm' ? -result : result;
}

int dir_list(const char* path, const char* sort, dir_listing* out)
{
    clear_errors();
    if (out == nullptr || path == nullptr) {
        report("stream_http_dir", 10774, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    *out = dir_listing{};
    char shown[PATH_MAX];
    dir_record* dir = dir_open(path);
    if (dir == nullptr) {
        report("stream_http_dir", 10782, fault::none, "could not open directory %s for reading\n",
               log_safe(path, shown, sizeof(shown)));
        return -1;
    }
    // Without a handle of its own (descriptors run short) entries are looked up by path.
    fd_guard directory_fd(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (;;) {
        const char* name = dir_read(dir);
        if (name == nullptr)
            break;
        if (hidden_name(name))
            continue;
        if (!add_entry(out, path, directory_fd.get(), name, sort)) {
            dir_close(dir);
            dir_listing_free(out);
            report("stream_http_dir", 10849, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return -1;
        }
    }
    // The end of the entries and a failed read look alike but for errno; a listing with
    // entries missing is not shown.
    int read_error = errno;
    dir_close(dir);
    if (read_error != 0) {
        dir_listing_free(out);
        errno = read_error;
        report("stream_http_dir", 10782, fault::none, "could not open directory %s for reading\n",
               log_safe(path, shown, sizeof(shown)));
        return -1;
    }
    if (out->count > 1)
        std::qsort(out->entries, out->count, sizeof(dir_entry), dir_entry_compare);
    return 0;
}

void dir_listing_free(dir_listing* listing)
{
    if (listing == nullptr)
        return;
    for (uint32_t i = 0; i < listing->count; ++i)
        mem_free(listing->entries[i].name);
    mem_free(listing->entries);
    *listing = dir_listing{};
}

const char* dir_size_text(const dir_entry* entry, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return out;
    uint64_t bytes = entry->size;
    if (entry->is_dir)
        std::snprintf(out, size, "%s", "Directory");
    else if (bytes < 1024)
        std::snprintf(out, size, "%lu B", static_cast<unsigned long>(bytes));
    else if (bytes < 1048576)
        std::snprintf(out, size, "%.1f kB", static_cast<double>(bytes) / 1024);
    else if (bytes < 1073741824)
        std::snprintf(out, size, "%.1f MB", static_cast<double>(bytes) / 1048576);
    else
        std::snprintf(out, size, "%.1f GB", static_cast<double>(bytes) / 1073741824);
    return out;
}

const char* dir_date_text(int64_t mtime, char* out, size_t size)
{
    if (out == nullptr || size == 0)
        return out;
    out[0] = '\0';
    time_t when = static_cast<time_t>(mtime);
    struct tm local {};
    if (::localtime_r(&when, &local) == nullptr ||
        std::strftime(out, size, "%m/%d/%y %I:%M:%S %p", &local) == 0)
        out[0] = '\0';
    return out;
}

int html_escape(const char* text, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return -1;
    size_t used = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const char* entity = nullptr;
        switch (*p) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        case '\'':
            entity = "&#39;";
            break;
        default:
            break;
        }
        size_t add = entity != nullptr ? std::strlen(entity) : 1;
        if (used + add >= size) {
            out[0] = '\0';
            return -1;
        }
        if (entity != nullptr)
            std::memcpy(out + used, entity, add);
        else
            out[used] = *p;
        used += add;
    }
    out[used] = '\0';
    return static_cast<int>(used);
}

int url_encode_path(const char* text, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0)
        return -1;
    constexpr char hex[] = "0123456789ABCDEF";
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        unsigned char c = *p;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        size_t add = plain ? 1 : 3;
        if (used + add >= size) {
            out[0] = '\0';
            return -1;
        }
        if (plain) {
            out[used] = static_cast<char>(c);
        } else {
            out[used] = '%';
            out[used + 1] = hex[c >> 4];
            out[used + 2] = hex[c & 0xF];
        }
        used += add;
    }
    out[used] = '\0';
    return static_cast<int>(used);
}

} // namespace quorvel
