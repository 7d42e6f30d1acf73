// Path helpers: separator conversion, extension and directory parts, the host executable's
// directory, environment lookups. The separator is
// '/'; '\' is accepted on input wherever a separator is looked for.
#pragma once

#include <cstdint>

namespace quorvel {

// Turns every '\' of `path` into '/', in place (reported for NULL).
void filter_path_sep(char* path);

// The text after the last '.' at index 1 or later (the scan does not stop at separators, so
// "dir.d/file" gives "d/file"), an empty string for a trailing '.', NULL when there is none
// (reported for NULL).
char* get_extension(char* path);
const char* get_extension(const char* path);

// Zeroes `out` over `size` bytes, then writes `path` cut before its last '/' or '\' at index 1
// or later ("/dir/" gives "/dir", "/file" stays "/file"), or the whole path when there is none.
// Returns `out`; when the part does not fit, `out` is left empty (reported by str_concat) and
// still returned. NULL for NULL arguments, for a path without separator longer than `size`,
// and for a path of PATH_MAX bytes or more (errno ENAMETOOLONG). Reports nothing itself.
char* get_directory(const char* path, char* out, uint32_t size);

// The directory of the running executable into `out`: 0, or -1 when `out` is NULL, the
// executable's path cannot be read, or its directory does not fit into `size` bytes (then
// reported by str_concat and `out` is left empty).
int get_exe_directory(char* out, uint32_t size);

// A copy of the environment variable's value (released with mem_free), or NULL when
// `name` is NULL or the variable is unset. No caller yet: the echo directive of server-side
// includes will read the environment with it.
char* env_dup(const char* name);

} // namespace quorvel
