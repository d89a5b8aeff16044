// The short text lines of the picture transfers: the 128-byte item line after row B0
// ("%hd,%hd,%ld,%hd,%hd,%hd,%hd,%ld\r\n") and the 8-byte count lines after rows B1 and B3.
// Pure functions over the received bytes; they never read past the span they are given.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <optional>

namespace kv::camera {

inline constexpr std::size_t kItemLineSize = 128;

struct ItemLine {
    std::int16_t status = 0; // 0 = present, -1 = no such item
    std::int16_t number = 0;
    std::int32_t size = 0;
    std::int16_t kind = 0; // 0 = picture, 1 = sound note
    std::int16_t exposure = 0;
    std::int16_t flash = 0;
    std::int16_t quality = 0; // 3 = uncompressed
    std::int32_t attribute = 0;
};

// Parses an item line; 16-bit fields keep the low 16 bits of their value as a C reader would.
// A line whose status is -1 is accepted even when the remaining fields are missing; any other
// line needs all eight fields, else nothing.
std::optional<ItemLine> parseItemLine(ByteSpan line);

// The decimal number at the start of an 8-byte count line; nothing when there is none.
std::optional<long> parseCountLine(ByteSpan line);

} // namespace kv::camera
