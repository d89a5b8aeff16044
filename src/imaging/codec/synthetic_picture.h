// A procedural natural-looking picture (480 x 400 RGB, rows from the top): a sky gradient,
// textured ground, a few shaded shapes with hard edges, fine stripes and sensor noise,
// reproducible from a seed. For tests, benchmarks, demonstrations and the bench camera's stored
// pictures, where no photograph may be shipped.
#pragma once

#include "base/bytes.h"

#include <cstdint>

namespace kv::codec {

Bytes syntheticPicture(std::uint32_t seed, double noise = 4.0);

} // namespace kv::codec
