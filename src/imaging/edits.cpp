#include "imaging/edits.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kv::imaging {

void RotatedSize(int rotation, int width, int height, int* rotatedWidth, int* rotatedHeight) {
    const bool swaps = rotation == 1 || rotation == 3;
    *rotatedWidth = swaps ? height : width;
    *rotatedHeight = swaps ? width : height;
}

void RotatePixels(int rotation, std::uint8_t* pixels, int width, int height) {
    if (rotation < 1 || rotation > 3 || pixels == nullptr || width <= 0 || height <= 0)
        return;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t h = static_cast<std::size_t>(height);
    const std::size_t count = w * h;
    if (rotation == 2) {
        // 180 degrees is the pixel order reversed; no copy needed.
        for (std::size_t i = 0, j = count - 1; i < j; ++i, --j)
            std::swap_ranges(pixels + 3 * i, pixels + 3 * i + 3, pixels + 3 * j);
        return;
    }
    std::vector<std::uint8_t> source(pixels, pixels + 3 * count);
    // The result is h pixels wide and w rows high.
    for (std::size_t r = 0; r < h; ++r) {
        const std::uint8_t* row = source.data() + 3 * r * w;
        for (std::size_t c = 0; c < w; ++c) {
            // Clockwise: (r, c) -> (c, h - 1 - r); counter-clockwise: (r, c) -> (w - 1 - c, r).
            const std::size_t outRow = rotation == 1 ? c : w - 1 - c;
            const std::size_t outCol = rotation == 1 ? h - 1 - r : r;
            std::memcpy(pixels + 3 * (outRow * h + outCol), row + 3 * c, 3);
        }
    }
}

std::uint8_t WhitePointFromHistogram(const std::uint32_t (&histogram)[256],
                                     std::size_t pixelCount) {
    const auto mostThreshold = static_cast<std::uint64_t>(0.95 * static_cast<double>(pixelCount));
    const auto tailThreshold = static_cast<std::uint64_t>(0.001 * static_cast<double>(pixelCount));
    int level = 0;
    std::uint64_t running = histogram[0];
    while (running < mostThreshold && level < 255) {
        ++level;
        running += histogram[level];
    }
    while (histogram[level] > tailThreshold && level < 255)
        ++level;
    return static_cast<std::uint8_t>(level);
}

void ApplyWhiteBalance(WhiteBalanceState* state, std::uint8_t* pixels, std::size_t byteCount) {
    WhiteBalanceState temporary;
    temporary.enabled = 1;
    WhiteBalanceState& s = state != nullptr ? *state : temporary;
    if (s.enabled == 0 || pixels == nullptr || byteCount < 3)
        return;

    if (s.whitePoint[0] == 0) {
        std::uint32_t histogram[3][256] = {};
        std::size_t k = 0;
        for (; k + 3 <= byteCount; k += 3) {
            ++histogram[0][pixels[k]];
            ++histogram[1][pixels[k + 1]];
            ++histogram[2][pixels[k + 2]];
        }
        for (std::size_t c = 0; k < byteCount; ++k, ++c)
            ++histogram[c][pixels[k]];
        const std::size_t pixelCount = byteCount / 3;
        for (int c = 0; c < 3; ++c)
            s.whitePoint[c] = WhitePointFromHistogram(histogram[c], pixelCount);
    }

    unsigned white[3];
    for (int c = 0; c < 3; ++c)
        white[c] = std::max<unsigned>(s.whitePoint[c], 1);
    const unsigned largest = std::max({white[0], white[1], white[2]});

    // v * (M / w) evaluated exactly as (v * M) / w: the same truncation without the rounding
    // of a floating-point gain (v = w then maps exactly to M).
    std::uint8_t table[3][256];
    for (int c = 0; c < 3; ++c)
        for (unsigned v = 0; v < 256; ++v)
            table[c][v] = static_cast<std::uint8_t>(std::min(255u, v * largest / white[c]));
    for (std::size_t k = 0; k < byteCount; ++k)
        pixels[k] = table[k % 3][pixels[k]];
}

void ApplyBrightness(float factor, std::uint8_t* pixels, std::size_t byteCount) {
    if (factor == 1.0f || pixels == nullptr)
        return;
    std::uint8_t table[256];
    for (int v = 0; v < 256; ++v) {
        const float product = static_cast<float>(v) * factor;
        if (product > 255.0f)
            table[v] = 255;
        else if (product > 0.0f)
            table[v] = static_cast<std::uint8_t>(product);
        else
            table[v] = 0; // negative factors and NaN
    }
    for (std::size_t k = 0; k < byteCount; ++k)
        pixels[k] = table[pixels[k]];
}

