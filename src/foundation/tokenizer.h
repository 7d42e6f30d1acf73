// A destructive tokenizer over a private copy of its input, and the quote-aware blank
// marker used to split directive arguments.
#pragma once

#include <cstdint>
#include <type_traits>

namespace quorvel {

inline constexpr uint32_t TOK_TAG = 0xFFFF;

struct tok {
    uint32_t tag; // TOK_TAG while live
    char* text;   // private copy with every delimiter overwritten by NUL
    char* cursor; // next candidate token, NULL once exhausted
    uint32_t length;
};
static_assert(std::is_trivially_destructible_v<tok>);

// A tokenizer over a copy of `s` splitting at any byte of `delimiters` (an empty set leaves
// `s` one token), or NULL (reported). The caller releases it with tok_destroy.
tok* tok_create(const char* s, const char* delimiters);
// The next non-empty token, pointing into the tokenizer's copy: valid, and writable, until
// tok_destroy. NULL once exhausted (not an error); NULL with EINVAL for a NULL tokenizer
// (reported) or a record that is not a live tokenizer (not reported).
char* tok_next(tok* t);
// Releases a live tokenizer and clears the handle; a NULL address or handle, or a record
// that is not a live tokenizer, is ignored.
void tok_destroy(tok** t);

// Replaces every blank and tab outside quotes by '^', in place; '"' and '\'' both open and
// close a quote, whichever opened it. Quotes stay. NULL is ignored. No caller yet: server-side
// includes will split directive arguments with it.
void mark_unquoted_spaces(char* s);

} // namespace quorvel
