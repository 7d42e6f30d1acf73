// The exported allocation pair: the calling thread's heap when it has one, else the general
// allocator.
#include "core/thread_heap.h"
#include "quorvel.h"

extern "C" QUORVEL_API void* quorvel_mem_alloc(uint32_t size) noexcept
{
    return quorvel::mem_alloc(size);
}

extern "C" QUORVEL_API void quorvel_mem_free(void* block) noexcept
{
    quorvel::mem_free(block);
}
