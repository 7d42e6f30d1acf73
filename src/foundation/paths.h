// Path and file helpers: separator conversion, extension and directory parts, the host
// executable's directory, readability and size probes, environment lookups.
#pragma once

#include <cstdint>

namespace quorvel {

// Turns every '\' of `path` into '/', in place (reported for NULL).
void filter_path_sep(char* path);

// The text after the last '.' at index 1 or later (the scan does not stop at separators), an
// empty string for a trailing '.', NULL when there is none (reported for NULL).
char* get_extension(char* path);
const char* get_extension(const char* path);

// `out` (zeroed over `size`) receives `path` cut before its last separator at index 1 or
// later; the whole path when there is none. Returns `out`; NULL for NULL arguments or when a
// path without separator does not fit. Paths are cut at PATH_MAX.
char* get_directory(const char* path, char* out, uint32_t size);

// The directory of the running executable into `out`: 0, or -1.
int get_exe_directory(char* out, uint32_t size);

// True when `path` is a regular file that can be opened for reading (reported otherwise).
bool is_readable(const char* path);

// The size of the file at `path`, 0 on failure (last error 2, reported).
int64_t sizeof_file(const char* path);

// A copy of the environment variable's value, or NULL when unset.
char* env_dup(const char* name);

} // namespace quorvel
