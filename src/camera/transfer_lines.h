// The 8-byte count lines after rows B1 and B3. Pure functions over the received bytes.
#pragma once

#include "base/bytes.h"

#include <optional>

namespace kv::camera {

// The decimal number at the start of an 8-byte count line (leading blanks and a sign
// allowed); nothing when there is none.
std::optional<long> parseCountLine(ByteSpan line);

} // namespace kv::camera
