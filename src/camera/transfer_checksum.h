// Checksums of the bulk transfers. Reads end with a 16-bit word sum that must come to 0xFFFF;
// block writes carry the plain byte sum of the block.
#pragma once

#include "base/bytes.h"

#include <cstdint>

namespace kv::camera {

// Sum of the little-endian 16-bit words of `data` (size / 2 words; an odd last byte is not
// counted), wrapping at 65536.
std::uint16_t wordSum16(ByteSpan data);
// Continues a word sum over a further piece; `data` must start on a word boundary of the whole.
std::uint16_t addWordSum16(std::uint16_t sum, ByteSpan data);
// Sum of the bytes, each unsigned, modulo 65536 (rows D1, D2, D3, U1).
std::uint16_t byteSum16(ByteSpan data);
// Plain sum of the bytes (row D4, the parameter record).
std::uint32_t byteSum32(ByteSpan data);

// The 16-bit word a sender appends so that the word sum of data plus this word is 0xFFFF.
inline std::uint16_t checksumWordFor(ByteSpan data) {
    return static_cast<std::uint16_t>(0xFFFF - wordSum16(data));
}

} // namespace kv::camera
