// The layout of the camera's 1024-byte process-parameter record, shared by the host's
// station procedures and the bench camera. All values little-endian.
//
//   0  u32  record version (1: the sixteen values at 36..67 are mirrored at 88..119 on read)
//  36  16 x u16  calibration values (version 1)
//  88  16 x u16  their mirror
// 168  u32  DAC setting (0..31)
// 172  4 x i16  colour levels B, R, G, T ("BRGT_LEVELS")
// 180  the colour-conversion block (DOWNLOAD_COLOR sends exactly this), each value signed
//      16-bit with 13 fractional bits, sensor channels in the order B, G, T, R:
//      180  high-light matrix to Y, Cb, Cr (3 x 4)
//      204  low-light matrix (3 x 4)
//      228  working matrix (3 x 4)
//      252  high-light luminance row (4)
//      260  low-light luminance row (4)
//      268  daylight balance (4)
//      276  flash balance (4)
//      284  saturation balance (4)
//      292  saturation R, G, B (3)
// 298  end of the defined values; the rest of the record is kept as the camera sent it.
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv::camera {

inline constexpr std::size_t kParamDacOffset = 168;
inline constexpr std::size_t kParamLevelsOffset = 172;
inline constexpr std::size_t kParamColorOffset = 180;
inline constexpr std::size_t kParamColorValues = 59; // 3 x 12 + 5 x 4 + 3
inline constexpr std::size_t kParamColorEnd = kParamColorOffset + 2 * kParamColorValues;

inline std::int32_t paramDac(ByteSpan record) {
    if (record.size() < kParamDacOffset + 4)
        return -1;
    return static_cast<std::int32_t>(record[kParamDacOffset] | record[kParamDacOffset + 1] << 8 |
                                     record[kParamDacOffset + 2] << 16 |
                                     std::uint32_t(record[kParamDacOffset + 3]) << 24);
}

inline void setParamDac(Bytes& record, std::int32_t value) {
    if (record.size() < kParamDacOffset + 4)
        return;
    for (int i = 0; i < 4; ++i)
        record[kParamDacOffset + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i));
}

// The signed 16-bit value `index` of the colour block or levels (offset given).
inline std::int16_t paramWord(ByteSpan record, std::size_t offset) {
    return static_cast<std::int16_t>(record[offset] | record[offset + 1] << 8);
}

inline void setParamWord(Bytes& record, std::size_t offset, std::int16_t value) {
    record[offset] = static_cast<std::uint8_t>(value & 0xFF);
    record[offset + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8);
}

} // namespace kv::camera
