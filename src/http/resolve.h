// What a request path names: a host function or stored content registered for it (by exact
// path or one of seven pattern keys), else a file or directory under the root, which must
// pass access control; then the MIME record the answer is typed with.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct request_data;
struct server_record;

inline constexpr int URI_PARTS_SIZE = 260;
inline constexpr int URI_KEY_COUNT = 7;
inline constexpr int URI_FIRST_KEY_SIZE = 80;
// Room for a local path: the root, the request path and the terminator.
inline constexpr int RESOLVED_PATH_SIZE = PATH_MAX;

// The parts of a request path.
struct uri_parts {
    char text[URI_PARTS_SIZE]; // up to and including the last '/'; the whole path without one
    char segment[URI_PARTS_SIZE];
    const char* name; // last segment up to its first '.' (in `segment`); NULL: no '/', or a
                      // path of one character, or a path too long for `text`
    const char* ext;  // after the first '.' of the last segment; NULL without one
};
static_assert(std::is_trivially_destructible_v<uri_parts>);

// The seven lookup keys of a path, in lookup order; an empty key is skipped.
struct uri_keys {
    char key[URI_KEY_COUNT][URI_PARTS_SIZE];
};
static_assert(std::is_trivially_destructible_v<uri_keys>);

// Splits `path` (NULL counts as empty) into `parts`.
void split_uri(const char* path, uri_parts* parts);

// Forms the keys "*name", "*name.*", "dirname.*", "dir*.*", "dir*.ext", "*name.ext" and
// "dir*" from `parts`; a key whose part is missing, or that would not fit its bound (80
// bytes for the first, 260 for the others), is left empty.
void make_uri_keys(const uri_parts* parts, uri_keys* keys);

// Resolves the decoded request `path` for `request` (method bits, headers, socket and server
// set): fills kind, target, uri, local_path, file_size and mime. 0, or -1 with the request
// marked REQUEST_FAILED and `status` set. '\' in the path counts as '/'. HEAD is looked up
// in the GET tables as GET is. A directory answered with its index file (SERVER_DIR_INDEX)
// has `uri` naming that file, which then also chooses the MIME record. A final segment
// beginning with ".ht" is refused with status 7 before anything else is looked at. A path
// that does not fit under the root in RESOLVED_PATH_SIZE bytes is refused with status 5
// (400), a mapped one too when the server has a root: it cannot be checked against the
// access files. A file, directory or access-control file the process has no descriptor
// left to open gets status 14 (500).
int map_uri(request_data* request, const char* path);

// A resolved file, open for reading.
struct resolved_file {
    int fd;
    uint64_t size;
    int64_t mtime;   // seconds since 1970
    uint8_t indexed; // the path named a directory, answered with the index file it holds
};

// Resolves `path` to a file or directory under the server's root into `out` (`size` bytes;
// '/' separators). 0 with *is_dir set; -1 with *status set (when given) and a line: no root
// or missing (16), ".." in the path or unreadable (6), no descriptor left to open it
// (EMFILE or ENFILE: 14), a final segment beginning with ".ht" (7), a directory while
// listings are off (16); or, when root and path do not fit, their combined length with
// *status 14. A missing file named like the index (the path ends with the index name) falls
// back to its directory when listings are on. With SERVER_DIR_INDEX, a directory holding the
// index file as a regular file resolves to that file instead (`out` then names it, and
// `file->indexed` is set); an index file that exists but cannot be opened is refused as any
// such file is. With `file`, a resolved file stays open for reading and is described there
// (the caller closes the handle); without, it is closed again.
int httpsrv_rslvpath(char* out, const char* path, const server_record* server, int size,
                     uint32_t* status, int* is_dir, resolved_file* file = nullptr);

// The local path of `path` under the root into `out`, without checking the file system: 0;
// -1 without a root, for NULL arguments or for ".." in the path; the needed length when it
// does not fit.
int map_local_path(const server_record* server, const char* path, char* out, int size);

// True when the first (up to 256) bytes of the regular file at `path` are printable ASCII,
// CR, LF or TAB.
bool is_text_file(const char* path);

// True when the last segment of `path` that is neither empty nor "." begins with ".ht".
bool names_access_file(const char* path);

} // namespace quorvel
