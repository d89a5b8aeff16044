// The focus station's image measures.

#include "diagnostics/focus_measures.h"

#include <algorithm>
#include <cstdlib>

namespace kv::diagnostics {

bool validWindowSide(int n) {
    return n >= 2 && n <= kMaxWindowSide && n % 2 == 0;
}

int interleavedColumn(int n, int k) {
    return (k % 2 == 0) ? n - 1 - k / 2 : (n - k) / 2;
}

void subtractDarkAndReorder(ByteSpan raw, ByteSpan dark, int n, std::span<std::uint8_t> out) {
    const std::size_t side = static_cast<std::size_t>(n);
    const bool withDark = dark.size() >= side * side;
    for (std::size_t k = 0; k < side; ++k) {
        const std::size_t c = static_cast<std::size_t>(interleavedColumn(n, static_cast<int>(k)));
        std::uint8_t* row = out.data() + k * side;
        for (std::size_t j = 0; j < side; ++j) {
            const std::size_t at = j * side + c;
            const int v = raw[at] - (withDark ? dark[at] : 0);
            row[j] = static_cast<std::uint8_t>(v < 0 ? 0 : v);
        }
    }
}

void interleaveForCamera(ByteSpan image, int n, std::span<std::uint8_t> out) {
    const std::size_t side = static_cast<std::size_t>(n);
    for (std::size_t k = 0; k < side; ++k) {
        const std::size_t c = static_cast<std::size_t>(interleavedColumn(n, static_cast<int>(k)));
        for (std::size_t j = 0; j < side; ++j)
            out[j * side + c] = image[k * side + j];
    }
}

namespace {

// The 1% and 99% points of a histogram of `count` pixels, pulled apart when equal.
PlaneStats stretchOf(const std::array<long, 256>& histogram, long count) {
    const long lowCount = count / 100;
    const long highCount = count * 99 / 100;
    int low = -1;
    int high = -1;
    long running = 0;
    for (int bin = 0; bin < 256 && high < 0; ++bin) {
        running += histogram[static_cast<std::size_t>(bin)];
        if (low < 0 && running >= lowCount)
            low = bin;
        if (running >= highCount)
            high = bin;
    }
    if (low < 0)
        low = 255;
    if (high < 0)
        high = 255;
    if (high == low)
        ++high;
    return {255.0 / (high - low), low, high};
}

std::uint8_t stretched(std::uint8_t px, const PlaneStats& p) {
    const double v = (px - p.low) * p.scale;
    return static_cast<std::uint8_t>(std::clamp(static_cast<int>(v), 0, 255));
}

} // namespace

EqualiseStats equaliseWindow(std::span<std::uint8_t> window, int n, bool perPlane) {
    EqualiseStats stats;
    const std::size_t side = static_cast<std::size_t>(n);
    if (!perPlane) {
        std::array<long, 256> histogram{};
        for (std::uint8_t px : window.first(side * side))
            ++histogram[px];
        const PlaneStats p = stretchOf(histogram, static_cast<long>(side * side));
        stats.planes.fill(p);
        stats.maxScale = p.scale;
        for (std::uint8_t& px : window.first(side * side))
            px = stretched(px, p);
    }
    for (int plane = 0; perPlane && plane < 4; ++plane) {
        const std::size_t y0 = static_cast<std::size_t>(plane / 2);
        const std::size_t x0 = static_cast<std::size_t>(plane % 2);
        std::array<long, 256> histogram{};
        for (std::size_t y = y0; y < side; y += 2)
            for (std::size_t x = x0; x < side; x += 2)
                ++histogram[window[y * side + x]];
        const PlaneStats p = stretchOf(histogram, static_cast<long>(side * side / 4));
        stats.planes[static_cast<std::size_t>(plane)] = p;
        stats.maxScale = std::max(stats.maxScale, p.scale);
        for (std::size_t y = y0; y < side; y += 2)
            for (std::size_t x = x0; x < side; x += 2)
                window[y * side + x] = stretched(window[y * side + x], p);
    }
    for (std::uint8_t px : window.first(side * side)) {
        if (px < 85)
            ++stats.black;
        else if (px < 170)
            ++stats.grey;
        else
            ++stats.white;
    }
    const long total = stats.black + stats.grey + stats.white;
    stats.greyRatio = total > 0 ? static_cast<double>(stats.grey) / static_cast<double>(total) : 0;
    return stats;
}

bool targetQualityOk(const EqualiseStats& stats, double minGreyRatio, double maxGain) {
    return !(stats.greyRatio > minGreyRatio || stats.maxScale > maxGain);
}

namespace {

// One direction of the measure over a histogram of absolute differences.
int sharpnessOf(const std::array<long, 256>& histogram, long pixels, int mode, long& remembered) {
    const long threshold = pixels * 99 / 100;
    int p99 = 256;
    long running = 0;
    for (int bin = 0; bin < 256; ++bin) {
        running += histogram[static_cast<std::size_t>(bin)];
        if (running >= threshold) {
            p99 = bin + 1;
            break;
        }
    }
    long count = 0;
    long sum = 0;
    if (mode == 0) {
        for (int bin = p99 / 2; bin < p99; ++bin) {
            count += histogram[static_cast<std::size_t>(bin)];
            sum += histogram[static_cast<std::size_t>(bin)] * bin;
        }
        remembered = count;
    } else {
        for (int bin = std::min(p99, 255); bin >= 0 && count < remembered; --bin) {
            count += histogram[static_cast<std::size_t>(bin)];
            sum += histogram[static_cast<std::size_t>(bin)] * bin;
        }
    }
    return static_cast<int>(16 * sum / (count == 0 ? 1 : count));
}

} // namespace

Sharpness measureSharpness(ByteSpan window, int n, SharpnessState& state) {
    const std::size_t side = static_cast<std::size_t>(n);
    std::array<long, 256> horizontal{};
    std::array<long, 256> vertical{};
    for (std::size_t y = 0; y < side; ++y) {
        const std::uint8_t* row = window.data() + y * side;
        for (std::size_t x = 1; x < side; ++x)
            ++horizontal[static_cast<std::size_t>(std::abs(row[x] - row[x - 1]))];
        if (y == 0)
            continue;
        const std::uint8_t* above = row - side;
        for (std::size_t x = 0; x < side; ++x)
            ++vertical[static_cast<std::size_t>(std::abs(row[x] - above[x]))];
    }
    const long pixels = static_cast<long>(side * side);
    Sharpness s;
    s.horizontal = sharpnessOf(horizontal, pixels, state.mode, state.horizontalCount);
    s.vertical = sharpnessOf(vertical, pixels, state.mode, state.verticalCount);
    s.combined = std::min(s.horizontal, s.vertical);
    return s;
}

} // namespace kv::diagnostics
