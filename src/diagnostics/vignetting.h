// The vignetting measure of the final test: how much of each image corner the lens (or its
// barrel) shades so deeply that the gains cannot flatten it.
//
// A sample is shaded when its white level is below half the level at the centre of its colour
// plane (the mean of the plane's middle 40 lines x 48 samples). From each corner of each
// plane the measure walks inward line by line, counting the unbroken run of shaded samples
// from the image edge, and stops at the first line whose run is empty; a corner's area is the
// sum over the four planes, in raw pixels. Scattered dark pixels away from the corner do not
// count, and a shadow reaching in from the corner counts whole.
#pragma once

#include <cstdint>
#include <span>

namespace kv::diagnostics {

struct Vignetting {
    long area = 0;  // raw pixels of the most shaded corner
    int corner = 0; // 0 top right, 1 top left, 2 bottom right, 3 bottom left (top: raw line 0)
};

// `white`: a raw frame (800 x 960, plane layout of the calibration) of white levels in any
// unit; a frame of another size, or a plane whose centre is black, measures nothing.
Vignetting measureVignetting(std::span<const std::uint16_t> white);

} // namespace kv::diagnostics
