// Directory enumeration over opendir/readdir. Every name the system gives is handed out, in
// its order; callers skip "." and ".." and hide names themselves.
#include "foundation/directory.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <type_traits>

namespace quorvel {

struct dir_record {
    DIR* handle; // NULL once the end was reached
    char name[DIR_NAME_SIZE];
    char* path;
};
static_assert(std::is_trivially_destructible_v<dir_record>);

namespace {

// The next entry's name, or NULL at the end; errno tells an error from the end.
const char* next_name(dir_record* dir)
{
    if (dir->handle == nullptr) {
        set_last_error(LAST_FILE_NOT_FOUND);
        return nullptr;
    }
    errno = 0;
    const dirent* entry = ::readdir(dir->handle);
    if (entry == nullptr) {
        {
            errno_saver keep;
            ::closedir(dir->handle);
            dir->handle = nullptr;
        }
        set_last_error(LAST_FILE_NOT_FOUND);
        return nullptr;
    }
    return entry->d_name;
}

} // namespace

dir_record* dir_open(const char* path)
{
    clear_errors();
    if (path == nullptr) {
        report("dir_open", 10632, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    struct stat status {};
    if (::stat(path, &status) != 0 || !S_ISDIR(status.st_mode))
        return nullptr;
    auto* dir = static_cast<dir_record*>(mem_zalloc(sizeof(dir_record)));
    size_t length = std::strlen(path);
    char* copy = nullptr;
    if (dir != nullptr && length < UINT32_MAX)
        copy = static_cast<char*>(mem_alloc(static_cast<uint32_t>(length + 1)));
    if (copy == nullptr) {
        mem_free(dir);
        report("dir_open", 10641, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    std::memcpy(copy, path, length + 1);
    dir->path = copy;
    dir->handle = ::opendir(path);
    if (dir->handle == nullptr) {
        errno_saver keep;
        mem_free(dir->path);
        mem_free(dir);
        return nullptr;
    }
    return dir;
}

const char* dir_read(dir_record* dir)
{
    clear_errors();
    if (dir == nullptr) {
        report("dir_read", 10668, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    const char* name = next_name(dir);
    if (name == nullptr)
        return nullptr;
    std::snprintf(dir->name, sizeof(dir->name), "%s", name);
    return dir->name;
}

int dir_close(dir_record* dir)
{
    clear_errors();
    if (dir == nullptr) {
        report("dir_close", 10691, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    int result = 0;
    if (dir->handle != nullptr && ::closedir(dir->handle) != 0)
        result = -1;
    mem_free(dir->path);
    mem_free(dir);
    return result;
}

} // namespace quorvel
