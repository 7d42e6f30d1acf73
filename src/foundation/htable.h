// Hash tables from byte-string keys to values, with a fixed prime number of buckets chosen at
// creation. Entries keep their key bytes: the hash picks the bucket, the bytes decide whether
// two keys are the same. A table is created synchronised (it owns a mutex); copies for a
// single reader thread carry none and refuse stores. Entries are only removed all at once.
#pragma once

#include <cstdint>
#include <type_traits>

namespace quorvel {

struct mutex;

// Releases an owned value in place of mem_free when its table is destroyed.
using htable_destructor = void (*)(void* value);

// One entry (a "container").
struct container {
    uint32_t hash; // hash_bytes of the key
    void* value;
    bool owned;    // value is the table's copy: size bytes and a zero byte
    uint32_t size; // value size as given by the storer
    htable_destructor destructor;
    container* next;
    container* previous;
    uint32_t key_length;
    char* key; // key_length bytes and a zero byte, in the entry's own block
};
static_assert(std::is_trivially_destructible_v<container>);

// The entries whose hash modulo the bucket count is the bucket's index, in insertion order.
struct bucket {
    container* first;
    container* last;
};
static_assert(std::is_trivially_destructible_v<bucket>);

struct htable {
    bucket* buckets;
    uint32_t bucket_count;
    uint32_t count; // entries
    mutex* lock;    // NULL in an unsynchronised table
};
static_assert(std::is_trivially_destructible_v<htable>);

// The library's 32-bit key hash (also the marshalling checksum): a nibble-table CRC-16 update
// over a register started at 101012345. Zero length or NULL bytes give 101012345.
uint32_t hash_bytes(const void* bytes, uint32_t length);

// The bucket count for a requested size: `n` when it counts as prime (every n below 6 does),
// else the first prime of n+1, n+3, n+6, ... within 1000 steps (the last candidate after).
uint32_t next_prime(uint32_t n);

// A synchronised table with next_prime(size) empty buckets, or NULL (reported) for size 0 or
// no memory. Records come from the calling thread's allocation pair, the mutex from the
// general allocator. Released with htable_destroy.
htable* htable_create(uint32_t size);

// Under the table's lock (when it has one), destroys every entry (an owned value goes to its
// destructor, else to mem_free; referenced values are left alone), then the mutex and
// the table; clears `*table`. NULL `table` or `*table` is ignored. Destructors run under the
// lock and must not use the table.
void htable_destroy(htable** table);

// Stores `value` under the key, under the table's lock. owned: a zero-terminated copy of
// `size` bytes is kept; else the pointer itself. An existing entry with the same key releases
// its old owned value as a destroyed entry would (its destructor, else mem_free) and
// takes the new value, owned flag and size, keeping its destructor; when the new copy cannot
// be made it keeps its old value. `destructor` applies to new entries only. 0, or -1
// (reported) for a NULL table, key or value, an unsynchronised table or no memory.
int htable_store(htable* table, const void* key, uint32_t key_length, const void* value,
                 uint32_t size, bool owned, htable_destructor destructor);

// The value stored under the key (the table's own copy for an owned value: read it in place,
// never release it), its size through `size` when given; NULL when absent (no report) or for
// a NULL table or key (reported). Valid until the entry is replaced or the table destroyed.
void* htable_getref(const htable* table, const void* key, uint32_t key_length, uint32_t* size);

// Zeroes `dest_size` bytes at `dest`, then copies the value stored under the key into it: 0;
// -1 when absent (no report) or for a NULL table, key or destination or size 0 (reported).
// A value larger than the destination copies nothing and returns its size (at most
// INT32_MAX), with ENOSPC and last error 8 (reported).
int htable_getcopy(const htable* table, const void* key, uint32_t key_length, void* dest,
                   uint32_t dest_size);

// An unsynchronised deep copy with at least 101 buckets: owned values are copied, referenced
// ones shared, destructors carried over. Reads `table` without its lock, so nothing may store
// into it meanwhile. NULL for a NULL table (no report) or no memory.
htable* htable_copy(const htable* table);

// Destroys the table's mutex: from now on the table is read without locking and refuses
// stores. No other thread may use the table meanwhile. NULL is ignored.
void htable_removesync(htable* table);

// Walks every entry: NULL gives the first, an entry the one after it, in bucket order, then
// insertion order; NULL after the last. Takes no lock: for unsynchronised tables, or while
// nothing stores into the table.
const container* htable_next(const htable* table, const container* entry);

// The internal steps, with their own reports.

// A new entry holding a copy of the key, and of the value when owned; NULL (reported) for a
// NULL value or key or no memory.
container* quorvel_container_create(bool owned, uint32_t hash, const void* key, uint32_t key_length,
                                    const void* value, uint32_t size, htable_destructor destructor);
// Makes an entry and appends it to the bucket: 0, or -1 (reported).
int bucket_store(bucket* b, bool owned, uint32_t hash, const void* key, uint32_t key_length,
                 const void* value, uint32_t size, htable_destructor destructor);
// Destroys every entry of the bucket, first to last, and empties it: 0, or -1 (reported).
int bucket_empty_content(bucket* b);

} // namespace quorvel
