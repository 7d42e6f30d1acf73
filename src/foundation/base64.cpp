// Base64 decoding by the strict rules: white space is skipped, anything else outside the
// alphabet, misplaced padding and non-zero padding bits fail.
#include "foundation/base64.h"

#include <cctype>
#include <cstddef>
#include <cstring>

namespace quorvel {

int b64_decode(const char* text, unsigned char* out, int size)
{
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text == nullptr || out == nullptr || size < 0)
        return -1;
    const auto limit = static_cast<size_t>(size);
    size_t at = 0;
    int state = 0;
    const char* p = text;
    char c = 0;
    while ((c = *p++) != '\0') {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        if (c == '=')
            break;
        const char* found = std::strchr(alphabet, c);
        if (found == nullptr)
            return -1;
        auto value = static_cast<unsigned char>(found - alphabet);
        switch (state) {
        case 0:
            if (at >= limit)
                return -1;
            out[at] = static_cast<unsigned char>(value << 2);
            state = 1;
            break;
        case 1:
            if (at + 1 >= limit)
                return -1;
            out[at] |= static_cast<unsigned char>(value >> 4);
            out[at + 1] = static_cast<unsigned char>((value & 0x0F) << 4);
            ++at;
            state = 2;
            break;
        case 2:
            if (at + 1 >= limit)
                return -1;
            out[at] |= static_cast<unsigned char>(value >> 2);
            out[at + 1] = static_cast<unsigned char>((value & 0x03) << 6);
            ++at;
            state = 3;
            break;
        default:
            if (at >= limit)
                return -1;
            out[at] |= value;
            ++at;
            state = 0;
            break;
        }
    }
    if (c != '=')
        return state == 0 ? static_cast<int>(at) : -1;

    // Padding: two characters of a quantum take "==", three take "=", then only white space.
    if (state < 2)
        return -1;
    c = *p++;
    if (state == 2) {
        while (c != '\0' && std::isspace(static_cast<unsigned char>(c)))
            c = *p++;
        if (c != '=')
            return -1;
        c = *p++;
    }
    while (c != '\0') {
        if (!std::isspace(static_cast<unsigned char>(c)))
            return -1;
        c = *p++;
    }
    // The bits after the last whole byte carry no data and must be zero.
    if (out[at] != 0)
        return -1;
    return static_cast<int>(at);
}

} // namespace quorvel
