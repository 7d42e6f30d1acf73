#include "foundation/htable.h"

#include "core/report.h"
#include "quorvel.h"
#include "support/support.h"

#include <set>

using namespace quorvel;
using namespace qtest;

static int store(htable* t, const std::string& key, const std::string& value, bool owned = true,
                 htable_destructor destructor = nullptr)
{
    return htable_store(t, key.data(), static_cast<uint32_t>(key.size()), value.c_str(),
                        static_cast<uint32_t>(value.size()), owned, destructor);
}

static std::string get(const htable* t, const std::string& key)
{
    uint32_t size = 0;
    void* value = htable_getref(t, key.data(), static_cast<uint32_t>(key.size()), &size);
    return value == nullptr ? "<none>" : std::string(static_cast<const char*>(value), size);
}

static int destroyed = 0;
static void counting_destructor(void* value)
{
    ++destroyed;
    quorvel_mem_free(value);
}

TEST(Htable, HashIsBitExactAndCollidingKeysAreKeptApart)
{
    ErrorLog log;
    const std::pair<std::string, uint32_t> hashes[] = {{"", 101012345}, {"a", 397139},
                                                       {"abc", 48403},  {"Host", 29929},
                                                       {"dad", 36416},  {"haa", 36416}};
    for (const auto& [key, expected] : hashes)
        EXPECT_EQ(hash_bytes(key.data(), static_cast<uint32_t>(key.size())), expected) << key;
    EXPECT_EQ(next_prime(24), 79u); // 24, 25, 27, 30, 34, 39, 45, 52, 60, 69, 79
    destroyed = 0;
    htable* t = htable_create(100);
    EXPECT_EQ(t->bucket_count, 101u);
    ASSERT_EQ(store(t, "dad", "first", true, counting_destructor), 0);
    ASSERT_EQ(store(t, "haa", "second"), 0);
    EXPECT_EQ(get(t, "dad"), "first");
    EXPECT_EQ(get(t, "haa"), "second");
    EXPECT_EQ(get(t, "da"), "<none>");
    EXPECT_EQ(get(t, "HAA"), "<none>");
    ASSERT_EQ(store(t, "dad", "two!"), 0); // the entry keeps its destructor
    std::string referenced = "three";
    ASSERT_EQ(store(t, "dad", referenced, false), 0);
    EXPECT_EQ(htable_getref(t, "dad", 3, nullptr), referenced.c_str());
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(htable_store(t, "haa", 3, "x", UINT32_MAX, true, nullptr), -1);
    expect_report(log, "error (htable_store, 7615): insufficient memory to perform operation\n",
                  ENOMEM, 8);
    EXPECT_EQ(get(t, "haa"), "second"); // a failed owned copy keeps the entry as it was
    char dest[8];
    EXPECT_EQ(htable_getcopy(t, "haa", 3, dest, 5), 6); // too small: the needed size, zeroes
    EXPECT_EQ(std::string(dest, 5), std::string(5, '\0'));
    expect_report(log, "error (htable_getcopy, 7505): " + std::string(std::strerror(ENOSPC)) + "\n",
                  ENOSPC, 8);
    EXPECT_EQ(htable_getcopy(t, "haa", 3, dest, 6), 0);
    EXPECT_EQ(std::string(dest, 6), "second");
    htable_destroy(&t);
}

TEST(Htable, ConcurrentStoresThenCopiesThatRefuseStores)
{
    ErrorLog log;
    destroyed = 0;
    htable* t = htable_create(50);
    std::string shared = "shared";
    store(t, "ref", shared, false);
    store(t, "own", "mine", true, counting_destructor);
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
        workers.emplace_back([t, w] {
            for (int i = 0; i < 50; ++i) {
                std::string key = std::to_string(w) + "/" + std::to_string(i);
                EXPECT_EQ(store(t, key, key), 0);
                EXPECT_EQ(store(t, "shared", std::string(1 + i % 7, 'a')), 0);
            }
        });
    for (std::thread& worker : workers)
        worker.join();
    htable* copy = htable_copy(t);
    EXPECT_EQ(htable_getref(copy, "ref", 3, nullptr), shared.c_str());
    std::set<std::string> keys; // the walk meets every entry once
    for (const container* e = htable_next(copy, nullptr); e != nullptr; e = htable_next(copy, e))
        EXPECT_TRUE(keys.insert(std::string(e->key, e->key_length)).second);
    EXPECT_EQ(keys.size(), 153u);
    const std::string refused =
        "error (htable_store, 7586): " + std::string(std::strerror(EINVAL)) + "\n";
    EXPECT_EQ(store(copy, "b", "2"), -1);
    expect_report(log, refused, EINVAL, 160);
    htable_removesync(t);
    EXPECT_EQ(store(t, "own", "3"), -1);
    expect_report(log, refused, EINVAL, 160);
    htable_destroy(&t);
    EXPECT_EQ(get(copy, "own"), "mine"); // owned values were duplicated
    EXPECT_EQ(get(copy, "2/49"), "2/49");
    htable_destroy(&copy);
    EXPECT_EQ(destroyed, 2);
}
