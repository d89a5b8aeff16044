// An RGB picture in memory (3 bytes per pixel, R, G, B, rows from the top, no padding) and
// resampling it to another size.
#pragma once

#include "base/bytes.h"

namespace kv::imaging {

struct RgbPicture {
    int width = 0;
    int height = 0;
    Bytes pixels; // width x height x 3

    bool valid() const {
        return width > 0 && height > 0 &&
               pixels.size() == std::size_t(width) * std::size_t(height) * 3;
    }
};

// The picture at width x height: exact doublings through EnlargeTwice, reductions by averaging
// the source area under each target pixel, other enlargements bilinearly. An invalid source or
// size gives an invalid (empty) picture.
RgbPicture ResizeRgb(const RgbPicture& source, int width, int height);

} // namespace kv::imaging
