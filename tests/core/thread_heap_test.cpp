#include "core/thread_heap.h"

#include "quorvel.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <thread>

using namespace quorvel;

namespace {

// Number of blocks on free list `order`.
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

// A pool made with heap_create and unmapped when the test ends.
struct Pool {
    explicit Pool(uint32_t size) : heap(heap_create(size)) {}
    ~Pool() { heap_destroy(&heap); }
    heap_record* operator->() const { return heap; }
    heap_record* heap;
};

} // namespace

TEST(ThreadHeap, PoolIsSmallestPowerOfTwoHoldingSizeAndAQuarter)
{
    Pool big(262144);
    ASSERT_NE(big.heap, nullptr);
    EXPECT_EQ(big->max_order, 19u);
    EXPECT_EQ(big->pool_size, 524288u);
    EXPECT_EQ(big->limit - big->base, 524288);
    EXPECT_TRUE(is_one_block(big.heap));
    EXPECT_EQ(Pool(65536)->pool_size, 131072u);
    EXPECT_EQ(Pool(0)->pool_size, 16u); // room for a 0-byte block
    // Above 2^31 bytes no pool is made.
    EXPECT_EQ(heap_create(1717986920), nullptr);
    EXPECT_EQ(heap_create(UINT32_MAX), nullptr);
}

TEST(ThreadHeap, SmallestRequestsSplitDownLeavingOneFreeBlockPerOrder)
{
    Pool pool(262144);
    char* one = static_cast<char*>(heap_alloc(pool.heap, 1));
    EXPECT_EQ(one, pool->base + HEAP_HEADER);
    EXPECT_EQ(heap_block_size(one), 32u);
    EXPECT_EQ(pool->in_use, 32u);
    for (uint32_t k = 0; k <= 19; ++k)
        EXPECT_EQ(free_count(pool.heap, k), k >= 5 && k <= 18 ? 1u : 0u) << "order " << k;
    heap_free(pool.heap, one);
    EXPECT_TRUE(is_one_block(pool.heap));

    char* none = static_cast<char*>(heap_alloc(pool.heap, 0));
    EXPECT_EQ(none, pool->base + HEAP_HEADER);
    EXPECT_EQ(heap_block_size(none), 16u);
    EXPECT_EQ(free_count(pool.heap, 4), 1u);
    EXPECT_EQ(heap_block_size(heap_alloc(pool.heap, 48)), 64u);
    EXPECT_EQ(heap_block_size(heap_alloc(pool.heap, 49)), 128u);
    heap_reset(pool.heap);
    EXPECT_TRUE(is_one_block(pool.heap));
    heap_reset(nullptr);
}

TEST(ThreadHeap, ReleasedBuddiesMergeUntilABuddyIsInUse)
{
    Pool pool(262144);
    char* x = static_cast<char*>(heap_alloc(pool.heap, 1));   // 32 at base
    char* y = static_cast<char*>(heap_alloc(pool.heap, 1));   // 32 at base + 32
    char* z = static_cast<char*>(heap_alloc(pool.heap, 100)); // 128 at base + 128
    EXPECT_EQ(y, x + 32);
    EXPECT_EQ(z, x + 128);
    heap_free(pool.heap, y);
    EXPECT_EQ(free_count(pool.heap, 5), 1u);
    heap_free(pool.heap, x); // merges to 64, then to 128 at base; z stops it there
    EXPECT_EQ(free_count(pool.heap, 5), 0u);
    EXPECT_EQ(free_count(pool.heap, 6), 0u);
    EXPECT_EQ(reinterpret_cast<char*>(pool->free_lists[7]), pool->base);
    EXPECT_EQ(pool->in_use, 128u);
    EXPECT_EQ(heap_alloc(pool.heap, 100), x); // the merged block is reused
    heap_free(pool.heap, x);
    heap_free(pool.heap, z);
    EXPECT_TRUE(is_one_block(pool.heap));
}

TEST(ThreadHeap, BlocksComeZeroedAfterReleaseAndReset)
{
    Pool pool(65536);
    void* keep = heap_alloc(pool.heap, 1);
    auto* dirty = static_cast<unsigned char*>(heap_alloc(pool.heap, 200));
    std::memset(dirty, 0xAB, 200);
    heap_free(pool.heap, dirty);
    auto* again = static_cast<unsigned char*>(heap_alloc(pool.heap, 240));
    ASSERT_EQ(again, dirty);
    for (size_t i = 0; i < 240; ++i)
        ASSERT_EQ(again[i], 0) << "byte " << i;
    std::memset(again, 0xCD, 240);
    heap_reset(pool.heap);
    EXPECT_TRUE(is_one_block(pool.heap));
    (void)keep;
    auto* fresh = static_cast<unsigned char*>(heap_alloc(pool.heap, 1000));
    for (size_t i = 0; i < 1000; ++i)
        ASSERT_EQ(fresh[i], 0) << "byte " << i;
}

TEST(ThreadHeap, RequestsThePoolCannotServeFallBackWithHeaderZero)
{
    Pool pool(65536); // 131072 bytes
    void* too_big = heap_alloc(pool.heap, 131072);
    ASSERT_NE(too_big, nullptr);
    EXPECT_EQ(heap_block_size(too_big), 0u);
    void* half = heap_alloc(pool.heap, 65536 - HEAP_HEADER);
    void* other_half = heap_alloc(pool.heap, 65536 - HEAP_HEADER);
    EXPECT_EQ(pool->in_use, 131072u);
    void* full = heap_alloc(pool.heap, 1);
    EXPECT_EQ(heap_block_size(full), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(full) % 16, 0u);
    heap_free(pool.heap, full); // back to the general allocator: no leak under LSan
    heap_free(pool.heap, too_big);
    EXPECT_EQ(pool->in_use, 131072u);
    (void)half;
    (void)other_half;
}

