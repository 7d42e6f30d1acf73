// Bounded string work on NUL-terminated byte strings; every new string comes from the
// allocation pair and is released with mem_free.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace quorvel {

// Appends `source` to the string in `dest` when the whole result fits in `size` bytes: 0.
// Otherwise `dest` becomes the empty string and -1 (ENOSPC, reported); -1 for NULL or size 0.
int str_concat(char* dest, uint32_t size, const char* source);

// A copy of `s` from the calling thread's allocation pair, or NULL (reported).
char* str_dup(const char* s);

// A copy of `s` from the general allocator, for records that outlive a connection.
char* str_dup_general(const char* s);

enum class format_result { ok, refused, no_memory };

// printf-style text formatted once: in an area on the stack when it fits, else in a block of
// the allocation pair, released with the object. For callers that copy the text elsewhere.
class formatted_text {
public:
    formatted_text() = default;
    ~formatted_text();
    formatted_text(const formatted_text&) = delete;
    formatted_text& operator=(const formatted_text&) = delete;

    // Formats `format` with `args` (consumed): `ok`; `refused` for a format the C library
    // refuses (a bad conversion, more than INT_MAX characters); `no_memory` when a block for a
    // long text cannot be had. Nothing is reported.
    format_result print(const char* format, va_list args);
    // The text and its length; the text is NUL-terminated and may hold NULs of its own.
    const char* text() const { return text_; }
    size_t length() const { return length_; }

private:
    char area_[1024];
    char* block_ = nullptr;
    const char* text_ = area_;
    size_t length_ = 0;
};

// Appends the formatted text to the string at `*s` (NULL starts a new one), replacing it by a
// new allocation and releasing the old one; 0, or -1 leaving `*s` untouched (out of memory is
// reported). NULL `s`, NULL format or a format the formatter refuses: -1 (EINVAL), no report.
// No caller yet: the output calls of host functions will build their texts with it.
int str_vprintf(char** s, const char* format, va_list args);

} // namespace quorvel
