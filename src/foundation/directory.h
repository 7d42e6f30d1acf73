// Directory enumeration over opendir/readdir: every name the system gives, in its order.
#pragma once

namespace quorvel {

// Room for one entry name and its terminator (names are at most 255 bytes).
inline constexpr int DIR_NAME_SIZE = 260;

struct dir_record;

// Starts reading the directory at `path`. NULL for a NULL path (EINVAL, 160, reported), no
// memory (ENOMEM, 8, reported), or a path that is not a directory or cannot be opened (not
// reported; errno as stat or opendir left it, 0 for an existing non-directory).
dir_record* dir_open(const char* path);

// The next name, "." and ".." included, valid until the next read or dir_close; NULL at the
// end (last error 2, errno as readdir left it) or for a NULL record (EINVAL, 160, reported).
const char* dir_read(dir_record* dir);

// Ends the reading and frees the record: 0, or -1 when the system refused to close the
// directory (the record is freed all the same); NULL: -1 (EINVAL, 160, reported).
int dir_close(dir_record* dir);

} // namespace quorvel
