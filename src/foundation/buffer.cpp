// Byte buffers. A buffer from buffer_create is one block: the record, the data area and
// BUFFER_SPARE zero bytes. buffer_resize and buffer_dup give a buffer a separate data area
// with one zero byte behind it; buffer_push and buffer_printf grow by replacing the buffer.
#include "foundation/buffer.h"

#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/strings.h"
#include "quorvel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

// Headroom left by buffer_printf when it makes or grows a buffer.
constexpr uint64_t PRINTF_HEADROOM = 512;

bool usable(const buffer* b)
{
    return b != nullptr && b->data != nullptr;
}

} // namespace

buffer* buffer_create(uint32_t capacity)
{
    clear_errors();
    if (capacity == 0) {
        report("buffer_create", 4911, fault::bad_arg, "null or invalid argument\n");
        return nullptr;
    }
    void* block = capacity > BUFFER_MAX_CAPACITY
                      ? nullptr
                      : mem_zalloc(static_cast<uint32_t>(buffer_block_size(capacity)));
    if (block == nullptr) {
        report("buffer_create", 4925, fault::no_memory,
               "insufficient memory to perform operation\n");
        return nullptr;
    }
    // Blocks of the allocation pair come zeroed, as the layout requires.
    return buffer_init_inline(block, capacity);
}

void buffer_destroy(buffer** b)
{
    if (b == nullptr || *b == nullptr)
        return;
    if ((*b)->block_size == 0 && (*b)->data != nullptr)
        mem_free((*b)->data);
    mem_free(*b);
    *b = nullptr;
}

buffer* buffer_init_inline(void* area, uint32_t capacity)
{
    if (area == nullptr || capacity > BUFFER_MAX_CAPACITY) {
        set_fault(fault::bad_arg);
        return nullptr;
    }
    auto* b = static_cast<buffer*>(area);
    b->block_size = static_cast<uint32_t>(buffer_block_size(capacity));
    b->capacity = capacity;
    b->data = reinterpret_cast<char*>(b + 1);
    b->read_pos = b->data;
    b->write_pos = b->data;
    return b;
}

int buffer_clr(buffer* b)
{
    clear_errors();
    if (!usable(b)) {
        report("buffer_clr", 4457, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    std::memset(b->data, 0, b->capacity);
    b->read_pos = b->data;
    b->write_pos = b->data;
    return 0;
}

int32_t buffer_push(buffer** b, const void* source, uint32_t count, uint32_t step)
{
    clear_errors();
    if (b == nullptr || !usable(*b) || (source == nullptr && count != 0)) {
        report("buffer_push", 4569, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    buffer* old = *b;
    if (uint64_t{old->capacity} - static_cast<uint64_t>(old->write_pos - old->data) >= count) {
        if (count != 0)
            std::memcpy(old->write_pos, source, count);
        old->write_pos += count;
        return static_cast<int32_t>(count);
    }
    // Growing by half the capacity at least keeps many small pushes from copying the
    // contents again and again.
    uint64_t more = std::max<uint64_t>({count, step, old->capacity / 2});
    uint64_t wanted = uint64_t{old->capacity} + 1 + more;
    if (wanted > BUFFER_MAX_CAPACITY && uint64_t{old->capacity} + 1 + count <= BUFFER_MAX_CAPACITY)
        wanted = BUFFER_MAX_CAPACITY;
    buffer* grown =
        wanted > BUFFER_MAX_CAPACITY ? nullptr : buffer_create(static_cast<uint32_t>(wanted));
    if (grown == nullptr) {
        report("buffer_push", 4588, fault::no_memory, "insufficient memory to perform operation\n");
        return -1;
    }
    std::memcpy(grown->data, old->data, old->capacity);
    grown->read_pos = grown->data + (old->read_pos - old->data);
    grown->write_pos = grown->data + (old->write_pos - old->data);
    // The new bytes go in before the old buffer is released: they may come from it.
    std::memcpy(grown->write_pos, source, count);
    grown->write_pos += count;
    buffer_destroy(b);
    *b = grown;
    return static_cast<int32_t>(count);
}

int buffer_vprintf(buffer** b, const char* format, va_list args)
{
    clear_errors();
    if (b == nullptr || format == nullptr) {
        report("buffer_printf", 3848, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    formatted_text formatted;
    switch (formatted.print(format, args)) {
    case format_result::ok:
        break;
    case format_result::refused:
        // A format the C library refuses; errno carries its reason into the line.
        report("buffer_printf", 3848, fault::bad_arg, "null argument passed\n");
        return -1;
    case format_result::no_memory:
        report("buffer_printf", 3881, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    size_t n = formatted.length();
    const char* text = formatted.text();
    // The text is appended as a string: a NUL it contains ends it.
    size_t length = ::strnlen(text, n);

    buffer* old = *b;
    size_t have = usable(old) ? ::strnlen(old->data, old->capacity) : 0;
    uint64_t needed = old != nullptr ? have + n + 1 : n + 2;
    if (old == nullptr || needed > old->capacity) {
        uint64_t wanted = needed + PRINTF_HEADROOM;
        buffer* grown =
            wanted > BUFFER_MAX_CAPACITY ? nullptr : buffer_create(static_cast<uint32_t>(wanted));
        if (grown == nullptr) {
            if (old == nullptr)
                report("buffer_printf", 3924, fault::no_memory,
                       "insufficient memory to perform operation\n");
            else
                report("buffer_printf", 3944, fault::no_memory,
                       "insufficient memory to perform operation\n");
            return -1;
        }
        if (have != 0)
            std::memcpy(grown->data, old->data, have);
        buffer_destroy(b);
        *b = grown;
    }
    buffer* out = *b;
    std::memcpy(out->data + have, text, length);
    out->data[have + length] = '\0';
    out->write_pos = out->data + have + length;
    // Contents cut at an earlier NUL may leave the read position behind the new end.
    out->read_pos = std::min(out->read_pos, out->write_pos);
    return 0;
}

int buffer_printf(buffer** b, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = buffer_vprintf(b, format, args);
    va_end(args);
    return result;
}

} // namespace quorvel
