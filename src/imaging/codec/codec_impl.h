// The codec object's buffers and the band geometry shared by decoder and encoder. Internal to
// the codec library.
#pragma once

#include "imaging/codec/wavelet_codec.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace kv::codec {

// Quantiser weights by level (0 = finest): mixed bands and diagonal band; the lowest band's is 1.
inline constexpr double kMixedWeight[4] = {4.5, 3.1, 1.9, 1.5};
inline constexpr double kDiagonalWeight[4] = {6.0, 4.1, 2.4, 1.9};
// Channel segments come in the order Cr, Y, Cb.
inline constexpr int kStreamPlaneOrder[3] = {2, 0, 1};
inline constexpr std::uint16_t kChannelLetter[3] = {'Y', 'b', 'r'};
inline constexpr std::size_t kStreamPadding = 32;

// A band as columns [x, x + w) and positions [y, y + h) of a plane.
struct Band {
    int x, y, w, h;
};

// Band 0 is low along x and high along y, band 1 high along x and low along y, band 2 high
// along both, of the region built at that level.
inline Band detailBand(int level, int band) {
    const int w = (kWidth >> level) / 2;
    const int h = (kHeight >> level) / 2;
    switch (band) {
    case 0:
        return {0, h, w, h};
    case 1:
        return {w, 0, w, h};
    default:
        return {w, h, w, h};
    }
}
inline Band lowestBand() {
    return {0, 0, kWidth >> kLevels, kHeight >> kLevels};
}

// The tone map's histograms and the output tile (kept here, not on the stack of whatever
// thread decodes).
struct RenderScratch {
    static constexpr int kBins = 10000;
    static constexpr int kTile = 16;
    static constexpr std::size_t kTileRow = kHeight * 4 + 16; // 3- or 4-byte pixels
    std::uint16_t partial[4 * kBins];
    std::uint32_t histogram[kBins];
    std::uint8_t tile[kTile * kTileRow];
};

struct WaveletCodec::Impl {
    bool vector = true; // AVX2 kernels where the processor has them
    bool wide = true;   // and AVX-512 ones where it has those
    std::vector<float> planes = std::vector<float>(3 * kPlaneValues, 0.0f);
    std::vector<float> work = std::vector<float>(kPlaneValues, 0.0f);
    std::vector<std::uint8_t> stream;                                    // padded stream copy
    std::vector<std::uint8_t> lookup = std::vector<std::uint8_t>(65536); // symbol by window
    std::array<std::uint8_t, 256> lengths{};                             // code length by symbol
    std::array<std::uint16_t, 1024> fast{};                              // short codes first
    std::unique_ptr<RenderScratch> render = std::make_unique<RenderScratch>();
    std::vector<int> scan = std::vector<int>(kPlaneValues / 4); // one band, scan order

    float* plane(int c) { return planes.data() + static_cast<std::size_t>(c) * kPlaneValues; }
    const float* plane(int c) const {
        return planes.data() + static_cast<std::size_t>(c) * kPlaneValues;
    }
};

} // namespace kv::codec
