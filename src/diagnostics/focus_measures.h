// The image measures of the focus station, on square 8-bit target windows of side N (even):
// the camera's interleaved column order undone with the dark frame subtracted, the per-plane
// equalisation of the 2 x 2 colour mosaic with its target-quality figures, and the edge
// sharpness from the histogram of neighbour differences. Pure functions, no I/O.
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kv::diagnostics {

// The largest window side the station takes (the sensor's height).
inline constexpr int kMaxWindowSide = 800;

// True for a side the measures accept: even, 2..kMaxWindowSide.
bool validWindowSide(int n);

// The input column that output row k takes: N - 1 - k/2 for even k, (N - k)/2 for odd k.
int interleavedColumn(int n, int k);

// `raw` as the camera sends it (N x N, rows of interleaved columns) minus `dark` at the same
// places, negative results 0, with input column interleavedColumn(N, k) becoming output row k.
// `out` must hold N x N bytes; `raw` and `dark` too (an empty `dark` subtracts nothing).
void subtractDarkAndReorder(ByteSpan raw, ByteSpan dark, int n, std::span<std::uint8_t> out);
// The inverse: the window as the camera sends it, from the picture `image` (for the bench camera).
void interleaveForCamera(ByteSpan image, int n, std::span<std::uint8_t> out);

struct PlaneStats {
    double scale = 0;
    int low = 0;
    int high = 0;
};

struct EqualiseStats {
    std::array<PlaneStats, 4> planes{};
    double maxScale = 0;
    long black = 0; // 0..84
    long grey = 0;  // 85..169
    long white = 0; // 170..255
    double greyRatio = 0;
};

// Stretches each of the four mosaic planes (even/odd row x even/odd column) from its 1% to its
// 99% point onto 0..255, in place, and counts black, grey and white pixels afterwards. With
// `perPlane` false the whole window is stretched by one histogram (all four planes' figures
// are then the same).
EqualiseStats equaliseWindow(std::span<std::uint8_t> window, int n, bool perPlane = true);

// The target-quality test: too many grey pixels (a washed-out or missing target) or too much
// stretch (too little light) fail it.
bool targetQualityOk(const EqualiseStats& stats, double minGreyRatio, double maxGain);

// Mode 0 measures the top half of the differences below the 99th percentile and remembers how
// many that were; mode 1 takes the same number of differences from the 99th percentile down
// (comparing a window with one measured before in mode 0).
struct SharpnessState {
    int mode = 0;
    long horizontalCount = 0;
    long verticalCount = 0;
};

struct Sharpness {
    int horizontal = 0;
    int vertical = 0;
    int combined = 0; // the smaller of the two
};

Sharpness measureSharpness(ByteSpan window, int n, SharpnessState& state);

} // namespace kv::diagnostics
