// Shared libraries over dlopen. A bare file name would make dlopen search the library path;
// a plug-in is always the file the caller named, so such a name is read from the working
// directory.
#include "platform/modules.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>

namespace quorvel {

void* module_open(const char* path)
{
    if (path == nullptr)
        return nullptr;
    if (std::strchr(path, '/') != nullptr)
        return ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    char local[PATH_MAX];
    if (std::snprintf(local, sizeof(local), "./%s", path) >= static_cast<int>(sizeof(local)))
        return nullptr;
    return ::dlopen(local, RTLD_NOW | RTLD_LOCAL);
}

void* module_symbol(void* module, const char* name)
{
    if (module == nullptr || name == nullptr)
        return nullptr;
    ::dlerror();
    return ::dlsym(module, name);
}

void module_close(void* module)
{
    if (module != nullptr)
        ::dlclose(module);
}

const char* module_error()
{
    const char* text = ::dlerror();
    return text != nullptr ? text : "";
}

} // namespace quorvel
