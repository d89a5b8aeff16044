// The camera's built-in gamma table: 1024 gains in units of 1/4096, one per 10-bit level
// (the output/input ratio of the camera's tone curve). The one table the camera simulation
// uses and the station downloads by default (2048 bytes, little-endian).
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kv::process {

using GammaTable = std::array<std::uint16_t, 1024>;

// The built-in table: 0, four entries of 4096, then 4397, 5123, 5806, 6447, 7049 rising to
// its maximum 16287 at level 82, 8799 at level 255, falling to 4098 at level 1023 (the last
// sixteen entries are fixed values of the camera's table).
const GammaTable& BuiltInGammaTable();

// The table as the 2048 bytes the camera takes.
Bytes GammaTableBytes(const GammaTable& table);

// A gamma text file: 1024 decimal values, eight to a line separated by tabs (any white space
// is accepted). Nothing when a value is missing, is not a number, lies outside 0..32767 (the
// file's values are signed 16-bit), or more than 1024 values are present.
std::optional<GammaTable> ParseGammaText(std::string_view text);

} // namespace kv::process
