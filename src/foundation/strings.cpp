// Bounded concatenation, duplication and the appending formatter.
#include "foundation/strings.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "quorvel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvel {

int str_concat(char* dest, uint32_t size, const char* source)
{
    clear_errors();
    if (dest == nullptr || source == nullptr || size == 0) {
        report("str_concat", 1603, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    size_t have = ::strnlen(dest, size);
    size_t add = std::strlen(source);
    if (have >= size || have + add + 1 > size) {
        dest[0] = '\0';
        report("str_concat", 1613, fault::no_space, "provided buffer is too small\n");
        return -1;
    }
    std::memcpy(dest + have, source, add + 1);
    return 0;
}

char* str_dup(const char* s)
{
    clear_errors();
    if (s == nullptr) {
        report("str_dup", 2676, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    size_t length = std::strlen(s);
    if (length >= UINT32_MAX) {
        report("str_dup", 2689, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    auto* copy = static_cast<char*>(mem_alloc(static_cast<uint32_t>(length + 1)));
    if (copy == nullptr) {
        report("str_dup", 2689, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    std::memcpy(copy, s, length + 1);
    return copy;
}

char* str_dup_general(const char* s)
{
    clear_errors();
    if (s == nullptr) {
        report("str_dup", 2676, fault::bad_arg, "null argument passed\n");
        return nullptr;
    }
    size_t length = std::strlen(s);
    auto* copy = static_cast<char*>(general_alloc(length + 1));
    if (copy == nullptr) {
        report("str_dup", 2689, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    std::memcpy(copy, s, length + 1);
    return copy;
}

formatted_text::~formatted_text()
{
    mem_free(block_);
}

format_result formatted_text::print(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int measured = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (measured < 0)
        return format_result::refused;
    auto n = static_cast<size_t>(measured);
    char* area = area_;
    if (n + 1 > sizeof(area_)) {
        mem_free(block_);
        block_ = n + 1 > UINT32_MAX ? nullptr : static_cast<char*>(mem_alloc(uint32_t(n + 1)));
        if (block_ == nullptr)
            return format_result::no_memory;
        area = block_;
    }
    std::vsnprintf(area, n + 1, format, args);
    text_ = area;
    length_ = n;
    return format_result::ok;
}

int str_vprintf(char** s, const char* format, va_list args)
{
    clear_errors();
    if (s == nullptr || format == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    formatted_text text;
    switch (text.print(format, args)) {
    case format_result::ok:
        break;
    case format_result::refused:
        set_fault(fault::bad_arg);
        return -1;
    case format_result::no_memory:
        report("str_vprintf", 3672, fault::no_memory, "insufficient memory to perform operation\n");
        return -1;
    }
    size_t n = text.length();
    size_t have = *s != nullptr ? std::strlen(*s) : 0;
    size_t total = have + n + 2;
    auto* grown =
        total > UINT32_MAX ? nullptr : static_cast<char*>(mem_alloc(static_cast<uint32_t>(total)));
    if (grown == nullptr) {
        report("str_vprintf", 3711, fault::no_memory, "insufficient memory to perform operation\n");
        return -1;
    }
    if (have != 0)
        std::memcpy(grown, *s, have);
    std::memcpy(grown + have, text.text(), n);
    grown[have + n] = '\0';
    mem_free(*s);
    *s = grown;
    return 0;
}

} // namespace quorvel
