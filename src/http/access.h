// Access control for files under the root: ".htaccess" rules with Basic credentials checked
// against a password file (plain or hashed passwords), groups from a group file, and
// allow/deny rules on the client's address. The nearest ".htaccess" between the requested
// file and the root governs.
#pragma once

#include "http/status.h" // STATUS_AUTH_REQUIRED

#include <string_view>

namespace quorvel {

struct request_data;

inline constexpr int HTACCESS_LINE_SIZE = 2048;
inline constexpr int PASSWORD_LINE_SIZE = 512;
inline constexpr int GROUP_LINE_SIZE = 2048;
inline constexpr int HTACCESS_USER_SIZE = 1024;
inline constexpr int HTACCESS_GROUP_SIZE = 120;

// Checks the request for the file or directory at `path` (a local path under the root, which
// need not exist; `is_dir` non-zero for a directory) against the nearest ".htaccess" found
// walking up from the directory that holds it (the directory itself for a directory) to the
// server's root, inclusive. 0 allows. -1 refuses and marks the request REQUEST_FAILED with
// status 17: no "Authorization: Basic" header (the scheme in any case, as its first word), the
// rules refuse, the file cannot be read, a line is longer than its buffer, a rule is of a form
// not understood (with a line), or the path is too long to search; status 14 instead when the
// access file, or the password or group file it names, cannot be opened because no
// descriptor is left. Keywords are read in any case at the start of a line; '#' opens a
// comment line. Without any ".htaccess" every request passes. When the rules admit a user
// authenticated against the password file and the server's access log is on, the request's
// `user` holds the name. Lines about credentials that cannot be read never show them.
int http_check_htaccess(request_data* request, const char* path, int is_dir);

// 1 when the Basic `credentials` (base64 "user:password") match a line of the password file,
// else 0 (with a line telling why). Passwords are verified as password_verify says. `user_out` is
// zeroed for `size` bytes and then holds the decoded user name. `client` only appears in the lines.
int http_check_access(const char* password_file, const char* credentials, char* user_out,
                      const char* client, int size);

// 1 when a line of the group file lists `user` as a member, `group_out` (zeroed for `size`
// bytes first) then holding that line's group name; else 0. The first such line wins; a line
// whose group name does not fit is passed over.
int http_get_group(const char* group_file, const char* user, char* group_out, int size);

// True when the address rule `prefix` covers `client`: "all" (any case) and the empty text cover
// every address; otherwise `prefix` must be a leading part of the client's address ending at a
// whole field ("10.1" and "10.1." cover 10.1.2.3, not 10.10.0.1). An IPv4-mapped IPv6 client
// is compared in its IPv4 form.
bool http_address_match(std::string_view prefix, const char* client);

// True when the blank-separated `list` holds `group` as a whole name.
bool http_group_listed(const char* list, const char* group);

} // namespace quorvel
