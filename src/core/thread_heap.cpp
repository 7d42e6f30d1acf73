// Placeholder: general-allocator path only, until the buddy pools land.
#include "core/thread_heap.h"

#include "quorvel.h"

#include <cstdlib>
#include <cstring>

namespace quorvel {

bool thread_heap_init()
{
    return true;
}

heap_record* thread_heap_current()
{
    return nullptr;
}

void* general_alloc(size_t size)
{
    if (size > SIZE_MAX - HEAP_HEADER)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::calloc(1, size + HEAP_HEADER));
    return block == nullptr ? nullptr : block + HEAP_HEADER;
}

} // namespace quorvel

extern "C" QUORVEL_API void* quorvel_mem_alloc(uint32_t size) noexcept
{
    return quorvel::general_alloc(size);
}

extern "C" QUORVEL_API void quorvel_mem_free(void* block) noexcept
{
    if (block != nullptr)
        std::free(static_cast<unsigned char*>(block) - quorvel::HEAP_HEADER);
}