TEST(ThreadHeap, GeneralAllocZeroesAndRefusesSizesThatWrap)
{
    auto* block = static_cast<unsigned char*>(general_alloc(300));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(heap_block_size(block), 0u);
    for (size_t i = 0; i < 300; ++i)
        ASSERT_EQ(block[i], 0);
    quorvel_mem_free(block);
    EXPECT_EQ(general_alloc(SIZE_MAX), nullptr);
    EXPECT_EQ(general_alloc(SIZE_MAX - HEAP_HEADER + 1), nullptr);
}

TEST(ThreadHeap, AttachMakesThePoolAtFirstAllocationAndRefusesAnotherSize)
{
    quorvel_init();
    std::thread([] {
        ASSERT_EQ(thread_heap_attach(65536), 0);
        EXPECT_EQ(thread_heap_attach(65536), 0);
        EXPECT_EQ(thread_heap_current(), nullptr);
        void* p = quorvel_mem_alloc(100);
        heap_record* heap = thread_heap_current();
        ASSERT_NE(heap, nullptr);
        EXPECT_EQ(heap->pool_size, 131072u);
        EXPECT_EQ(heap_block_size(p), 128u);
        EXPECT_EQ(thread_heap_attach(65536), 0);
        EXPECT_EQ(thread_heap_attach(131072), -2);

        thread_heap_release(1); // reset in place
        EXPECT_EQ(thread_heap_current(), heap);
        EXPECT_TRUE(is_one_block(heap));
        quorvel_mem_alloc(1);
        thread_heap_release(0); // gone until the next allocation
        EXPECT_EQ(thread_heap_current(), nullptr);
        EXPECT_FALSE(is_mapped(heap));
        EXPECT_EQ(thread_heap_attach(131072), 0);
        quorvel_mem_free(quorvel_mem_alloc(1));
        EXPECT_EQ(thread_heap_current()->pool_size, 262144u);

        thread_heap_detach();
        EXPECT_EQ(thread_heap_current(), nullptr);
        void* general = quorvel_mem_alloc(1);
        EXPECT_EQ(heap_block_size(general), 0u);
        quorvel_mem_free(general);

        // A size whose pool would pass 2^31 bytes leaves the thread on the general allocator.
        ASSERT_EQ(thread_heap_attach(UINT32_MAX), 0);
        general = quorvel_mem_alloc(1);
        EXPECT_EQ(thread_heap_current(), nullptr);
        EXPECT_EQ(heap_block_size(general), 0u);
        quorvel_mem_free(general);
        thread_heap_detach();
    }).join();
}

TEST(ThreadHeap, PoolBlocksReleasedOnAnotherThreadAreKept)
{
    quorvel_init();
    std::thread([] {
        ASSERT_EQ(thread_heap_attach(65536), 0);
        void* mine = quorvel_mem_alloc(100);
        void* general = general_alloc(100);
        heap_record* heap = thread_heap_current();
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
        thread_heap_detach();
    }).join();
}

TEST(ThreadHeap, ThreadEndingAttachedReleasesItsContextAndPool)
{
    quorvel_init();
    heap_record* heap = nullptr;
    std::thread([&] {
        ASSERT_EQ(thread_heap_attach(262144), 0);
        quorvel_mem_alloc(1000);
        heap = thread_heap_current();
    }).join();
    ASSERT_NE(heap, nullptr);
    // The context itself is checked by the leak checker in sanitizer builds.
    EXPECT_FALSE(is_mapped(heap));
}

TEST(ThreadHeap, OverwrittenFreeListLinkIsReportedAndDropped)
{
    Pool pool(65536);
    char* x = static_cast<char*>(heap_alloc(pool.heap, 1));
    void* y = heap_alloc(pool.heap, 1);
    heap_free(pool.heap, x);
    // The released block's first word is its link; write a pointer outside the pool there.
    *reinterpret_cast<uintptr_t*>(x - HEAP_HEADER) = 0x10;
    testing::internal::CaptureStderr();
    EXPECT_EQ(heap_alloc(pool.heap, 1), x);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "heap corruption detected\n");
    EXPECT_EQ(pool->free_lists[5], nullptr);
    EXPECT_EQ(heap_block_size(heap_alloc(pool.heap, 1)), 32u); // carved from order 6
    (void)y;
}

TEST(ThreadHeap, DoubleReleaseAndDamagedHeadersAreReportedAndIgnored)
{
    Pool pool(65536);
    char* x = static_cast<char*>(heap_alloc(pool.heap, 1));
    char* y = static_cast<char*>(heap_alloc(pool.heap, 100));
    heap_free(pool.heap, x);
    testing::internal::CaptureStderr();
    heap_free(pool.heap, x);
    *reinterpret_cast<uint64_t*>(y - HEAP_HEADER) = 256; // no 256-byte block starts there
    heap_free(pool.heap, y);
    heap_free(pool.heap, pool->base); // no header in front of it
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "heap corruption detected\nheap corruption detected\nheap corruption detected\n");
    EXPECT_EQ(pool->in_use, 128u);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(ThreadHeapDeathTest, SanitizerSeesUseAfterReleaseAndOverflow)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Pool pool(65536);
    auto* keep = static_cast<volatile char*>(heap_alloc(pool.heap, 1));
    auto* p = static_cast<volatile char*>(heap_alloc(pool.heap, 100));
    EXPECT_DEATH(p[100] = 1, "use-after-poison"); // inside the 128-byte block, past the request
    heap_free(pool.heap, const_cast<char*>(p));
    EXPECT_DEATH(p[8] = 1, "use-after-poison");
    (void)keep;
}
#endif
