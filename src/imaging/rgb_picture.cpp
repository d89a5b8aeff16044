#include "imaging/rgb_picture.h"

#include "imaging/enlarge.h"

#include <algorithm>
#include <cmath>

namespace kv::imaging {
namespace {

// Each target pixel averages the source pixels whose area it covers (fixed point, 1/256 of a
// source pixel); reductions keep every source pixel's weight.
RgbPicture reduce(const RgbPicture& s, int width, int height) {
    RgbPicture out{width, height, Bytes(std::size_t(width) * std::size_t(height) * 3)};
    for (int ty = 0; ty < height; ++ty) {
        const int y0 = int(std::int64_t(ty) * s.height / height);
        const int y1 = std::max(y0 + 1, int(std::int64_t(ty + 1) * s.height / height));
        for (int tx = 0; tx < width; ++tx) {
            const int x0 = int(std::int64_t(tx) * s.width / width);
            const int x1 = std::max(x0 + 1, int(std::int64_t(tx + 1) * s.width / width));
            std::uint64_t sum[3] = {0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                const std::uint8_t* p =
                    &s.pixels[(std::size_t(y) * std::size_t(s.width) + std::size_t(x0)) * 3];
                for (int x = x0; x < x1; ++x, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            const std::uint64_t n = std::uint64_t(y1 - y0) * std::uint64_t(x1 - x0);
            std::uint8_t* o =
                &out.pixels[(std::size_t(ty) * std::size_t(width) + std::size_t(tx)) * 3];
            for (int c = 0; c < 3; ++c)
                o[c] = static_cast<std::uint8_t>((sum[c] + n / 2) / n);
        }
    }
    return out;
}

RgbPicture bilinear(const RgbPicture& s, int width, int height) {
    RgbPicture out{width, height, Bytes(std::size_t(width) * std::size_t(height) * 3)};
    for (int ty = 0; ty < height; ++ty) {
        const double fy = std::clamp((ty + 0.5) * s.height / height - 0.5, 0.0, s.height - 1.0);
        const int y0 = int(fy);
        const int y1 = std::min(y0 + 1, s.height - 1);
        const double wy = fy - y0;
        for (int tx = 0; tx < width; ++tx) {
            const double fx = std::clamp((tx + 0.5) * s.width / width - 0.5, 0.0, s.width - 1.0);
            const int x0 = int(fx);
            const int x1 = std::min(x0 + 1, s.width - 1);
            const double wx = fx - x0;
            auto at = [&s](int x, int y, int c) {
                return double(
                    s.pixels[(std::size_t(y) * std::size_t(s.width) + std::size_t(x)) * 3 +
                             std::size_t(c)]);
            };
            for (int c = 0; c < 3; ++c) {
                const double v = (at(x0, y0, c) * (1 - wx) + at(x1, y0, c) * wx) * (1 - wy) +
                                 (at(x0, y1, c) * (1 - wx) + at(x1, y1, c) * wx) * wy;
                out.pixels[(std::size_t(ty) * std::size_t(width) + std::size_t(tx)) * 3 +
                           std::size_t(c)] = static_cast<std::uint8_t>(std::lround(v));
            }
        }
    }
    return out;
}

} // namespace

RgbPicture ResizeRgb(const RgbPicture& source, int width, int height) {
    if (!source.valid() || width <= 0 || height <= 0)
        return {};
    if (width == source.width && height == source.height)
        return source;
    if (width == 2 * source.width && height == 2 * source.height)
        return {width, height, EnlargeTwice(source.pixels, source.width, source.height)};
    if (width > 2 * source.width && height > 2 * source.height && width % 2 == 0 &&
        height % 2 == 0) {
        RgbPicture twice{source.width * 2, source.height * 2,
                         EnlargeTwice(source.pixels, source.width, source.height)};
        return ResizeRgb(twice, width, height);
    }
    if (width <= source.width && height <= source.height)
        return reduce(source, width, height);
    return bilinear(source, width, height);
}

} // namespace kv::imaging
