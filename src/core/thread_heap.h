// Thread heaps: each attached thread allocates from a private binary buddy pool over one
// mapped region, without locks, and can wipe a connection's memory in one reset. Every
// block carries a 16-byte header: its size 2^k for a pool block, 0 for a block of the
// general allocator, which serves threads without a pool and requests the pool cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorvel {

// Bytes in front of every block handed out; keeps blocks 16-byte aligned. The header's
// first 8 bytes hold the block's size (0 for the general allocator), the rest are 0.
inline constexpr size_t HEAP_HEADER = 16;
// The smallest pool block: the header alone (a request of 0 bytes).
inline constexpr uint32_t HEAP_MIN_ORDER = 4;
// The largest pool: 2^31 bytes, so sizes and the in-use count fit 32 bits.
inline constexpr uint32_t HEAP_MAX_ORDER = 31;

// A free pool block starts with the link to the next free block of its order.
struct free_block {
    free_block* next;
};

// One pool: the record, the free-list heads and the pool share one mapped region.
struct heap_record {
    free_block** free_lists; // max_order + 1 heads; head k links free blocks of 2^k bytes
    uint32_t max_order;      // the pool is 2^max_order bytes
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

// The pool heap_create(size) makes: the smallest power of two >= size + size / 4 bytes.
uint64_t heap_pool_size(uint32_t size);

// Creates the thread-local slot once (later calls only report the outcome); false when none
// could be made: every allocation then falls back to the general allocator. A thread that
// ends while attached has its context and pool released by the slot's destructor.
bool thread_heap_init();

// A pool of the smallest 2^k >= size + size/4 bytes (at least 16), zeroed, as one free
// block; NULL when that would exceed 2^31 bytes or the region cannot be mapped.
heap_record* heap_create(uint32_t size);
// Unmaps the pool's region and clears the handle; blocks still held are gone.
void heap_destroy(heap_record** heap);
// A zeroed block of at least `size` bytes from the pool (the smallest 2^k >= size + 16),
// else, when the pool has no room or `heap` is NULL, an uncleared block from the general
// allocator (header 0). NULL only when the general allocator fails too.
void* heap_alloc(heap_record* heap, uint32_t size);
// Releases a block: into `heap` when it lies in the pool, to the general allocator when its
// header is 0; a block of another thread's pool is left alone. A block of the pool whose
// header does not describe a block in use there writes "heap corruption detected" to
// standard error and is left alone. When nothing is left in use the pool becomes one free
// block again at once.
void heap_free(heap_record* heap, void* block);
// heap_alloc whose block is cleared only when `clear` is set.
void* heap_take(heap_record* heap, uint32_t size, bool clear);
// Empties the pool at once when anything is in use; blocks still held are gone.
void heap_reset(heap_record* heap);

// Registers the calling thread for a pool of `size`: 0; -2 when it already has a pool of
// another size; -1 when the context cannot be allocated or there is no thread-local slot.
// The pool is made at the first allocation.
int thread_heap_attach(uint32_t size);
// Unregisters the calling thread and releases its pool; blocks still held are gone.
void thread_heap_detach();
// keep 0: releases the pool (a new one is made on the next allocation); else resets it.
void thread_heap_release(int keep);
// The calling thread's pool, or NULL.
heap_record* thread_heap_current();

// The allocation pair behind quorvel_mem_alloc and quorvel_mem_free. mem_alloc takes a zeroed
// block from the calling thread's pool when it has one (made at the first allocation), else
// from the general allocator with header 0; NULL only when the general allocator fails too.
// mem_free releases a block of either kind (NULL is ignored); a pool block must be released on
// the thread that made it.
void* mem_alloc(uint32_t size);
void mem_free(void* block);

// A zeroed block from the general allocator (header 0), whatever the calling thread has:
// for records that outlive a connection or move between threads. Released with
// mem_free on any thread. NULL when out of memory or when size would wrap.
void* general_alloc(size_t size);

// While one lives on the calling thread, mem_alloc (and everything built on it, such
// as hash tables and string copies) takes its blocks from the general allocator even when the
// thread has a heap: for records that must outlive the next heap reset, like a server's
// tables. Scopes nest; frees are unaffected.
class general_alloc_scope {
public:
    general_alloc_scope();
    ~general_alloc_scope();
    general_alloc_scope(const general_alloc_scope&) = delete;
    general_alloc_scope& operator=(const general_alloc_scope&) = delete;
};

// mem_alloc with the block zeroed also when it comes from the general allocator (pool
// blocks always are): for records and areas that must start out cleared.
void* mem_zalloc(uint32_t size);

// mem_alloc without the clearing of pool blocks, for large areas whose bytes are
// written before they are read (a request head, a connection's I/O buffer).
void* mem_alloc_uncleared(uint32_t size);

// The header of a block from the allocation pair: its pool block size, 0 for the general
// allocator.
inline uint64_t heap_block_size(const void* block)
{
    return *reinterpret_cast<const uint64_t*>(static_cast<const char*>(block) - HEAP_HEADER);
}

} // namespace quorvel
