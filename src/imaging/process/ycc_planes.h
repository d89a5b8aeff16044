// Float planes of a 480 x 400 picture and their colour-space operations, as the wavelet codec
// lays them out: three planes of 192000 floats, the value of column x (0..479) and position y
// (0..399, counted from the bottom) at x * 400 + y. Plane values use the codec's scale, where
// 8-bit 255 is about 32716 (one byte step is 1 / 0.007794427).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace kv::process {

inline constexpr int kPlaneWidth = 480;
inline constexpr int kPlaneHeight = 400;
inline constexpr std::size_t kPlaneSize = std::size_t(kPlaneWidth) * kPlaneHeight;
// Plane value to byte, the decoder's factor.
inline constexpr float kPlaneToByte = 0.007794427f;

struct Planes {
    std::array<std::vector<float>, 3> p{std::vector<float>(kPlaneSize),
                                        std::vector<float>(kPlaneSize),
                                        std::vector<float>(kPlaneSize)};
    float& at(int plane, int x, int y) { return p[plane][std::size_t(x) * kPlaneHeight + y]; }
    float at(int plane, int x, int y) const { return p[plane][std::size_t(x) * kPlaneHeight + y]; }
};

// RGB8 picture (480 x 400, rows from the top) to planes and back. Bytes are rounded and clamped to
// 0..255; `signedPlanes[c]` adds half the range first (for Cb, Cr and coefficients).
Planes PlanesFromRgb8(std::span<const std::uint8_t> rgb);
std::vector<std::uint8_t> PlanesToRgb8(const Planes& planes,
                                       std::array<bool, 3> signedPlanes = {false, false, false});

// Y = 0.299 R + 0.587 G + 0.114 B, Cb = -0.1687 R - 0.3313 G + 0.5 B,
// Cr = 0.5 R - 0.4187 G - 0.0813 B, in place.
void ConvertRgbToYcc(Planes& planes);
// The decoder's reverse: R = Y + 1.402 Cr, G = Y - 0.3441 Cb - 0.7141 Cr, B = Y + 1.772 Cb.
void ConvertYccToRgb(Planes& planes);

// Each plane's mean and variance over its 192000 values (from the sum and the sum of squares
// times 1/192000), then the mean subtracted.
void RemoveMeans(Planes& planes, std::array<double, 3>& means, std::array<double, 3>& variances);
void AddMeans(Planes& planes, const std::array<double, 3>& means);

} // namespace kv::process
