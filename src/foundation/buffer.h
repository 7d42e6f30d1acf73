// The growable byte buffer: a fixed-capacity data area with a read and a write position.
// Growth replaces the whole buffer (record and data), which is why the growing operations
// take the address of the caller's pointer. The data area is always followed by zero bytes
// no operation writes, so the contents read as a NUL-terminated string even when full.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorvel {

struct buffer {
    // Non-zero when the data area lives in the same block as this record (the value is that
    // block's size); 0 when the data area is an allocation of its own.
    uint32_t block_size;
    uint32_t capacity; // usable bytes of the data area
    char* data;
    char* read_pos;  // next byte to read; data <= read_pos <= write_pos
    char* write_pos; // end of the bytes written; write_pos <= data + capacity
};
static_assert(std::is_trivially_destructible_v<buffer>);

// Zero bytes kept behind the capacity of a buffer made in one block.
inline constexpr uint32_t BUFFER_SPARE = 10;

// The largest capacity a buffer can have; larger requests fail like an allocation, so every
// size and position fits a signed 32-bit value.
inline constexpr uint32_t BUFFER_MAX_CAPACITY =
    static_cast<uint32_t>(INT32_MAX - sizeof(buffer) - BUFFER_SPARE);

// Bytes a buffer of `capacity` takes in one block: the record, the data and the spare bytes.
constexpr size_t buffer_block_size(uint32_t capacity)
{
    return sizeof(buffer) + capacity + BUFFER_SPARE;
}

// A buffer of `capacity` bytes (1 to BUFFER_MAX_CAPACITY) in one zeroed block, or NULL
// (reported). Released with buffer_destroy.
buffer* buffer_create(uint32_t capacity);

// Releases a separate data area (block size 0; the socket layer grows buffers that way), then
// the record, and clears `*b`. NULL
// `b` or `*b` is ignored. Not for buffers made by buffer_init_inline.
void buffer_destroy(buffer** b);

// Places a buffer of `capacity` bytes at `area`, which must hold buffer_block_size(capacity)
// pointer-aligned, zeroed bytes and belongs to the caller (for example a record that carries
// its buffer in its own block). NULL for a NULL area (EINVAL, no report). Such a buffer must
// never reach buffer_destroy, buffer_push or buffer_printf, which release or replace the
// record.
buffer* buffer_init_inline(void* area, uint32_t capacity);

// Zeroes the data area and moves both positions to its start: 0, or -1 (reported).
int buffer_clr(buffer* b);

// Appends all `count` bytes. When they do not fit, `*b` is replaced by a buffer with the old
// contents and positions and at least max(count, step) + 1 more bytes of capacity (half the
// old capacity when that is more), and the old one is destroyed. `count`, or -1 (reported;
// `*b` unchanged) for a NULL buffer or source, or no memory.
int32_t buffer_push(buffer** b, const void* source, uint32_t count, uint32_t step);

// Appends formatted text to the contents taken as a NUL-terminated string; a NULL `*b` starts
// a new buffer. When the text does not fit, `*b` is replaced by a buffer with 512 bytes of
// headroom whose read position is at the start. Bytes behind the first NUL of the contents
// are lost. 0, or -1 (reported; `*b` unchanged) for a NULL `b` or format, a format the C
// library refuses, or no memory.
int buffer_printf(buffer** b, const char* format, ...) __attribute__((format(printf, 2, 3)));
int buffer_vprintf(buffer** b, const char* format, va_list args)
    __attribute__((format(printf, 2, 0)));

} // namespace quorvel
