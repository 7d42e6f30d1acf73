// One connection's allocations, 200 blocks of 16..512 bytes dropped all at once, through
// the thread heap (allocate, then one reset) and through glibc malloc/free (allocate all,
// then free all). Pool blocks come zero-filled, so calloc/free runs too for a like-for-like
// figure. Prints a table with the ratios after Google Benchmark's own lines.
#include "core/thread_heap.h"
#include "quorvel.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t ALLOCATIONS = 200;
constexpr double MIN_SECONDS = 1.0; // per benchmark; each stops after about this long

// The same pseudo-random sizes for every run and every allocator.
const std::array<uint32_t, ALLOCATIONS>& request_sizes()
{
    static const auto sizes = [] {
        std::array<uint32_t, ALLOCATIONS> out{};
        uint32_t x = 2463534242u;
        for (uint32_t& size : out) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            size = 16 + x % 497;
        }
        return out;
    }();
    return sizes;
}

void BM_ThreadHeap(benchmark::State& state)
{
    quorvel_init();
    if (quorvel::thread_heap_attach(262144) != 0) {
        state.SkipWithError("thread_heap_attach failed");
        return;
    }
    const auto& sizes = request_sizes();
    for (auto _ : state) {
        for (uint32_t size : sizes)
            benchmark::DoNotOptimize(quorvel_mem_alloc(size));
        quorvel::thread_heap_release(1);
    }
    quorvel::thread_heap_detach();
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ALLOCATIONS));
}
BENCHMARK(BM_ThreadHeap)->MinTime(MIN_SECONDS);

void BM_Malloc(benchmark::State& state)
{
    const auto& sizes = request_sizes();
    std::array<void*, ALLOCATIONS> blocks{};
    for (auto _ : state) {
        for (size_t i = 0; i < ALLOCATIONS; ++i)
            blocks[i] = std::malloc(sizes[i]);
        benchmark::DoNotOptimize(blocks.data());
        for (void* block : blocks)
            std::free(block);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ALLOCATIONS));
}
BENCHMARK(BM_Malloc)->MinTime(MIN_SECONDS);

void BM_Calloc(benchmark::State& state)
{
    const auto& sizes = request_sizes();
    std::array<void*, ALLOCATIONS> blocks{};
    for (auto _ : state) {
        for (size_t i = 0; i < ALLOCATIONS; ++i)
            blocks[i] = std::calloc(1, sizes[i]);
        benchmark::DoNotOptimize(blocks.data());
        for (void* block : blocks)
            std::free(block);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(ALLOCATIONS));
}
BENCHMARK(BM_Calloc)->MinTime(MIN_SECONDS);

// Keeps the console output and remembers each benchmark's CPU time per connection.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred)
                nanoseconds[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    std::map<std::string, double> nanoseconds;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& ns = reporter.nanoseconds;
    if (!ns.count("BM_ThreadHeap") || !ns.count("BM_Malloc") || !ns.count("BM_Calloc"))
        return 1;
    double heap = ns.at("BM_ThreadHeap");
    std::printf("\n%zu allocations of 16..512 bytes per connection, then all released\n",
                ALLOCATIONS);
    std::printf("%-30s %10s %10s %22s\n", "", "ns/conn", "ns/alloc", "ratio to thread heap");
    const std::pair<const char*, const char*> rows[] = {
        {"BM_ThreadHeap", "thread heap (alloc + reset)"},
        {"BM_Malloc", "glibc malloc + free"},
        {"BM_Calloc", "glibc calloc + free"},
    };
    for (const auto& [name, label] : rows) {
        double t = ns.at(name);
        std::printf("%-30s %10.0f %10.2f %21.2fx\n", label, t, t / ALLOCATIONS, t / heap);
    }
    return 0;
}
