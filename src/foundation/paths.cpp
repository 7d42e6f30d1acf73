// Path and file helpers. Directory parts are worked out in a PATH_MAX area and a path that
// does not fit is refused rather than cut, so a truncated path never names another directory.
#include "foundation/paths.h"

#include "core/report.h"
#include "foundation/strings.h"
#include "platform/files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel {

namespace {

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

const char* find_extension(const char* path)
{
    size_t length = std::strlen(path);
    // Index 0 is never looked at: a leading dot names a hidden file, not an extension.
    for (size_t i = length; i > 1; --i) {
        if (path[i - 1] == '.')
            return path + i;
    }
    return nullptr;
}

} // namespace

void filter_path_sep(char* path)
{
    clear_errors();
    if (path == nullptr) {
        report("filter_path_sep", 2764, fault::bad_arg, "null argument passed\n");
        return;
    }
    for (char* p = path; *p != '\0'; ++p) {
        if (*p == '\\')
            *p = '/';
    }
}

char* get_extension(char* path)
{
    return const_cast<char*>(get_extension(static_cast<const char*>(path)));
}

const char* get_extension(const char* path)
{
    clear_errors();
    if (path == nullptr) {
        report("get_extension", 2878, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    return find_extension(path);
}

char* get_directory(const char* path, char* out, uint32_t size)
{
    if (out != nullptr)
        std::memset(out, 0, size);
    if (path == nullptr || out == nullptr)
        return nullptr;
    size_t length = ::strnlen(path, PATH_MAX);
    if (length >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    char work[PATH_MAX];
    std::memcpy(work, path, length + 1);

    // Index 0 is never examined, so a rooted single name such as "/name" is kept whole.
    bool cut = false;
    for (size_t i = length; i > 1; --i) {
        if (is_separator(work[i - 1])) {
            work[i - 1] = '\0';
            cut = true;
            break;
        }
    }
    if (!cut && length > size)
        return nullptr;
    str_concat(out, size, work);
    return out;
}

int get_exe_directory(char* out, uint32_t size)
{
    if (out == nullptr)
        return -1;
    char exe[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", exe, sizeof(exe));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(exe))
        return -1;
    exe[length] = '\0';
    // The directory of an absolute path is never empty: an empty `out` means it did not fit.
    if (get_directory(exe, out, size) == nullptr || out[0] == '\0')
        return -1;
    return 0;
}

char* env_dup(const char* name)
{
    if (name == nullptr)
        return nullptr;
    const char* value = std::getenv(name);
    return value == nullptr ? nullptr : str_dup(value);
}

} // namespace quorvel
