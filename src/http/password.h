// The password field of a password file line: the hashes the htpasswd tool writes are
// verified as hashes and never compared as text, so a stored hash is never a password.
#pragma once

#include <string_view>

namespace quorvel {

enum class password_match { yes, no, unsupported };

// Verifies `given` against the password field `stored`, both NUL-terminated:
// - bcrypt ("$2y$", "$2b$", "$2a$"), SHA-256/512-crypt ("$5$", "$6$"), MD5-crypt ("$1$") and
//   the 13-character traditional crypt, through the system's crypt_r;
// - the Apache MD5 form ("$apr1$") and "{SHA}" (base64 of the SHA-1 digest);
// - a field shaped like some other hash ("$id$..." or "{NAME}...") is `unsupported`;
// - anything else is the password itself.
// Comparisons take a time that depends on lengths only, never on where the texts differ.
// Allocates (and frees) a crypt work area of about 32 KiB for the crypt families.
password_match password_verify(const char* stored, const char* given);

// True when `a` and `b` hold the same bytes; the time taken depends on their lengths only.
bool same_secret(std::string_view a, std::string_view b);

} // namespace quorvel
