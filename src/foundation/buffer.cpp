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

uint32_t in_use(const buffer* b)
{
    return static_cast<uint32_t>(b->write_pos - b->data);
}

// A zeroed separate data area of `capacity` bytes and the zero byte behind them.
char* data_alloc(uint32_t capacity)
{
    if (capacity > BUFFER_MAX_CAPACITY)
        return nullptr;
    return static_cast<char*>(mem_zalloc(capacity + 1));
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

void buffer_release_inline(buffer** b)
{
    if (b == nullptr || *b == nullptr)
        return;
    if ((*b)->block_size == 0 && (*b)->data != nullptr)
        mem_free((*b)->data);
    **b = buffer{};
    *b = nullptr;
}

buffer* buffer_dup(const buffer* b)
{
    clear_errors();
    if (!usable(b)) {
        report("buffer_dup", 4354, fault::bad_arg, "null or invalid argument\n");
        return nullptr;
    }
    auto* copy = static_cast<buffer*>(mem_zalloc(sizeof(buffer)));
    if (copy == nullptr) {
        report("buffer_dup", 4397, fault::no_memory, "insufficient memory to perform operation\n");
        return nullptr;
    }
    // The zero byte behind the copied capacity keeps a full copy readable as a string.
    char* data = data_alloc(b->capacity);
    if (data == nullptr) {
        report("buffer_dup", 4386, fault::no_memory, "insufficient memory to perform operation\n");
        mem_free(copy);
        return nullptr;
    }
    std::memcpy(data, b->data, b->capacity);
    copy->capacity = b->capacity;
    copy->data = data;
    copy->read_pos = data + (b->read_pos - b->data);
    copy->write_pos = data + (b->write_pos - b->data);
    return copy;
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

int buffer_resize(buffer* b, uint32_t capacity)
{
    clear_errors();
    if (b == nullptr) {
        report("buffer_resize", 4845, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    if (capacity == b->capacity && b->data != nullptr)
        return buffer_clr(b);
    // A data area inside the record's block goes with that block, whoever owns it.
    if (b->block_size == 0 && b->data != nullptr)
        mem_free(b->data);
    b->capacity = 0;
    b->data = nullptr;
    b->read_pos = nullptr;
    b->write_pos = nullptr;
    char* data = data_alloc(capacity);
    if (data == nullptr) {
        report("buffer_resize", 4867, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    b->block_size = 0;
    b->capacity = capacity;
    b->data = data;
    b->read_pos = data;
    b->write_pos = data;
    return 0;
}

int32_t buffer_put(buffer* b, const void* source, uint32_t count)
{
    clear_errors();
    if (!usable(b) || source == nullptr) {
        report("buffer_put", 4503, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    uint32_t used = in_use(b);
    if (used >= b->capacity)
        return 0;
    uint32_t n = std::min(count, b->capacity - used);
    std::memcpy(b->write_pos, source, n);
    b->write_pos += n;
    return static_cast<int32_t>(n);
}

int32_t buffer_push(buffer** b, const void* source, uint32_t count, uint32_t step)
{
    clear_errors();
    if (b == nullptr || !usable(*b) || source == nullptr) {
        report("buffer_push", 4569, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    buffer* old = *b;
    if (old->capacity - in_use(old) >= count) {
        std::memcpy(old->write_pos, source, count);
        old->write_pos += count;
        return static_cast<int32_t>(count);
    }
    uint64_t wanted = uint64_t{old->capacity} + 1 + std::max(count, step);
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

uint32_t buffer_get(buffer* b, void* dest, uint32_t count)
{
    clear_errors();
    if (!usable(b) || dest == nullptr) {
        report("buffer_get", 4986, fault::bad_arg, "null or invalid argument\n");
        return 0;
    }
    uint32_t n = std::min(count, buffer_canread(b));
    std::memcpy(dest, b->read_pos, n);
    b->read_pos += n;
    return n;
}

uint32_t buffer_getinuse(const buffer* b)
{
    clear_errors();
    if (!usable(b)) {
        report("buffer_getinuse", 3793, fault::bad_arg, "null argument passed\n");
        return 0;
    }
    return in_use(b);
}

uint32_t buffer_getcapacity(const buffer* b)
{
    clear_errors();
    if (b == nullptr) {
        report("buffer_getcapacity", 4058, fault::bad_arg, "null argument passed\n");
        return 0;
    }
    return b->capacity;
}

uint32_t buffer_canread(const buffer* b)
{
    clear_errors();
    if (!usable(b)) {
        report("buffer_canread", 4270, fault::bad_arg, "null or invalid argument\n");
        return 0;
    }
    return b->read_pos < b->write_pos ? static_cast<uint32_t>(b->write_pos - b->read_pos) : 0;
}

int32_t buffer_getpos(const buffer* b)
{
    clear_errors();
    if (!usable(b)) {
        report("buffer_getpos", 4687, fault::bad_arg, "null or invalid argument\n");
        return -1;
    }
    return static_cast<int32_t>(b->read_pos - b->data);
}

} // namespace quorvel
