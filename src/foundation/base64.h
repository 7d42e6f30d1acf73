// Base64 (the standard alphabet with '=' padding) decoding.
#pragma once

namespace quorvel {

// Decodes base64 text into at most `size` bytes (no terminator added): the byte count, or -1
// for a character outside the alphabet, misplaced or missing padding, padding bits that are
// not zero, or output that does not fit. White space is skipped anywhere.
int b64_decode(const char* text, unsigned char* out, int size);

} // namespace quorvel
