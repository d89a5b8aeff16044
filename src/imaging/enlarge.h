// Doubling the size of an RGB picture by interpolation on 8-bit samples: the original samples
// stay at the even positions, and each new sample between a and b is
// (9 (a + b) - (c + d) + 8) / 16 with c before a and d after b, clamped to 0..255 (a four-tap
// cubic). Rows first, then columns. At the picture's edges the outermost sample is repeated.
#pragma once

#include "base/bytes.h"

namespace kv::imaging {

// width x height RGB (rows from the top) to 2 width x 2 height. Empty when `rgb` is shorter
// than width x height x 3 or a size is not positive.
Bytes EnlargeTwice(ByteSpan rgb, int width, int height);

} // namespace kv::imaging