float BrightnessFactorForSlider(int position) {
    const int p = std::clamp(position, kBrightnessSliderMin, kBrightnessSliderMax);
    constexpr float step = 0.013333334f;
    if (p >= 76)
        return 1.0f - static_cast<float>(p - 75) * step * -1.5f;
    return 1.0f - static_cast<float>(75 - p) * step * 0.6f;
}

namespace {

// One pass over one channel. `maxPlane` and `minPlane` are the channel's values before the
// pass with a one-pixel frame of 0 and 255, which leaves neighbours outside the picture out of
// the largest and smallest neighbour.
void filterChannel(std::uint8_t* pixels, int channel, int width, int height,
                   std::vector<std::uint8_t>& maxPlane, std::vector<std::uint8_t>& minPlane) {
    const std::size_t stride = static_cast<std::size_t>(width) + 2;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = pixels + 3 * static_cast<std::size_t>(y) * width + channel;
        std::uint8_t* mx = maxPlane.data() + (y + 1) * stride + 1;
        std::uint8_t* mn = minPlane.data() + (y + 1) * stride + 1;
        for (int x = 0; x < width; ++x)
            mx[x] = mn[x] = src[3 * x];
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* up = maxPlane.data() + y * stride + 1;
        const std::uint8_t* mid = up + stride;
        const std::uint8_t* down = mid + stride;
        const std::uint8_t* upMin = minPlane.data() + y * stride + 1;
        const std::uint8_t* midMin = upMin + stride;
        const std::uint8_t* downMin = midMin + stride;
        std::uint8_t* out = pixels + 3 * static_cast<std::size_t>(y) * width + channel;
        for (int x = 0; x < width; ++x) {
            const int v = mid[x];
            const int largest = std::max({up[x - 1], up[x], up[x + 1], mid[x - 1], mid[x + 1],
                                          down[x - 1], down[x], down[x + 1]});
            const int smallest =
                std::min({upMin[x - 1], upMin[x], upMin[x + 1], midMin[x - 1], midMin[x + 1],
                          downMin[x - 1], downMin[x], downMin[x + 1]});
            int result = v;
            if (v >= largest && v != 0)
                result = largest > 0 ? largest - 1 : 0; // a peak (or flat area) drops below
            else if (v <= smallest && v != 255)
                result = std::min(smallest + 1, 255); // a pit rises above
            out[3 * x] = static_cast<std::uint8_t>(result);
        }
    }
}

} // namespace

bool ApplyNoiseFilter(int iterations, std::uint8_t* pixels, int width, int height,
                      const EditProgress& progress) {
    if (pixels == nullptr || width <= 0 || height <= 0 || iterations <= 0)
        return true;
    if (static_cast<long long>(width) * height < 2)
        return true;
    const std::size_t paddedSize =
        (static_cast<std::size_t>(width) + 2) * (static_cast<std::size_t>(height) + 2);
    std::vector<std::uint8_t> maxPlane(paddedSize, 0);
    std::vector<std::uint8_t> minPlane(paddedSize, 255);
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 3;
    std::vector<std::uint8_t> original;
    if (progress)
        original.assign(pixels, pixels + bytes);

    const int total = iterations * 3;
    int done = 0;
    for (int pass = 0; pass < iterations; ++pass) {
        for (int channel = 0; channel < 3; ++channel) {
            filterChannel(pixels, channel, width, height, maxPlane, minPlane);
            ++done;
            if (progress && !progress(done, total)) {
                std::memcpy(pixels, original.data(), bytes);
                return false;
            }
        }
    }
    return true;
}

EditedSize ApplyEdits(EditSettings* settings, std::uint8_t* pixels, int width, int height,
                      const EditProgress& progress) {
    EditedSize result{width, height, true};
    if (pixels == nullptr || width <= 0 || height <= 0)
        return result;
    const std::size_t bytes = static_cast<std::size_t>(width) * height * 3;
    ApplyWhiteBalance(settings != nullptr ? &settings->whiteBalance : nullptr, pixels, bytes);
    if (settings == nullptr)
        return result;
    if (settings->noiseEnabled != 0 && settings->noiseIterations > 0) {
        const int iterations = std::min<int>(settings->noiseIterations, kMaxNoiseIterations);
        if (!ApplyNoiseFilter(iterations, pixels, width, height, progress))
            result.completed = false;
    }
    ApplyBrightness(settings->brightness, pixels, bytes);
    RotatePixels(settings->rotation, pixels, width, height);
    RotatedSize(settings->rotation, width, height, &result.width, &result.height);
    return result;
}

} // namespace kv::imaging
