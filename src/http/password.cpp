// Password verification for password files. The crypt families go through the system's
// crypt_r; the two htpasswd forms crypt_r does not know ("$apr1$" and "{SHA}") are built on
// libcrypto's MD5 and SHA-1. Work areas that held a password are wiped before they are freed.
#include "http/password.h"

#include "core/thread_heap.h"
#include "quorvel.h"

#include <algorithm>
#include <array>
#include <crypt.h>
#include <cstdint>
#include <cstring>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace quorvel {

namespace {

// The alphabet of crypt salts and hashes.
constexpr std::string_view CRYPT_ALPHABET =
    "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
static_assert(CRYPT_ALPHABET.size() == 64);

constexpr std::string_view APR1_MAGIC = "$apr1$";
constexpr std::string_view SHA_PREFIX = "{SHA}";
constexpr size_t DES_HASH_SIZE = 13;
constexpr size_t APR1_SALT_MAX = 8;
constexpr int APR1_ROUNDS = 1000;
constexpr size_t MD5_SIZE = 16;
constexpr size_t SHA1_SIZE = 20;

// Settings crypt_r is trusted with: the families the htpasswd tool writes.
constexpr std::string_view CRYPT_PREFIXES[] = {"$2y$", "$2b$", "$2a$", "$5$", "$6$", "$1$"};

enum class field_kind { crypt_family, apr1, sha1, other_hash, plain };

bool crypt_text(std::string_view s)
{
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return CRYPT_ALPHABET.find(c) != std::string_view::npos; });
}

// "$id$..." or "{NAME}..." with a plausible identifier: the shape of some hash.
bool hash_shaped(std::string_view s)
{
    if (s.size() < 3 || (s[0] != '$' && s[0] != '{'))
        return false;
    size_t end = s.find(s[0] == '$' ? '$' : '}', 1);
    if (end == std::string_view::npos || end == 1)
        return false;
    return std::all_of(s.begin() + 1, s.begin() + static_cast<ptrdiff_t>(end), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '-' || c == '_';
    });
}

field_kind classify(std::string_view stored)
{
    for (std::string_view prefix : CRYPT_PREFIXES) {
        if (stored.starts_with(prefix))
            return field_kind::crypt_family;
    }
    if (stored.starts_with(APR1_MAGIC))
        return field_kind::apr1;
    if (stored.starts_with(SHA_PREFIX))
        return field_kind::sha1;
    // The traditional crypt has no prefix: two salt characters and eleven of hash.
    if (stored.size() == DES_HASH_SIZE && crypt_text(stored))
        return field_kind::crypt_family;
    return hash_shaped(stored) ? field_kind::other_hash : field_kind::plain;
}

bool verify_crypt(const char* stored, const char* given)
{
    auto* data = static_cast<crypt_data*>(mem_zalloc(sizeof(crypt_data)));
    if (data == nullptr)
        return false;
    // A setting crypt_r cannot use gives a result beginning with '*', never a match.
    const char* hashed = ::crypt_r(given, stored, data);
    bool same = hashed != nullptr && hashed[0] != '*' && same_secret(hashed, stored);
    ::explicit_bzero(data, sizeof(*data));
    mem_free(data);
    return same;
}

using md5_digest = std::array<unsigned char, MD5_SIZE>;

std::string_view view(const md5_digest& d)
{
    return {reinterpret_cast<const char*>(d.data()), d.size()};
}

