// Worker pool throughput: a million small tasks submitted from one thread and from four, run on
// a pool, beside the same tasks through a plain std::mutex + std::condition_variable queue on
// one thread. Prints tasks/s side by side and how often a submission met the pool's full
// queue (a full linear queue answers 2; the submitter yields and tries again).
//
//   build-bench/bench/bench_worker_pool [tasks] [slots] [rounds]
#include "quorvel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::atomic<long> ran{0};
void count_task(void*)
{
    ran.fetch_add(1, std::memory_order_relaxed);
}

struct pool_result {
    double per_second;
    long full_answers;
};

pool_result run_pool(long tasks, unsigned slots, int submitters)
{
    envelope* pool = quorvel_obj_create(quorvel_obj_worker, 65536u, slots);
    ran = 0;
    std::atomic<long> full{0};
    auto began = clock_type::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < submitters; ++t)
        threads.emplace_back([&, t] {
            long mine = tasks / submitters + (t < tasks % submitters ? 1 : 0);
            for (long i = 0; i < mine; ++i) {
                while (quorvel_worker_task(pool, count_task, nullptr, 0) == 2) {
                    full.fetch_add(1, std::memory_order_relaxed);
                    std::this_thread::yield();
                }
            }
        });
    for (auto& t : threads)
        t.join();
    while (ran.load() < tasks)
        std::this_thread::yield();
    double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
    quorvel_obj_destroy(pool);
    return {tasks / seconds, full.load()};
}

// The plain queue: a deque under one mutex, one consumer woken through a condition variable.
double run_plain(long tasks, int submitters)
{
    struct item {
        void (*fn)(void*);
        void* arg;
    };
    std::deque<item> queue;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    ran = 0;
    std::thread consumer([&] {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [&] { return stop || !queue.empty(); });
            if (queue.empty() && stop)
                return;
            item next = queue.front();
            queue.pop_front();
            hold.unlock();
            next.fn(next.arg);
            hold.lock();
        }
    });
    auto began = clock_type::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < submitters; ++t)
        threads.emplace_back([&, t] {
            long mine = tasks / submitters + (t < tasks % submitters ? 1 : 0);
            for (long i = 0; i < mine; ++i) {
                {
                    std::lock_guard<std::mutex> hold(lock);
                    queue.push_back({count_task, nullptr});
                }
                wake.notify_one();
            }
        });
    for (auto& t : threads)
        t.join();
    while (ran.load() < tasks)
        std::this_thread::yield();
    double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
    {
        std::lock_guard<std::mutex> hold(lock);
        stop = true;
    }
    wake.notify_one();
    consumer.join();
    return tasks / seconds;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    long tasks = argc > 1 ? std::atol(argv[1]) : 1000000;
    unsigned slots = argc > 2 ? static_cast<unsigned>(std::atol(argv[2])) : 4096;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    quorvel_init();
    std::printf("%ld tasks, %u slots, median of %d rounds\n", tasks, slots, rounds);
    std::printf("%-12s %16s %16s %8s %14s\n", "submitters", "pool tasks/s", "plain tasks/s",
                "ratio", "full answers");
    for (int submitters : {1, 4}) {
        std::vector<double> pool_rates, plain_rates;
        long full = 0;
        for (int r = 0; r < rounds; ++r) {
            pool_result p = run_pool(tasks, slots, submitters);
            pool_rates.push_back(p.per_second);
            full += p.full_answers;
            plain_rates.push_back(run_plain(tasks, submitters));
        }
        double pool = median(pool_rates), plain = median(plain_rates);
        std::printf("%-12d %16.0f %16.0f %8.2f %14ld\n", submitters, pool, plain, pool / plain,
                    full / rounds);
    }
    return 0;
}
