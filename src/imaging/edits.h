// The picture edits applied to decoded 8-bit RGB pixels (three bytes per pixel, R, G, B, rows
// from the top) whenever a picture is shown or leaves the program: white balance, noise
// filter, brightness and rotation, in that fixed order (ApplyEdits). None of them touches the
// stored picture data. All functions work in place on caller-owned buffers, allocate only
// temporary working copies and are safe to call from any thread on distinct buffers.
#pragma once

#include "imaging/edit_settings.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kv::imaging {

// Called between steps of long edits with the steps done so far and the total; returning
// false asks the edit to stop.
using EditProgress = std::function<bool(int done, int total)>;

// Rotates an RGB buffer of width x height pixels in place. 1 = 90 degrees clockwise (the result
// is `height` pixels wide), 2 = 180 degrees, 3 = 90 degrees counter-clockwise; 0 and values
// outside 0..3 leave the buffer unchanged.
void RotatePixels(int rotation, std::uint8_t* pixels, int width, int height);

// The size of a width x height picture after RotatePixels with `rotation`.
void RotatedSize(int rotation, int width, int height, int* rotatedWidth, int* rotatedHeight);

// Automatic white balance over `byteCount` bytes of interleaved RGB (the channel of byte k is
// k mod 3). Nothing happens when the state's enabled flag is 0. When the first white point is
// 0 the three white points are found from the pixels' histograms and stored in `state`. Each
// byte v then becomes min(255, v * M / w) for its channel's white point w and the largest
// white point M, computed exactly in integers. A null `state` stands for a picture without an
// entry: a temporary enabled state is used and its white points are discarded. A stored white
// point of 0 in the second or third channel (a damaged file) counts as 1.
void ApplyWhiteBalance(WhiteBalanceState* state, std::uint8_t* pixels, std::size_t byteCount);

// Finds the white point of one channel from its 256-bin histogram of `pixelCount` pixels:
// the level below which 95 % of the pixels lie, raised past the levels that still hold more
// than 0.1 % of the pixels (so an all-zero channel gets 1).
std::uint8_t WhitePointFromHistogram(const std::uint32_t (&histogram)[256], std::size_t pixelCount);

// Multiplies every byte by `factor` (255 above 255, truncated otherwise; negative results give
// 0). A factor of exactly 1.0 leaves the bytes untouched.
void ApplyBrightness(float factor, std::uint8_t* pixels, std::size_t byteCount);

// The factor of the Adjust Brightness dialog's slider (positions 1..150, 75 = 1.0, 150 = 2.5,
// 1 = about 0.408); positions outside the range are taken as the nearest end.
float BrightnessFactorForSlider(int position);
inline constexpr int kBrightnessSliderMin = 1;
inline constexpr int kBrightnessSliderMax = 150;
inline constexpr int kBrightnessSliderStart = 75;

// The noise filter: `iterations` passes, each over the three channels separately. In a pass
// every pixel is judged on the values before the pass: a pixel at least as large as all its
// neighbours (and not 0) ends one below its largest neighbour, otherwise a pixel no larger
// than all its neighbours (and below 255) ends one above its smallest neighbour. Border rule:
// only neighbours inside the picture count, so a flat picture stays flat everywhere (every
// pixel drops by one per pass). A picture of one pixel is left alone. `progress` is called
// after each channel of each pass (total = 3 x iterations); when it returns false the filter
// stops and the pixels are restored to what they were, and the result is false.
bool ApplyNoiseFilter(int iterations, std::uint8_t* pixels, int width, int height,
                      const EditProgress& progress = {});

// The largest iteration count the noise filter dialog offers.
inline constexpr int kMaxNoiseIterations = 10;

struct EditedSize {
    int width = 0;
    int height = 0;
    bool completed = true; // false when the noise filter was cancelled (and so left out)
};

// Applies a picture's edits in the fixed order white balance, noise filter (when enabled, with
// its iteration count limited to 1..10), brightness, rotation. White points found on the way
// are stored in `settings`; a null `settings` applies only the automatic white balance of a
// picture without an entry. The buffer must hold width x height x 3 bytes; the result says the
// size after the rotation.
EditedSize ApplyEdits(EditSettings* settings, std::uint8_t* pixels, int width, int height,
                      const EditProgress& progress = {});

} // namespace kv::imaging
