// The bubble calls: the registration-data writer and lister for plug-in authors, and loading a
// plug-in into a server.
#include "api/envelope.h"
#include "bubbles/format.h"
#include "bubbles/load.h"
#include "quorvel.h"

#include <cstdarg>

using namespace quorvel;

extern "C" QUORVEL_API int quorvel_bubble_assign_prop(const char* path, int type, const char* name,
                                                      ...) noexcept
{
    bubble_property property{static_cast<uint16_t>(type), name, nullptr, nullptr, nullptr, 0};
    va_list args;
    va_start(args, name);
    // Only the arguments of the kind are read, in its order: a URI's encoding comes before its
    // URL, a MIME type's after its texts.
    if (property.type & BUBBLE_MIME) {
        property.extension = va_arg(args, const char*);
        property.description = va_arg(args, const char*);
        property.encoding = va_arg(args, int);
    } else if (property.type & BUBBLE_URI) {
        property.encoding = va_arg(args, int);
        property.url = va_arg(args, const char*);
    }
    va_end(args);
    return bubble_assign_prop(path, property);
}

extern "C" QUORVEL_API int quorvel_bubble_pinfo(const char* path) noexcept
{
    return bubble_pinfo(path);
}

extern "C" QUORVEL_API int quorvel_bubble_load(envelope* server, const char* path) noexcept
{
    if (server == nullptr || server->object == nullptr || server->type != quorvel_obj_server)
        return -1;
    return bubble_load(server, static_cast<server_record*>(server->object), path);
}

extern "C" QUORVEL_API void quorvel_bubble_destroy(quorvel_bubble** bubble) noexcept
{
    bubble_destroy(bubble);
}