// MD5 through libcrypto: start, add any number of parts, finish. A failure anywhere makes
// finish fail.
class md5_hash {
public:
    bool start()
    {
        ok_ = md_ != nullptr && ctx_ != nullptr &&
              EVP_DigestInit_ex2(ctx_.get(), md_.get(), nullptr) == 1;
        return ok_;
    }
    void add(std::string_view part)
    {
        ok_ = ok_ && EVP_DigestUpdate(ctx_.get(), part.data(), part.size()) == 1;
    }
    bool finish(md5_digest& out)
    {
        unsigned int size = 0;
        return ok_ && EVP_DigestFinal_ex(ctx_.get(), out.data(), &size) == 1 && size == MD5_SIZE;
    }

private:
    struct md_free {
        void operator()(EVP_MD* md) const { EVP_MD_free(md); }
    };
    struct ctx_free {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD, md_free> md_{EVP_MD_fetch(nullptr, "MD5", nullptr)};
    std::unique_ptr<EVP_MD_CTX, ctx_free> ctx_{EVP_MD_CTX_new()};
    bool ok_ = false;
};

// Appends `count` characters of the crypt alphabet for the low bits of `value`, lowest first.
char* put_crypt64(char* out, uint32_t value, int count)
{
    for (; count > 0; --count, value >>= 6)
        *out++ = CRYPT_ALPHABET[value & 0x3F];
    return out;
}

// The Apache MD5 form: MD5-crypt with the magic "$apr1$" in place of "$1$", 1000 rounds over
// the password and a salt of up to 8 characters.
bool verify_apr1(std::string_view stored, std::string_view password)
{
    std::string_view salt = stored.substr(APR1_MAGIC.size());
    salt = salt.substr(0, std::min(salt.find('$'), APR1_SALT_MAX));

    md5_hash md5;
    md5_digest alternate{};
    md5_digest digest{};
    md5.start();
    md5.add(password);
    md5.add(salt);
    md5.add(password);
    bool ok = md5.finish(alternate);

    md5.start();
    md5.add(password);
    md5.add(APR1_MAGIC);
    md5.add(salt);
    for (size_t left = password.size(); left > 0; left -= std::min(left, MD5_SIZE))
        md5.add(view(alternate).substr(0, std::min(left, MD5_SIZE)));
    // Each bit of the length adds a zero byte (set) or the password's first byte (clear).
    std::string_view first = password.substr(0, 1);
    for (size_t bits = password.size(); bits != 0; bits >>= 1)
        md5.add((bits & 1) ? std::string_view("", 1) : first);
    ok = ok && md5.finish(digest);

    for (int round = 0; ok && round < APR1_ROUNDS; ++round) {
        md5.start();
        md5.add((round & 1) ? password : view(digest));
        if (round % 3 != 0)
            md5.add(salt);
        if (round % 7 != 0)
            md5.add(password);
        md5.add((round & 1) ? view(digest) : password);
        ok = md5.finish(digest);
    }
    if (!ok)
        return false;

    char hashed[64];
    char* out = hashed;
    out = std::copy(APR1_MAGIC.begin(), APR1_MAGIC.end(), out);
    out = std::copy(salt.begin(), salt.end(), out);
    *out++ = '$';
    constexpr int groups[5][3] = {{0, 6, 12}, {1, 7, 13}, {2, 8, 14}, {3, 9, 15}, {4, 10, 5}};
    for (const auto& g : groups)
        out = put_crypt64(
            out, (uint32_t{digest[g[0]]} << 16) | (uint32_t{digest[g[1]]} << 8) | digest[g[2]], 4);
    out = put_crypt64(out, digest[11], 2);
    bool same = same_secret({hashed, static_cast<size_t>(out - hashed)}, stored);
    ::explicit_bzero(digest.data(), digest.size());
    ::explicit_bzero(alternate.data(), alternate.size());
    return same;
}

// "{SHA}" and the base64 text of the password's SHA-1 digest.
bool verify_sha1(std::string_view stored, std::string_view password)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    size_t size = 0;
    if (EVP_Q_digest(nullptr, "SHA1", nullptr, password.data(), password.size(), digest, &size) !=
            1 ||
        size != SHA1_SIZE)
        return false;
    unsigned char text[4 * ((SHA1_SIZE + 2) / 3) + 1];
    int length = EVP_EncodeBlock(text, digest, static_cast<int>(SHA1_SIZE));
    ::explicit_bzero(digest, sizeof(digest));
    return same_secret({reinterpret_cast<char*>(text), static_cast<size_t>(length)},
                       stored.substr(SHA_PREFIX.size()));
}

} // namespace

bool same_secret(std::string_view a, std::string_view b)
{
    // Texts of different lengths still cost a whole comparison, of `a` with itself.
    bool same_length = a.size() == b.size();
    return CRYPTO_memcmp(a.data(), same_length ? b.data() : a.data(), a.size()) == 0 && same_length;
}

password_match password_verify(const char* stored, const char* given)
{
    if (stored == nullptr || given == nullptr)
        return password_match::no;
    bool same = false;
    switch (classify(stored)) {
    case field_kind::crypt_family:
        same = verify_crypt(stored, given);
        break;
    case field_kind::apr1:
        same = verify_apr1(stored, given);
        break;
    case field_kind::sha1:
        same = verify_sha1(stored, given);
        break;
    case field_kind::other_hash:
        return password_match::unsupported;
    case field_kind::plain:
        same = same_secret(stored, given);
        break;
    }
    return same ? password_match::yes : password_match::no;
}

} // namespace quorvel
