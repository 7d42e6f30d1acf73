// Typed records over a stream: the sender writes the checksum of its format string and then
// the fields, the receiver refuses a record whose checksum is not that of its own format
// before it reads any field. Floating-point patterns are built in software from the value,
// so the wire form does not depend on the host's floating-point layout.
#include "net/marshal.h"

#include "core/guard.h"
#include "core/report.h"
#include "core/thread_heap.h"
#include "foundation/htable.h"
#include "net/socket.h"
#include "net/socket_io.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>

namespace quorvel {

namespace {

// A received string longer than this is refused before anything is allocated for it.
constexpr uint32_t MAX_STRING_LENGTH = INT32_MAX;

uint32_t format_checksum(const char* format)
{
    size_t length = std::strlen(format);
    return hash_bytes(format, length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length));
}

// The bytes of an unsigned value, most significant first.
template <typename T>
void to_big_endian(T value, unsigned char* out)
{
    std::memcpy(out, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::little)
        swap_bytes(out, sizeof(T));
}

template <typename T>
T from_big_endian(const unsigned char* in)
{
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, in, sizeof(T));
    if constexpr (std::endian::native == std::endian::little)
        swap_bytes(bytes, sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

void to_little_endian(uint64_t pattern, unsigned char* out, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<unsigned char>(pattern >> (8 * i));
}

uint64_t from_little_endian(const unsigned char* in, size_t size)
{
    uint64_t pattern = 0;
    for (size_t i = 0; i < size; ++i)
        pattern |= uint64_t{in[i]} << (8 * i);
    return pattern;
}

// socket_snd of exactly `length` bytes: true when all of them were taken.
bool send_exact(socket* s, const void* data, uint32_t length)
{
    return socket_snd(s, data, length) == static_cast<int>(length);
}

// socket_rcv of exactly `length` bytes: a short delivery is a failure as well, since the
// field would otherwise be read from bytes that never arrived.
bool receive_exact(socket* s, void* destination, uint32_t length)
{
    return socket_rcv(s, destination, length) == static_cast<int>(length);
}

int marshal_float(socket* s, char id, double value)
{
    unsigned bits = id == 'f' ? 32 : 64;
    unsigned expbits = id == 'f' ? 8 : 11;
    uint64_t pattern = 0;
    if (pack_ieee754(value, bits, expbits, &pattern) != 0) {
        report_text("socket_vmarshal", 10240, fault::bad_arg, "%c value %g cannot be marshalled\n",
                    id, value);
        return -1;
    }
    unsigned char wire[8];
    to_little_endian(pattern, wire, bits / 8);
    return send_exact(s, wire, bits / 8) ? 0 : -1;
}

int marshal_string(socket* s, const char* text)
{
    if (text == nullptr) {
        report_text("socket_vmarshal", 10250, fault::bad_arg, "null argument passed\n");
        return -1;
    }
    size_t length = std::strlen(text);
    if (length > MAX_STRING_LENGTH) {
        report_text("socket_vmarshal", 10252, fault::bad_arg, "string too long to marshal\n");
        return -1;
    }
    unsigned char wire[4];
    to_big_endian(static_cast<uint32_t>(length), wire);
    if (!send_exact(s, wire, 4))
        return -1;
    // An empty string is its length alone.
    if (length != 0 && !send_exact(s, text, static_cast<uint32_t>(length)))
        return -1;
    return 0;
}

// Receives one string field into a new block stored through `place`.
int unmarshal_string(socket* s, char** place)
{
    *place = nullptr;
    unsigned char wire[4];
    if (!receive_exact(s, wire, 4))
        return -1;
    uint32_t length = from_big_endian<uint32_t>(wire);
    // A length the peer chose must not decide an allocation of 2 GiB or more, nor wrap the
    // size of the block.
    char* block = nullptr;
    if (length <= MAX_STRING_LENGTH)
        block = static_cast<char*>(mem_zalloc(length + 2));
    else
        errno = 0;
    if (block == nullptr) {
        report("quorvel_socket_vunmarhsal", 10129, fault::no_memory,
               "insufficient memory to perform operation\n");
        return -1;
    }
    *place = block;
    if (length != 0 && !receive_exact(s, block, length))
        return -1;
    return 0;
}

// The wire size of a fixed-size field.
uint32_t fixed_size(char id)
{
    switch (id) {
    case 's':
        return 2;
    case 'd':
        return 8;
    default:
        return 4;
    }
}

// Receives a fixed-size field and stores it through `place`, whose type is that of `id`;
// false when its bytes could not be received (nothing is stored then).
bool unmarshal_fixed(socket* s, char id, void* place)
{
    unsigned char wire[8];
    if (!receive_exact(s, wire, fixed_size(id)))
        return false;
    switch (id) {
    case 's':
        *static_cast<int16_t*>(place) = static_cast<int16_t>(from_big_endian<uint16_t>(wire));
        break;
    case 'i':
        *static_cast<int32_t*>(place) = static_cast<int32_t>(from_big_endian<uint32_t>(wire));
        break;
    case 'l':
        // Four bytes on the wire whatever the width of long: the value is sign-extended.
        *static_cast<long*>(place) = static_cast<int32_t>(from_big_endian<uint32_t>(wire));
        break;
    case 'f':
        *static_cast<float*>(place) =
            static_cast<float>(unpack_ieee754(from_little_endian(wire, 4), 32, 8));
        break;
    default:
        *static_cast<double*>(place) = unpack_ieee754(from_little_endian(wire, 8), 64, 11);
        break;
    }
    return true;
}

} // namespace

void swap_bytes(void* place, size_t size)
{
    auto* p = static_cast<unsigned char*>(place);
    switch (size) {
    case 2:
    case 4:
    case 8:
        // Exchanging the halves and then reversing each is a reversal of the whole.
        std::reverse(p, p + size);
        break;
    default:
        break;
    }
}

int pack_ieee754(double value, unsigned bits, unsigned expbits, uint64_t* pattern)
{
    if (pattern == nullptr || bits > 64 || expbits < 2 || expbits > 11 || bits < expbits + 2 ||
        bits - expbits - 1 > 52)
        return -1;
    if (value == 0.0) {
        // Both zeros travel as all-zero bits.
        *pattern = 0;
        return 0;
    }
    if (!std::isfinite(value))
        return -1;
    unsigned fracbits = bits - expbits - 1;
    int64_t bias = (int64_t{1} << (expbits - 1)) - 1;
    uint64_t sign = std::signbit(value) ? 1 : 0;
    double magnitude = std::fabs(value);

    // magnitude = significand * 2^exponent with the significand in [1, 2).
    int exponent = 0;
    double significand = std::frexp(magnitude, &exponent) * 2.0;
    exponent -= 1;
    // The fraction's bits, rounded to nearest (ties to even) when the target is narrower.
    double fraction = std::nearbyint(std::ldexp(significand - 1.0, static_cast<int>(fracbits)));
    if (fraction >= std::ldexp(1.0, static_cast<int>(fracbits))) {
        fraction = 0.0;
        exponent += 1;
    }
    int64_t biased = exponent + bias;
    // Below the normal range (subnormal in the target) or beyond its largest finite value.
    if (biased <= 0 || biased >= (int64_t{1} << expbits) - 1)
        return -1;
    *pattern = (sign << (bits - 1)) | (static_cast<uint64_t>(biased) << fracbits) |
               static_cast<uint64_t>(fraction);
    return 0;
}

double unpack_ieee754(uint64_t pattern, unsigned bits, unsigned expbits)
{
    if (bits > 64 || expbits < 2 || expbits > 11 || bits < expbits + 2 || bits - expbits - 1 > 52)
        return 0.0;
    unsigned fracbits = bits - expbits - 1;
    int bias = (1 << (expbits - 1)) - 1;
    uint64_t fraction = pattern & ((uint64_t{1} << fracbits) - 1);
    uint64_t biased = (pattern >> fracbits) & ((uint64_t{1} << expbits) - 1);
    bool negative = ((pattern >> (bits - 1)) & 1) != 0;

    double magnitude;
    if (biased == 0) {
        magnitude =
            std::ldexp(static_cast<double>(fraction), 1 - bias - static_cast<int>(fracbits));
    } else if (biased == (uint64_t{1} << expbits) - 1) {
        magnitude = fraction == 0 ? HUGE_VAL : std::nan("");
    } else {
        double significand = static_cast<double>(fraction | (uint64_t{1} << fracbits));
        magnitude =
            std::ldexp(significand, static_cast<int>(biased) - bias - static_cast<int>(fracbits));
    }
    return negative ? -magnitude : magnitude;
}

int socket_vmarshal(socket* s, const char* format, va_list args)
{
    clear_errors();
    if (s == nullptr || format == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    uint32_t checksum = format_checksum(format);
    debug("socket_vmarshal", 10188, "format: \"%s\", checksum=%d\n", format,
          static_cast<int>(checksum));
    unsigned char wire[4];
    to_big_endian(checksum, wire);
    if (!send_exact(s, wire, 4))
        return -1;

    for (const char* p = format; *p != '\0'; ++p) {
        switch (*p) {
        case 'y': {
            auto byte = static_cast<uint8_t>(va_arg(args, int));
            if (!send_exact(s, &byte, 1))
                return -1;
            break;
        }
        case 's': {
            to_big_endian(static_cast<uint16_t>(va_arg(args, int)), wire);
            if (!send_exact(s, wire, 2))
                return -1;
            break;
        }
        case 'i': {
            to_big_endian(static_cast<uint32_t>(va_arg(args, int32_t)), wire);
            if (!send_exact(s, wire, 4))
                return -1;
            break;
        }
        case 'l': {
            // The low 32 bits of the sender's long.
            to_big_endian(static_cast<uint32_t>(va_arg(args, long)), wire);
            if (!send_exact(s, wire, 4))
                return -1;
            break;
        }
        case 'f':
        case 'd':
            if (marshal_float(s, *p, va_arg(args, double)) != 0)
                return -1;
            break;
        case 'z':
            if (marshal_string(s, va_arg(args, const char*)) != 0)
                return -1;
            break;
        default:
            report_text("socket_vmarshal", 10265, fault::bad_arg,
                        "%c is an invalid format identifier\n", *p);
            return -1;
        }
    }
    return 0;
}

int socket_vunmarshal(socket* s, const char* format, va_list args)
{
    clear_errors();
    if (s == nullptr || format == nullptr) {
        set_fault(fault::bad_arg);
        return -1;
    }
    uint32_t expected = format_checksum(format);
    unsigned char wire[4];
    if (!receive_exact(s, wire, 4))
        return -1;
    uint32_t received = from_big_endian<uint32_t>(wire);
    if (received != expected) {
        report_text("socket_vunmarshal", 10027, fault::bad_arg,
                    "format mismatch checksum=%d,checksumin=%d expected \"%s\"\n",
                    static_cast<int>(expected), static_cast<int>(received), format);
        return -1;
    }

    // The block of the latest string field: a fixed-size field that fails after it takes it
    // back, so that a caller who stops reading at the failure does not lose it.
    char** latest = nullptr;
    auto release_latest = [&latest] {
        if (latest != nullptr && *latest != nullptr) {
            mem_free(*latest);
            *latest = nullptr;
        }
    };
    for (const char* p = format; *p != '\0'; ++p) {
        switch (*p) {
        case 's':
        case 'i':
        case 'l':
        case 'f':
        case 'd': {
            void* place = nullptr;
            switch (*p) {
            case 's':
                place = va_arg(args, int16_t*);
                break;
            case 'i':
                place = va_arg(args, int32_t*);
                break;
            case 'l':
                place = va_arg(args, long*);
                break;
            case 'f':
                place = va_arg(args, float*);
                break;
            default:
                place = va_arg(args, double*);
                break;
            }
            if (place == nullptr) {
                release_latest();
                report_text("socket_vunmarshal", 10140, fault::bad_arg, "null argument passed\n");
                return -1;
            }
            if (!unmarshal_fixed(s, *p, place)) {
                // Releasing the block keeps the codes of the failed receive.
                errno_saver keep;
                release_latest();
                return -1;
            }
            break;
        }
        case 'z': {
            auto** place = va_arg(args, char**);
            if (place == nullptr) {
                release_latest();
                report_text("socket_vunmarshal", 10140, fault::bad_arg, "null argument passed\n");
                return -1;
            }
            latest = place;
            if (unmarshal_string(s, place) != 0)
                return -1;
            break;
        }
        default:
            release_latest();
            report_text("socket_vunmarshal", 10148, fault::bad_arg,
                        "%c is an invalid format identifier\n", *p);
            return -1;
        }
    }
    return 0;
}

} // namespace quorvel
