#include "core/thread_heap.h"

#include "quorvel.h"
#include "support/support.h"

#include <sys/mman.h>

using namespace quorvel;

namespace {

size_t free_count(const heap_record* heap, uint32_t order)
{
    size_t count = 0;
    for (const free_block* b = heap->free_lists[order]; b != nullptr; b = b->next)
        ++count;
    return count;
}

// True when the pool is one free block of the top order and nothing is in use.
bool is_one_block(const heap_record* heap)
{
    for (uint32_t k = 0; k < heap->max_order; ++k)
        if (heap->free_lists[k] != nullptr)
            return false;
    return heap->in_use == 0 && free_count(heap, heap->max_order) == 1 &&
           reinterpret_cast<char*>(heap->free_lists[heap->max_order]) == heap->base;
}

bool is_mapped(void* page)
{
    return ::msync(page, 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

struct Pool {
    explicit Pool(uint32_t size) : heap(heap_create(size)) {}
    ~Pool() { heap_destroy(&heap); }
    heap_record* operator->() const { return heap; }
    char* alloc(uint32_t size) const { return static_cast<char*>(heap_alloc(heap, size)); }
    heap_record* heap;
};

} // namespace

TEST(ThreadHeap, PoolSizeSplitMergeAndReset)
{
    Pool pool(262144); // smallest power of two holding size and a quarter
    EXPECT_EQ(pool->max_order, 19u);
    EXPECT_TRUE(is_one_block(pool.heap));
    EXPECT_EQ(Pool(0)->pool_size, 16u);          // room for a 0-byte block
    EXPECT_EQ(heap_create(1717986920), nullptr); // above 2^31 bytes
    char* x = pool.alloc(1); // splits down, one free block left on each order 5..18
    EXPECT_EQ(x, pool->base + HEAP_HEADER);
    EXPECT_EQ(heap_block_size(x), 32u);
    for (uint32_t k = 0; k <= 19; ++k)
        EXPECT_EQ(free_count(pool.heap, k), k >= 5 && k <= 18 ? 1u : 0u) << "order " << k;
    char* y = pool.alloc(1);
    char* z = pool.alloc(100);
    EXPECT_EQ(z, x + 128);
    heap_free(pool.heap, y);
    heap_free(pool.heap, x); // merges to 64, then to 128 at base; z stops it there
    EXPECT_EQ(free_count(pool.heap, 5) + free_count(pool.heap, 6), 0u);
    EXPECT_EQ(reinterpret_cast<char*>(pool->free_lists[7]), pool->base);
    std::memset(z, 0xAB, 100);
    heap_free(pool.heap, z);
    EXPECT_EQ(pool.alloc(100), x);
    EXPECT_EQ(pool.alloc(100), z);
    EXPECT_EQ(std::string(z, 100), std::string(100, '\0')); // released blocks come back zeroed
    EXPECT_EQ(heap_block_size(pool.alloc(0)), 16u);
    std::memset(z, 0xCD, 100);
    heap_reset(pool.heap);
    EXPECT_TRUE(is_one_block(pool.heap));
    EXPECT_EQ(std::string(pool.alloc(1000), 1000), std::string(1000, '\0'));
}

TEST(ThreadHeap, RequestsThePoolCannotServeFallBackToTheGeneralAllocator)
{
    Pool pool(65536); // 131072 bytes
    void* too_big = pool.alloc(131072);
    EXPECT_EQ(heap_block_size(too_big), 0u);
    pool.alloc(65536 - HEAP_HEADER);
    pool.alloc(65536 - HEAP_HEADER);
    void* full = pool.alloc(1);
    EXPECT_EQ(heap_block_size(full), 0u);
    heap_free(pool.heap, full); // back to the general allocator: no leak under LSan
    heap_free(pool.heap, too_big);
    EXPECT_EQ(pool->in_use, 131072u);
    EXPECT_EQ(general_alloc(SIZE_MAX - HEAP_HEADER + 1), nullptr);
}

TEST(ThreadHeap, AttachedThreadsKeepTheirBlocksFromOtherThreadsAndUnmapWhenDone)
{
    quorvel_init();
    heap_record* ended = nullptr;
    std::thread([&ended] {
        ASSERT_EQ(thread_heap_attach(65536), 0);
        EXPECT_EQ(thread_heap_current(), nullptr); // made at the first allocation
        void* mine = quorvel_mem_alloc(100);
        heap_record* heap = thread_heap_current();
        EXPECT_EQ(heap_block_size(mine), 128u);
        EXPECT_EQ(thread_heap_attach(131072), -2);
        void* general = general_alloc(100);
        std::thread([&] {
            quorvel_mem_free(mine); // no pool here: left alone
            ASSERT_EQ(thread_heap_attach(65536), 0);
            quorvel_mem_alloc(1);
            quorvel_mem_free(mine); // outside this thread's pool: left alone
            EXPECT_EQ(thread_heap_current()->in_use, 32u);
            quorvel_mem_free(general); // the general allocator's block goes on any thread
            thread_heap_detach();
        }).join();
        EXPECT_EQ(heap->in_use, 128u);
        quorvel_mem_free(mine);
        EXPECT_TRUE(is_one_block(heap));
        quorvel_mem_alloc(1);
        thread_heap_release(1); // reset in place
        EXPECT_TRUE(is_one_block(thread_heap_current()));
        thread_heap_release(0); // unmapped until the next allocation
        EXPECT_EQ(thread_heap_current(), nullptr);
        EXPECT_FALSE(is_mapped(heap));
        quorvel_mem_alloc(1000);
        ended = thread_heap_current(); // the thread ends attached
    }).join();
    EXPECT_FALSE(is_mapped(ended)); // the context is checked by LSan in sanitizer builds
}

TEST(ThreadHeap, CorruptedLinksAndDoubleReleasesAreReportedAndIgnored)
{
    Pool pool(65536), other(65536);
    char* x = pool.alloc(1);
    char* y = pool.alloc(100);
    heap_free(pool.heap, x);
    char* a = other.alloc(1);
    other.alloc(1); // keeps `a` alone on its free list
    heap_free(other.heap, a);
    testing::internal::CaptureStderr();
    heap_free(pool.heap, x);
    *reinterpret_cast<uint64_t*>(y - HEAP_HEADER) = 256; // no 256-byte block starts there
    heap_free(pool.heap, y);
    // A released block's first word is its link; point it outside the pool.
    *reinterpret_cast<uintptr_t*>(a - HEAP_HEADER) = 0x10;
    EXPECT_EQ(other.alloc(1), a);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "heap corruption detected\nheap corruption detected\nheap corruption detected\n");
    EXPECT_EQ(pool->in_use, 128u);
    EXPECT_EQ(other->free_lists[5], nullptr);        // the bad link was dropped
    EXPECT_EQ(heap_block_size(other.alloc(1)), 32u); // carved from order 6
}
