// Thread heaps: each attached thread allocates from a private binary buddy pool over one
// mapped region, without locks, and can wipe a connection's memory in one reset. Every
// block carries a 16-byte header: its size 2^k for a pool block, 0 for a block of the
// general allocator, which serves threads without a pool and requests the pool cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorvel {

// Bytes in front of every block handed out; keeps blocks 16-byte aligned.
inline constexpr size_t HEAP_HEADER = 16;

// One pool: the record, the free-list heads and the pool share one mapped region.
struct heap_record {
    void** free_lists;  // max_order + 1 heads; head k links free blocks of 2^k bytes
    uint32_t max_order; // the pool is 2^max_order bytes
    uint32_t pool_size;
    char* base;
    char* limit; // base + pool_size
    uint32_t in_use;
};
static_assert(std::is_trivially_destructible_v<heap_record>);

// The calling thread's registration, from the general allocator.
struct thread_heap_context {
    uint32_t thread_id;
    heap_record* heap; // NULL until the first allocation and after a release
    uint32_t heap_size;
};
static_assert(std::is_trivially_destructible_v<thread_heap_context>);

// Creates the thread-local slot once; false when none could be made (every allocation then
// falls back to the general allocator).
bool thread_heap_init();

// A pool of the smallest 2^k >= size + size/4 bytes, zeroed, as one free block; NULL when
// the region cannot be mapped.
heap_record* heap_create(uint32_t size);
// Unmaps the pool's region and clears the handle.
void heap_destroy(heap_record** heap);
// A zeroed block of at least `size` bytes from the pool, else from the general allocator.
void* heap_alloc(heap_record* heap, uint32_t size);
// Releases a block: into `heap` when it lies in the pool, to the general allocator when its
// header is 0; a block of another thread's pool is left alone.
void heap_free(heap_record* heap, void* block);
// Empties the pool at once when anything is in use.
void heap_reset(heap_record* heap);

// Registers the calling thread for a pool of `size`: 0; -2 when it already has a pool of
// another size; -1 when the context cannot be allocated. The pool is made on first use.
int thread_heap_attach(uint32_t size);
// Unregisters the calling thread and releases its pool; blocks still held are gone.
void thread_heap_detach();
// keep 0: releases the pool (a new one is made on the next allocation); else resets it.
void thread_heap_release(int keep);
// The calling thread's pool, or NULL.
heap_record* thread_heap_current();

// A zeroed block from the general allocator (header 0), whatever the calling thread has:
// for records that outlive a connection or move between threads. Released with
// quorvel_mem_free on any thread. NULL when out of memory or when size would wrap.
void* general_alloc(size_t size);

} // namespace quorvel
