// Thread heaps: a binary buddy allocator per attached thread over one mapped region. Blocks
// are zeroed when handed out, so a reset only rebuilds the free lists, and the allocation
// path is a few loads and stores. AddressSanitizer builds poison free pool blocks.
#include "core/thread_heap.h"

#include "platform/os.h"
#include "quorvel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>

// g++ says it builds with AddressSanitizer one way, clang (before version 15) another.
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_ASAN 1
#endif
#endif
#if defined(QUORVEL_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define QUORVEL_HEAP_POISON 1
#else
#define QUORVEL_HEAP_POISON 0
#endif

namespace quorvel {

namespace {

// The key owns each thread's context so that its destructor can release the context and
// the pool when an attached thread ends; the thread_local copy makes the lookup on every
// allocation a single load (initial-exec: one pointer of static TLS).
pthread_key_t heap_key;
pthread_once_t heap_key_once = PTHREAD_ONCE_INIT;
std::atomic<bool> heap_key_ready{false};
__attribute__((tls_model("initial-exec"))) thread_local thread_heap_context* tls_context = nullptr;
// Depth of general_alloc_scope on this thread; while above 0 the pool is bypassed.
__attribute__((tls_model("initial-exec"))) thread_local uint32_t general_only = 0;

constexpr size_t LINK_BYTES = sizeof(free_block);
static_assert(LINK_BYTES <= HEAP_HEADER && (size_t{1} << HEAP_MIN_ORDER) == HEAP_HEADER);

// Under AddressSanitizer a free block is unaddressable except its link word, which the
// allocator reads and writes; a block in use is addressable for its header and the bytes
// asked for, so an overflow into the rounding slack shows too. Released blocks are also
// wiped there, so stale pointers in them keep nothing alive for the leak checker.
#if QUORVEL_HEAP_POISON
void poison(char* at, size_t bytes)
{
    ASAN_POISON_MEMORY_REGION(at, bytes);
}
void unpoison(char* at, size_t bytes)
{
    ASAN_UNPOISON_MEMORY_REGION(at, bytes);
}
void wipe_free(char* block, size_t bytes)
{
    unpoison(block, bytes);
    std::memset(block, 0, bytes);
    poison(block + LINK_BYTES, bytes - LINK_BYTES);
}
#else
void poison(char*, size_t) {}
void unpoison(char*, size_t) {}
void wipe_free(char*, size_t) {}
#endif

// The smallest order whose blocks hold `bytes`, never below the header alone.
uint32_t order_for(uint64_t bytes)
{
    if (bytes <= HEAP_HEADER)
        return HEAP_MIN_ORDER;
    return 64u - static_cast<uint32_t>(__builtin_clzll(bytes - 1));
}

// The record and the list heads sit in front of the pool, which starts on a cache line.
size_t region_head_bytes(uint32_t max_order)
{
    size_t head = sizeof(heap_record) + (max_order + 1) * sizeof(free_block*);
    return (head + 63) & ~size_t{63};
}

// True when `p` lies in the pool at a multiple of `size` from its base (a power of two).
bool is_block_of(const heap_record* heap, const void* p, uint64_t size)
{
    uintptr_t offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(heap->base);
    return offset < heap->pool_size && (offset & (size - 1)) == 0;
}

void corruption_detected()
{
    std::fputs("heap corruption detected\n", stderr);
}

// The whole pool as the single free block of the top order: constant work per order.
void make_one_block(heap_record* heap)
{
    for (uint32_t k = 0; k < heap->max_order; ++k)
        heap->free_lists[k] = nullptr;
    wipe_free(heap->base, heap->pool_size);
    auto* whole = reinterpret_cast<free_block*>(heap->base);
    whole->next = nullptr;
    heap->free_lists[heap->max_order] = whole;
    heap->in_use = 0;
}

void push_free(heap_record* heap, char* block, uint32_t order)
{
    unpoison(block, LINK_BYTES);
    auto* node = reinterpret_cast<free_block*>(block);
    node->next = heap->free_lists[order];
    heap->free_lists[order] = node;
}

// Unlinks the head of list `order`. A successor that cannot be a block of this list means
// the list was overwritten: it is reported and the rest of the list is dropped instead of
// being handed out later (its blocks come back at the next reset).
char* pop_free(heap_record* heap, uint32_t order)
{
    free_block* head = heap->free_lists[order];
    free_block* next = head->next;
    if (next != nullptr && !is_block_of(heap, next, uint64_t{1} << order)) {
        corruption_detected();
        next = nullptr;
    }
    heap->free_lists[order] = next;
    return reinterpret_cast<char*>(head);
}

char* buddy_of(const heap_record* heap, char* block, uint32_t order)
{
    uintptr_t base = reinterpret_cast<uintptr_t>(heap->base);
    uintptr_t at = reinterpret_cast<uintptr_t>(block);
    uintptr_t buddy = base + ((at - base) ^ (uintptr_t{1} << order));
    if (buddy < base) {
        std::fprintf(stderr, "pointer computation error, mem=%lu block=%lu buddy=%lu\n",
                     static_cast<unsigned long>(base), static_cast<unsigned long>(at),
                     static_cast<unsigned long>(buddy));
        std::abort();
    }
    return heap->base + (buddy - base);
}

// A free block of 2^order bytes; when its list is empty the smallest larger free block is
// split, its upper halves freed order by order. NULL when no block is large enough.
char* buddy_alloc(heap_record* heap, uint32_t order)
{
    if (heap->free_lists[order] != nullptr)
        return pop_free(heap, order);
    uint32_t from = order + 1;
    while (from <= heap->max_order && heap->free_lists[from] == nullptr)
        ++from;
    if (from > heap->max_order)
        return nullptr;
    char* block = pop_free(heap, from);
    while (from > order) {
        --from;
        push_free(heap, buddy_of(heap, block, from), from);
    }
    return block;
}

// Returns a block to the free lists, merging it with its buddy for as long as that is free.
void buddy_free(heap_record* heap, char* block, uint32_t order)
{
    while (order < heap->max_order) {
        char* buddy = buddy_of(heap, block, order);
        free_block** link = &heap->free_lists[order];
        while (*link != nullptr && reinterpret_cast<char*>(*link) != buddy)
            link = &(*link)->next;
        if (*link == nullptr)
            break;
        *link = (*link)->next;
        if (buddy < block)
            block = buddy;
        ++order;
    }
    wipe_free(block, size_t{1} << order);
    push_free(heap, block, order);
}

// A block of the general allocator with header 0 and its contents left as they are.
void* fallback_alloc(uint32_t size)
{
    auto* block = static_cast<uint64_t*>(std::malloc(size_t{size} + HEAP_HEADER));
    if (block == nullptr)
        return nullptr;
    block[0] = 0;
    block[1] = 0;
    return block + 2;
}

void release_context(thread_heap_context* context)
{
    heap_destroy(&context->heap);
    std::free(context);
}

// The key's destructor: a thread that ends while attached leaves nothing behind.
void release_at_exit(void* context)
{
    tls_context = nullptr;
    release_context(static_cast<thread_heap_context*>(context));
}

void create_key()
{
    if (::pthread_key_create(&heap_key, release_at_exit) == 0)
        heap_key_ready.store(true, std::memory_order_release);
}

} // namespace

bool thread_heap_init()
{
    ::pthread_once(&heap_key_once, create_key);
    return heap_key_ready.load(std::memory_order_acquire);
}

uint64_t heap_pool_size(uint32_t size)
{
    return uint64_t{1} << order_for(uint64_t{size} + size / 4);
}

heap_record* heap_create(uint32_t size)
{
    uint32_t order = order_for(uint64_t{size} + size / 4);
    if (order > HEAP_MAX_ORDER)
        return nullptr;
    size_t head = region_head_bytes(order);
    size_t pool = size_t{1} << order;
    // Anonymous mappings come zeroed, and a page is only backed once it is touched.
    void* region =
        ::mmap(nullptr, head + pool, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED)
        return nullptr;
    auto* heap = static_cast<heap_record*>(region);
    heap->free_lists = reinterpret_cast<free_block**>(heap + 1);
    heap->max_order = order;
    heap->pool_size = static_cast<uint32_t>(pool);
    heap->base = static_cast<char*>(region) + head;
    heap->limit = heap->base + pool;
#if QUORVEL_HEAP_POISON
    // The leak checker does not scan mappings: pointers kept in the pool hold blocks alive.
    __lsan_register_root_region(heap->base, pool);
#endif
    make_one_block(heap);
    return heap;
}

void heap_destroy(heap_record** heap)
{
    if (heap == nullptr || *heap == nullptr)
        return;
    heap_record* doomed = *heap;
    *heap = nullptr;
#if QUORVEL_HEAP_POISON
    // Shadow memory outlives the mapping; a later mapping at this address starts clean.
    __lsan_unregister_root_region(doomed->base, doomed->pool_size);
    unpoison(doomed->base, doomed->pool_size);
#endif
    ::munmap(doomed, region_head_bytes(doomed->max_order) + doomed->pool_size);
}

void* heap_alloc(heap_record* heap, uint32_t size)
{
    return heap_take(heap, size, true);
}

void* heap_take(heap_record* heap, uint32_t size, bool clear)
{
    uint32_t order = order_for(uint64_t{size} + HEAP_HEADER);
    if (heap == nullptr || order > heap->max_order)
        return fallback_alloc(size);
    char* block = buddy_alloc(heap, order);
    if (block == nullptr)
        return fallback_alloc(size);
    size_t bytes = size_t{1} << order;
    heap->in_use += static_cast<uint32_t>(bytes);
    unpoison(block, bytes);
    auto* header = reinterpret_cast<uint64_t*>(block);
    header[0] = bytes;
    header[1] = 0;
    // Only the bytes asked for are cleared: the rest of the block is never handed out.
    if (clear)
        std::memset(block + HEAP_HEADER, 0, size);
    poison(block + HEAP_HEADER + size, bytes - HEAP_HEADER - size);
    return block + HEAP_HEADER;
}

void heap_free(heap_record* heap, void* pointer)
{
    if (pointer == nullptr)
        return;
    char* block = static_cast<char*>(pointer) - HEAP_HEADER;
    uint64_t size = *reinterpret_cast<const uint64_t*>(block);
    if (heap != nullptr && is_block_of(heap, pointer, 1)) {
        // Only the start of a block in use carries a size that fits its place: a block
        // released twice (its first word is now a link) or a damaged header is refused.
        bool in_use = size >= HEAP_HEADER && (size & (size - 1)) == 0 && size <= heap->in_use &&
                      is_block_of(heap, block, size);
        if (!in_use) {
            corruption_detected();
            return;
        }
        heap->in_use -= static_cast<uint32_t>(size);
        if (heap->in_use == 0)
            make_one_block(heap);
        else
            buddy_free(heap, block, order_for(size));
        return;
    }
    // A non-zero header outside this pool belongs to another thread's pool: left alone.
    if (size == 0)
        std::free(block);
}

void heap_reset(heap_record* heap)
{
    if (heap != nullptr && heap->in_use != 0)
        make_one_block(heap);
}

int thread_heap_attach(uint32_t size)
{
    if (!thread_heap_init())
        return -1;
    thread_heap_context* context = tls_context;
    if (context != nullptr) {
        if (context->heap != nullptr)
            return context->heap_size == size ? 0 : -2;
        context->heap_size = size;
        return 0;
    }
    context = static_cast<thread_heap_context*>(std::calloc(1, sizeof(thread_heap_context)));
    if (context == nullptr)
        return -1;
    context->thread_id = os_thread_id();
    context->heap = nullptr;
    context->heap_size = size;
    if (::pthread_setspecific(heap_key, context) != 0) {
        std::free(context);
        return -1;
    }
    tls_context = context;
    return 0;
}

void thread_heap_detach()
{
    thread_heap_context* context = tls_context;
    if (context == nullptr)
        return;
    ::pthread_setspecific(heap_key, nullptr);
    tls_context = nullptr;
    release_context(context);
}

void thread_heap_release(int keep)
{
    thread_heap_context* context = tls_context;
    if (context == nullptr || context->heap == nullptr)
        return;
    if (keep == 0)
        heap_destroy(&context->heap);
    else
        heap_reset(context->heap);
}

heap_record* thread_heap_current()
{
    return tls_context == nullptr ? nullptr : tls_context->heap;
}

void* general_alloc(size_t size)
{
    if (size > SIZE_MAX - HEAP_HEADER)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::calloc(1, size + HEAP_HEADER));
    return block == nullptr ? nullptr : block + HEAP_HEADER;
}

general_alloc_scope::general_alloc_scope()
{
    ++general_only;
}

general_alloc_scope::~general_alloc_scope()
{
    --general_only;
}

void* mem_zalloc(uint32_t size)
{
    void* block = mem_alloc(size);
    if (block != nullptr && heap_block_size(block) == 0)
        std::memset(block, 0, size);
    return block;
}

} // namespace quorvel

namespace quorvel {

void* mem_alloc_uncleared(uint32_t size)
{
    thread_heap_context* context = tls_context;
    if (context != nullptr && general_only == 0) {
        if (context->heap == nullptr)
            context->heap = heap_create(context->heap_size);
        if (context->heap != nullptr)
            return heap_take(context->heap, size, false);
    }
    return fallback_alloc(size);
}

void* mem_alloc(uint32_t size)
{
    thread_heap_context* context = tls_context;
    if (context != nullptr && general_only == 0) {
        if (context->heap == nullptr)
            context->heap = heap_create(context->heap_size);
        if (context->heap != nullptr)
            return heap_alloc(context->heap, size);
    }
    return fallback_alloc(size);
}

void mem_free(void* block)
{
    if (block != nullptr)
        heap_free(thread_heap_current(), block);
}

} // namespace quorvel
