// The parts of a directory listing that need no connection: collecting and sorting the
// entries, and the texts a row is made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorvel {

// First capacity of a listing's entry array; it doubles when full.
inline constexpr uint32_t DIR_FIRST_CAPACITY = 128;

// One listed entry.
struct dir_entry {
    char* name; // from the allocation pair
    uint8_t is_dir;
    int64_t mtime;    // seconds since 1970
    uint64_t size;    // bytes
    const char* sort; // the request's sort text ("na" when NULL)
};
static_assert(std::is_trivially_destructible_v<dir_entry>);

// The sorted entries of one directory.
struct dir_listing {
    dir_entry* entries;
    uint32_t count;
    uint32_t capacity;
};
static_assert(std::is_trivially_destructible_v<dir_listing>);

// The qsort comparison of listed entries: directories first whatever the direction, then by
// the sort text of `a`: column 'n' name (bytes), 's' size, 'm' modification time, any other
// column keeps the order; a second character 'm' makes it descending.
int dir_entry_compare(const void* a, const void* b);

// Reads the directory at `path` into `out`, without ".", ".." and names beginning with ".ht",
// each entry carrying `sort` (NULL for the default order), sorted with dir_entry_compare.
// Entries are looked up relative to the directory, so a long name in a deep directory is
// described all the same; an entry whose status cannot be read shows as a file of size 0
// and time 0. 0, or -1 with `out`
// empty: a directory that does not open or no memory (both reported). Release the entries
// with dir_listing_free.
int dir_list(const char* path, const char* sort, dir_listing* out);
void dir_listing_free(dir_listing* listing);

// The size column: "Directory", "%lu B" below 1 kB, else "%.1f kB", "%.1f MB" or "%.1f GB".
// Returns `out`.
const char* dir_size_text(const dir_entry* entry, char* out, size_t size);

// The date column: the local time of `mtime` as "%m/%d/%y %I:%M:%S %p"; empty when the time
// cannot be converted. Returns `out`.
const char* dir_date_text(int64_t mtime, char* out, size_t size);

// Writes `text` with &, <, >, " and ' as HTML entities into `out`: the length written, or -1
// (`out` emptied) when it does not fit.
int html_escape(const char* text, char* out, size_t size);

// Writes `text` into `out` with every byte other than letters, digits, '-', '.', '_', '~' and
// '/' as %XX, so a path keeps its segments: the length written, or -1 (`out` emptied) when
// it does not fit.
int url_encode_path(const char* text, char* out, size_t size);

} // namespace quorvel
