// Opening files without blocking on what stands at a path: a FIFO or a device would hold the
// calling thread in open or read, so only regular files are opened for reading. And writing
// a whole piece to a descriptor.
#pragma once

#include <cstddef>
#include <cstdio>
#include <sys/stat.h>

namespace quorvel {

// Opens the regular file at `path` for reading (non-blocking, close-on-exec, never a
// controlling terminal): the descriptor, with the file's status in `*status` when given. -1
// otherwise: errno as open or fstat left it; or, for something other than a regular file
// (its status then in `*status`), EISDIR for a directory and EINVAL for anything else.
int open_regular(const char* path, struct stat* status = nullptr);

// open_regular as a stream for reading: NULL with errno set as open_regular sets it.
std::FILE* open_regular_stream(const char* path, struct stat* status = nullptr);

// Writes all `length` bytes of `data` to `fd`, again after a partial write or EINTR: 0, or -1
// with errno set (EIO when the descriptor takes nothing).
int write_all(int fd, const char* data, size_t length);

} // namespace quorvel
