// Shared libraries loaded by path at run time.
#pragma once

namespace quorvel {

// Loads the shared library at `path` with every symbol resolved now and kept local to it; a
// path without '/' is taken from the working directory, never searched for. The handle, or
// NULL (module_error says why).
void* module_open(const char* path);

// The address of `name` in the library, or NULL.
void* module_symbol(void* module, const char* name);

// Drops one reference to the library; it is unloaded with the last.
void module_close(void* module);

// The system's text for the last failure of these calls on this thread, or "" when none.
const char* module_error();

} // namespace quorvel
