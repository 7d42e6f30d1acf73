// The envelope, the one handle type of the public interface, and the library-wide state
// behind the exported calls.
#pragma once

#include "quorvel.h"

#include <cstdint>
#include <type_traits>

struct envelope {
    uint32_t type; // quorvel_obj_*
    void* object;  // the wrapped record; NULL only for the system object
    uint32_t flags;
};
static_assert(std::is_trivially_destructible_v<envelope>);

namespace quorvel {

inline constexpr uint32_t ENVELOPE_STARTED = 0x8;
inline constexpr uint32_t ENVELOPE_LOCKED = 0x10;

// A new envelope {tag, object, 0} from the general allocator; NULL for a NULL object
// (silently) or when out of memory (reported).
envelope* envelope_create(uint32_t tag, void* object);

// True once quorvel_init has run.
bool library_initialized();

} // namespace quorvel
