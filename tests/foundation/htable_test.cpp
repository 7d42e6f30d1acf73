#include "foundation/htable.h"

#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace quorvel;

namespace {

uint32_t length(const std::string& s)
{
    return static_cast<uint32_t>(s.size());
}

int store(htable* t, const std::string& key, const std::string& value, bool owned = true,
          htable_destructor destructor = nullptr)
{
    return htable_store(t, key.data(), length(key), value.c_str(), length(value), owned,
                        destructor);
}

std::string get(const htable* t, const std::string& key)
{
    uint32_t size = 0;
    void* value = htable_getref(t, key.data(), length(key), &size);
    return value == nullptr ? "<none>" : std::string(static_cast<const char*>(value), size);
}

std::atomic<int> destroyed{0};
void counting_destructor(void* value)
{
    ++destroyed;
    quorvel_mem_free(value);
}

} // namespace

TEST(Hash, MatchesTheReferenceValuesAndPrimeSteps)
{
    for (auto [key, expected] : {std::pair<std::string, uint32_t>{"", 101012345},
                                 {"a", 397139},
                                 {"abc", 48403},
                                 {"Host", 29929},
                                 {"dad", 36416},
                                 {"haa", 36416}})
        EXPECT_EQ(hash_bytes(key.data(), length(key)), expected) << key;
    EXPECT_EQ(next_prime(4), 4u);   // everything below 6 counts as prime
    EXPECT_EQ(next_prime(24), 79u); // 24, 25, 27, 30, 34, 39, 45, 52, 60, 69, 79
    EXPECT_EQ(next_prime(4294967291u), 4294967291u);
}

TEST(Htable, KeysAreStoredAndComparedAndValuesReplaced)
{
    qtest::ErrorLog log;
    destroyed = 0;
    htable* t = htable_create(100);
    EXPECT_EQ(t->bucket_count, 101u);
    ASSERT_EQ(store(t, "dad", "first", true, counting_destructor), 0); // same hash as "haa"
    ASSERT_EQ(store(t, "haa", "second"), 0);
    EXPECT_EQ(t->count, 2u);
    EXPECT_EQ(get(t, "dad"), "first");
    EXPECT_EQ(get(t, "haa"), "second");
    EXPECT_EQ(get(t, "da"), "<none>");
    EXPECT_EQ(htable_exist(t, "HAA", 3), 0);
    ASSERT_EQ(store(t, "dad", "two!"), 0); // the entry keeps its destructor
    EXPECT_EQ(destroyed, 1);
    std::string referenced = "three";
    ASSERT_EQ(store(t, "dad", referenced, false), 0);
    EXPECT_EQ(htable_getref(t, "dad", 3, nullptr), referenced.c_str());
    EXPECT_EQ(destroyed, 2);
    // A failed owned copy keeps the entry as it was.
    EXPECT_EQ(htable_store(t, "haa", 3, "x", UINT32_MAX, true, nullptr), -1);
    qtest::expect_report(
        log, "error (htable_store, 7615): insufficient memory to perform operation\n", ENOMEM, 8);
    EXPECT_EQ(get(t, "haa"), "second");
    EXPECT_EQ(t->count, 2u);
    char dest[8];
    EXPECT_EQ(htable_getcopy(t, "haa", 3, dest, 8), 0);
    EXPECT_STREQ(dest, "second");
    EXPECT_EQ(htable_getcopy(t, "haa", 3, dest, 5), 6); // too small: the needed size, zeroes
    EXPECT_EQ(std::string(dest, 5), std::string(5, '\0'));
    qtest::expect_report(
        log, "error (htable_getcopy, 7505): " + std::string(std::strerror(ENOSPC)) + "\n", ENOSPC,
        8);
    EXPECT_EQ(htable_getcopy(t, "six", 3, dest, 8), -1);
    EXPECT_EQ(log.text(), "");
    htable_destroy(&t);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(htable_create(0), nullptr);
    qtest::expect_report(log, "error (htable_create, 6936): null argument passed\n", EINVAL, 160);
}

TEST(Htable, CopiesAndUnsynchronisedTablesRefuseStores)
{
    qtest::ErrorLog log;
    destroyed = 0;
    htable* t = htable_create(10);
    std::string shared = "shared";
    store(t, "ref", shared, false);
    store(t, "own", "mine", true, counting_destructor);
    for (int i = 0; i < 150; ++i)
        store(t, "key" + std::to_string(i), std::to_string(i));
    htable* copy = htable_copy(t);
    EXPECT_EQ(copy->bucket_count, 167u); // 152 entries: 152, 153, 155, 158, 162, 167
    EXPECT_EQ(htable_getref(copy, "ref", 3, nullptr), shared.c_str());
    std::set<std::string> keys; // the walk meets every entry once
    for (const container* e = htable_next(copy, nullptr); e != nullptr; e = htable_next(copy, e))
        EXPECT_TRUE(keys.insert(std::string(e->key, e->key_length)).second);
    EXPECT_EQ(keys.size(), 152u);
    const std::string refused =
        "error (htable_store, 7586): " + std::string(std::strerror(EINVAL)) + "\n";
    EXPECT_EQ(store(copy, "b", "2"), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    htable_removesync(t);
    EXPECT_EQ(store(t, "own", "3"), -1);
    qtest::expect_report(log, refused, EINVAL, 160);
    htable_destroy(&t);
    EXPECT_EQ(get(copy, "own"), "mine"); // owned values were duplicated
    EXPECT_EQ(get(copy, "key149"), "149");
    htable_destroy(&copy);
    EXPECT_EQ(destroyed, 2);
}

TEST(Htable, ConcurrentStoresKeepEveryEntry)
{
    htable* t = htable_create(50);
    constexpr int threads = 4, per_thread = 300;
    std::vector<std::thread> workers;
    for (int w = 0; w < threads; ++w)
        workers.emplace_back([t, w] {
            for (int i = 0; i < per_thread; ++i) {
                std::string key = std::to_string(w) + "/" + std::to_string(i);
                EXPECT_EQ(store(t, key, key), 0);
                EXPECT_EQ(store(t, "shared", std::string(1 + i % 7, 'a')), 0);
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(t->count, threads * per_thread + 1u);
    for (int w = 0; w < threads; ++w)
        for (int i = 0; i < per_thread; i += 37)
            EXPECT_EQ(get(t, std::to_string(w) + "/" + std::to_string(i)),
                      std::to_string(w) + "/" + std::to_string(i));
    htable_destroy(&t);
}
