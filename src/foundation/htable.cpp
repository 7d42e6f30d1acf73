// Hash tables: an array of buckets, each a doubly linked list of entries that carry their
// key bytes, their value (a private copy or the caller's pointer) and an optional destructor.
// Every operation on a synchronised table holds the table's mutex throughout.
#include "foundation/htable.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "quorvel.h"
#include "threads/sync.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace quorvel {

namespace {

constexpr uint32_t HASH_SEED = 101012345;

// Nibble tables of the reflected CRC-16 update (polynomial 0xA001). The last entry of the
// high table is 0x4600 where the textbook table has 0x4400; stored checksums depend on it.
constexpr std::array<uint32_t, 16> HASH_LOW = {
    0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
    0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440,
};
constexpr std::array<uint32_t, 16> HASH_HIGH = {
    0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
    0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4600,
};
static_assert(HASH_LOW.size() == 16 && HASH_HIGH.size() == 16);

// Step limit of the prime search.
constexpr uint32_t PRIME_RETRIES = 1000;
// Copies get at least next_prime of this many buckets.
constexpr uint32_t COPY_MIN_SIZE = 100;

// Holds a table's mutex, when it has one, for the scope. errno and the last error survive
// the unlock, so a failure reported under the lock still reaches the caller.
class table_guard {
public:
    explicit table_guard(mutex* m) : held_(m)
    {
        if (held_ != nullptr)
            mutex_lock(held_);
    }
    ~table_guard()
    {
        if (held_ == nullptr)
            return;
        errno_saver keep;
        mutex_unlock(held_);
    }
    table_guard(const table_guard&) = delete;
    table_guard& operator=(const table_guard&) = delete;

private:
    mutex* held_;
};

// Trial division by every d below n/2 finds a divisor exactly when there is one up to the
// square root, which for n >= 6 lies below n/2; stopping at the root gives the same answer.
// Below 6 every n counts as prime.
bool counts_as_prime(uint32_t n)
{
    if (n / 2 <= 2)
        return true;
    for (uint32_t d = 2; uint64_t{d} * d <= n; ++d)
        if (n % d == 0)
            return false;
    return true;
}

// A private copy of `size` bytes and a zero byte, or NULL.
void* value_copy(const void* value, uint32_t size)
{
    if (size == UINT32_MAX)
        return nullptr;
    void* copy = mem_zalloc(size + 1);
    if (copy != nullptr && size != 0)
        std::memcpy(copy, value, size);
    return copy;
}

void container_destroy(container* e)
{
    if (e->owned && e->value != nullptr) {
        if (e->destructor != nullptr)
            e->destructor(e->value);
        else
            mem_free(e->value);
    }
    mem_free(e);
}

container* find(const htable* table, uint32_t hash, const void* key, uint32_t key_length)
{
    if (table->buckets == nullptr || table->bucket_count == 0)
        return nullptr;
    for (container* e = table->buckets[hash % table->bucket_count].first; e != nullptr;
         e = e->next) {
        if (e->hash == hash && e->key_length == key_length &&
            std::memcmp(e->key, key, key_length) == 0)
            return e;
    }
    return nullptr;
}

} // namespace

uint32_t hash_bytes(const void* bytes, uint32_t length)
{
    uint32_t r = HASH_SEED;
    if (bytes == nullptr)
        return r;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t v = (p[i] ^ r) & 0xFF;
        r = (r >> 8) ^ HASH_HIGH[v >> 4] ^ HASH_LOW[v & 0xF];
    }
    return r;
}

uint32_t next_prime(uint32_t n)
{
    uint32_t candidate = n;
    for (uint32_t k = 1; k <= PRIME_RETRIES && !counts_as_prime(candidate); ++k) {
        if (candidate > UINT32_MAX - k)
            break;
        candidate += k;
    }
    return candidate;
}

