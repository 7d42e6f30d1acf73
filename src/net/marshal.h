// Typed records over a connected socket: a 32-bit checksum of the format string, then one
// field per identifier. Integers travel most significant byte first, floating-point values as
// their IEEE 754 pattern least significant byte first, strings as a 4-byte length and bytes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace quorvel {

struct socket;

// Reverses the bytes at `place` for a size of 2, 4 or 8; any other size is left alone.
void swap_bytes(void* place, size_t size);

// The IEEE 754 pattern of `value` in a format of `bits` total bits (32 or 64) with `expbits`
// exponent bits (8 or 11), built without relying on the host's floating-point layout: 0 for
// a zero of either sign, the exact pattern of a finite normal value of that format (rounded
// to nearest first when the value has more precision). Returns 0 and stores the pattern, or
// -1 (nothing stored) for a value the format cannot carry: subnormal in the target format,
// infinite, NaN, or too large for it.
int pack_ieee754(double value, unsigned bits, unsigned expbits, uint64_t* pattern);

// The value of an IEEE 754 pattern of `bits` total bits with `expbits` exponent bits; every
// pattern decodes as IEEE defines it (subnormals, infinities and NaN included).
double unpack_ieee754(uint64_t pattern, unsigned bits, unsigned expbits);

// Sends one record through the socket's buffer: the checksum, then a field per identifier of
// `format`, each read from `args` with the type of its identifier:
//   y int (low 8 bits, 1 byte)     s int (low 16 bits, 2 bytes)   i int32 (4 bytes)
//   l long (low 32 bits, 4 bytes)  f double (float pattern, 4)    d double (8 bytes)
//   z const char* (4-byte length, then the bytes)
// 0, or -1: a NULL socket or format (EINVAL, no line); a send failure; an unknown
// identifier, a NULL string, a string of 2^31 bytes or more, or an f/d value that is
// subnormal, infinite or NaN (reported, EINVAL; nothing of that field is sent). Fields before
// a failure stay sent. The bytes leave at the next flush or receive.
int socket_vmarshal(socket* s, const char* format, va_list args);

// Receives one record sent with the same format: the checksum must equal that of `format`
// (else a mismatch line, EINVAL, nothing further read); then each field is stored through
// the next pointer of `args`: s int16_t*, i int32_t*, l long* (sign-extended), f float*,
// d double*, z char** (a zeroed block of n + 2 bytes from mem_alloc, released by the
// caller with mem_free). `y` is refused as an unknown identifier.
// 0, or -1. Values stored before a failure stay stored, except that when an s, i, l, f or d
// field cannot be received, or an identifier is unknown, the most recent string block of
// this call is released and its pointer set to NULL. A string pointer is set to NULL before
// its length is read, so after a failure every string pointer up to the failing field is
// NULL or a block the caller owns. A string length of 2^31 or more is refused as out of
// memory without allocating.
int socket_vunmarshal(socket* s, const char* format, va_list args);

} // namespace quorvel
