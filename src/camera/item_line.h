// The 128-byte item line the camera sends after selecting a stored item (row 0):
// "%hd,%hd,%ld,%hd,%hd,%hd,%hd,%ld\r\n".
#pragma once

#include "base/bytes.h"

#include <cstdint>

namespace kv::camera {

struct ItemLine {
    std::int16_t status = 0; // 0 = item present, -1 = no such item
    std::int16_t number = 0; // the item's number in the camera
    std::int32_t size = 0;   // bytes
    std::int16_t kind = 0;   // 0 = picture, 1 = sound note
    std::int16_t exposure = 0;
    std::int16_t flash = 0;
    std::int16_t quality = 0; // 3 = uncompressed
    std::int32_t attribute = 0;
    int fieldsRead = 0; // how many fields matched (8 = all)
};

// Parses as a scanf would: fields from the first mismatch on keep their defaults. Stops at a
// NUL or the end of `line`. Numbers too large for their field keep their low bits.
ItemLine parseItemLine(ByteSpan line);

} // namespace kv::camera