container* quorvel_container_create(bool owned, uint32_t hash, const void* key, uint32_t key_length,
                                    const void* value, uint32_t size, htable_destructor destructor)
{
    if (value == nullptr || (key == nullptr && key_length != 0)) {
        report("quorvel_container_create", 7171, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    // The key bytes and a zero byte follow the record in its block.
    uint64_t block = sizeof(container) + uint64_t{key_length} + 1;
    auto* e = block > UINT32_MAX
                  ? nullptr
                  : static_cast<container*>(mem_zalloc(static_cast<uint32_t>(block)));
    if (e == nullptr) {
        report("quorvel_container_create", 7183, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    e->key = reinterpret_cast<char*>(e + 1);
    if (key_length != 0)
        std::memcpy(e->key, key, key_length);
    e->key_length = key_length;
    if (owned) {
        e->value = value_copy(value, size);
        if (e->value == nullptr) {
            report("quorvel_container_create", 7200, fault::no_memory,
                   "insufficient memory to perform operation\n");
            mem_free(e);
            return nullptr;
        }
    } else {
        e->value = const_cast<void*>(value);
    }
    e->hash = hash;
    e->owned = owned;
    e->size = size;
    e->destructor = destructor;
    return e;
}

int bucket_store(bucket* b, bool owned, uint32_t hash, const void* key, uint32_t key_length,
                 const void* value, uint32_t size, htable_destructor destructor)
{
    if (b == nullptr || value == nullptr) {
        report("bucket_store", 7255, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    container* e = quorvel_container_create(owned, hash, key, key_length, value, size, destructor);
    if (e == nullptr)
        return -1;
    e->previous = b->last;
    if (b->last != nullptr)
        b->last->next = e;
    else
        b->first = e;
    b->last = e;
    return 0;
}

int bucket_empty_content(bucket* b)
{
    if (b == nullptr) {
        report("bucket_empty_content", 7078, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    container* e = b->first;
    while (e != nullptr) {
        container* next = e->next;
        container_destroy(e);
        e = next;
    }
    b->first = nullptr;
    b->last = nullptr;
    return 0;
}

htable* htable_create(uint32_t size)
{
    clear_errors();
    if (size == 0) {
        report("htable_create", 6936, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    uint32_t count = next_prime(size);
    auto* table = static_cast<htable*>(mem_zalloc(sizeof(htable)));
    if (table == nullptr) {
        report("htable_create", 6949, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    uint64_t bytes = uint64_t{count} * sizeof(bucket);
    table->buckets = bytes > UINT32_MAX
                         ? nullptr
                         : static_cast<bucket*>(mem_zalloc(static_cast<uint32_t>(bytes)));
    if (table->buckets == nullptr) {
        report("htable_create", 6962, fault::no_memory,
               "insufficient memory to perform operation\n");
        mem_free(table);
        return nullptr;
    }
    table->bucket_count = count;
    table->lock = mutex_create();
    if (table->lock == nullptr) {
        // Still empty and unlocked: released directly, keeping the mutex's error codes.
        mem_free(table->buckets);
        mem_free(table);
        return nullptr;
    }
    return table;
}

void htable_destroy(htable** table)
{
    if (table == nullptr || *table == nullptr)
        return;
    htable* t = *table;
    if (t->lock != nullptr)
        mutex_lock(t->lock);
    if (t->buckets != nullptr) {
        for (uint32_t i = 0; i < t->bucket_count; ++i)
            bucket_empty_content(&t->buckets[i]);
        mem_free(t->buckets);
    }
    if (t->lock != nullptr) {
        mutex_unlock(t->lock);
        mutex_destroy(&t->lock);
    }
    mem_free(t);
    *table = nullptr;
}

int htable_store(htable* table, const void* key, uint32_t key_length, const void* value,
                 uint32_t size, bool owned, htable_destructor destructor)
{
    clear_errors();
    if (table == nullptr || key == nullptr || value == nullptr || table->buckets == nullptr) {
        report("htable_store", 7572, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (table->lock == nullptr) {
        errno = EINVAL;
        report("htable_store", 7586, fault::bad_arg,
               "operation not supported for provided object\n");
        return -1;
    }
    table_guard hold(table->lock);
    uint32_t hash = hash_bytes(key, key_length);
    container* e = find(table, hash, key, key_length);
    if (e != nullptr) {
        // The new copy is made first, so a failure leaves the entry as it was.
        void* replacement = const_cast<void*>(value);
        if (owned) {
            replacement = value_copy(value, size);
            if (replacement == nullptr) {
                report("htable_store", 7615, fault::no_memory,
                       "insufficient memory to perform operation\n");
                return -1;
            }
        }
        // The old value goes the way a destroyed entry's would, so values that own inner
        // memory (MIME records) do not leak when an extension is registered again.
        if (e->owned) {
            if (e->destructor != nullptr)
                e->destructor(e->value);
            else
                mem_free(e->value);
        }
        e->value = replacement;
        e->owned = owned;
        e->size = size;
        return 0;
    }
    if (bucket_store(&table->buckets[hash % table->bucket_count], owned, hash, key, key_length,
                     value, size, destructor) != 0)
        return -1;
    ++table->count;
    return 0;
}

void* htable_getref(const htable* table, const void* key, uint32_t key_length, uint32_t* size)
{
    clear_errors();
    if (table == nullptr || key == nullptr) {
        report("htable_getref", 7395, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    table_guard hold(table->lock);
    const container* e = find(table, hash_bytes(key, key_length), key, key_length);
    if (e == nullptr)
        return nullptr;
    if (size != nullptr)
        *size = e->size;
    return e->value;
}

int htable_getcopy(const htable* table, const void* key, uint32_t key_length, void* dest,
                   uint32_t dest_size)
{
    clear_errors();
    if (table == nullptr || key == nullptr || dest == nullptr || dest_size == 0) {
        report("htable_getcopy", 7473, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    std::memset(dest, 0, dest_size);
    table_guard hold(table->lock);
    const container* e = find(table, hash_bytes(key, key_length), key, key_length);
    if (e == nullptr)
        return -1;
    if (e->size > dest_size) {
        errno = ENOSPC;
        report("htable_getcopy", 7505, fault::too_small, "provided buffer is too small\n");
        return static_cast<int>(std::min<uint32_t>(e->size, INT32_MAX));
    }
    if (e->size != 0)
        std::memcpy(dest, e->value, e->size);
    return 0;
}

htable* htable_copy(const htable* table)
{
    clear_errors();
    if (table == nullptr)
        return nullptr;
    htable* copy = htable_create(std::max(table->count, COPY_MIN_SIZE));
    if (copy == nullptr)
        return nullptr;
    mutex_destroy(&copy->lock);
    for (const container* e = htable_next(table, nullptr); e != nullptr;
         e = htable_next(table, e)) {
        if (bucket_store(&copy->buckets[e->hash % copy->bucket_count], e->owned, e->hash, e->key,
                         e->key_length, e->value, e->size, e->destructor) != 0) {
            htable_destroy(&copy);
            return nullptr;
        }
        ++copy->count;
    }
    return copy;
}

void htable_removesync(htable* table)
{
    if (table == nullptr)
        return;
    debug("htable_removesync", 6898, "stripping synchronization objects.....\n");
    mutex_destroy(&table->lock);
    debug("htable_removesync", 6903, "\tdone\n");
}

const container* htable_next(const htable* table, const container* entry)
{
    if (table == nullptr || table->buckets == nullptr || table->bucket_count == 0)
        return nullptr;
    uint32_t index = 0;
    if (entry != nullptr) {
        if (entry->next != nullptr)
            return entry->next;
        index = entry->hash % table->bucket_count + 1;
    }
    for (; index < table->bucket_count; ++index) {
        if (table->buckets[index].first != nullptr)
            return table->buckets[index].first;
    }
    return nullptr;
}

} // namespace quorvel
