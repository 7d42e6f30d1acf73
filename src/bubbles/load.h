// Loading bubbles: reading a file's registration data, loading it as a shared library, running
// its bubble_main, and entering its handlers into a server and the protocol table.
#pragma once

#include "quorvel.h"

#include <cstdint>
#include <type_traits>

namespace quorvel {

// One property of a bubble being loaded; its texts come from the allocation pair.
struct bubble_entry {
    uint16_t type;
    uint32_t name_length;
    char* name;
    void* function;
    uint32_t extension_length;
    char* extension;
    uint32_t description_length;
    char* description;
    uint32_t encoding;
    uint32_t url_length;
    char* url;
};
static_assert(std::is_trivially_destructible_v<bubble_entry>);

} // namespace quorvel

// The bubble record, alive while one file is being loaded.
struct quorvel_bubble {
    char* path;
    void* module;
    uint32_t count;
    quorvel::bubble_entry* properties;
};
static_assert(std::is_trivially_destructible_v<quorvel_bubble>);

namespace quorvel {

struct server_record;
using bubble_record = ::quorvel_bubble;

// Loads the bubble file at `path` into the server `record`, whose handle `server` is what
// bubble_main and the registrations receive (a server not started yet): reads its registration
// data, loads the library, runs its bubble_main, resolves
// every handler before the first association, then enters MIME handlers, URL handlers and
// protocols. A file without usable registration data still loads when its bubble_main returns
// true. 0, or -1 (with a line, except for a bad envelope or a file that does not open).
// Associations made before a failure stay. The server keeps the library loaded while it can
// call into it: libraries that ran a bubble_main or registered a protocol stay for the life of
// the process, others are closed with the server.
int bubble_load(envelope* server, server_record* record, const char* path);

// Releases the record's texts, array and path, and the record; clears `*bubble`. The library
// stays loaded.
void bubble_destroy(bubble_record** bubble);

} // namespace quorvel
