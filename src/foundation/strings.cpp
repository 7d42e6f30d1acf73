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

int str_vprintf(char** s, const char* format, va_list args)
{
    clear_errors();
    if (s == nullptr || format == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    va_list measure;
    va_copy(measure, args);
    int measured = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    // A format the formatter refuses (a bad conversion, more than INT_MAX characters) is a
    // bad argument like a NULL one.
    if (measured < 0) {
        set_fault(fault::bad_arg);
        return -1;
    }
    size_t n = static_cast<size_t>(measured);

    // Short pieces are formatted on the stack; the heap is touched only for the result.
    char stack_area[1024] = {};
    char* work = stack_area;
    if (n + 2 > sizeof(stack_area)) {
        work = static_cast<char*>(mem_alloc(static_cast<uint32_t>(n + 2)));
        if (work == nullptr) {
            report("str_vprintf", 3672, fault::no_memory,
                   "insufficient memory to perform operation\n");
            return -1;
        }
    }
    std::vsnprintf(work, n + 1, format, args);

    size_t have = *s != nullptr ? std::strlen(*s) : 0;
    size_t total = have + n + 2;
    auto* grown =
        total > UINT32_MAX ? nullptr : static_cast<char*>(mem_alloc(static_cast<uint32_t>(total)));
    if (grown == nullptr) {
        report("str_vprintf", 3711, fault::no_memory, "insufficient memory to perform operation\n");
        if (work != stack_area)
            mem_free(work);
        return -1;
    }
    if (have != 0)
        std::memcpy(grown, *s, have);
    std::memcpy(grown + have, work, n);
    grown[have + n] = '\0';
    mem_free(*s);
    *s = grown;
    if (work != stack_area)
        mem_free(work);
    return 0;
}

int str_printf(char** s, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = str_vprintf(s, format, args);
    va_end(args);
    return result;
}

} // namespace quorvel
