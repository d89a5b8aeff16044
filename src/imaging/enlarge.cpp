#include "imaging/enlarge.h"

#include <algorithm>

namespace kv::imaging {
namespace {

inline std::uint8_t between(int c, int a, int b, int d) {
    const int v = (9 * (a + b) - (c + d) + 8) / 16;
    return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

// Doubles `n` samples spaced `step` apart from `in` into 2n samples spaced `step` apart.
inline void doubleLine(const std::uint8_t* in, std::uint8_t* out, int n, std::size_t step) {
    auto at = [in, n, step](int i) { return int(in[std::size_t(std::clamp(i, 0, n - 1)) * step]); };
    auto edge = [&](int i) {
        out[std::size_t(2 * i) * step] = in[std::size_t(i) * step];
        out[std::size_t(2 * i + 1) * step] = between(at(i - 1), at(i), at(i + 1), at(i + 2));
    };
    if (n < 4) {
        for (int i = 0; i < n; ++i)
            edge(i);
        return;
    }
    edge(0);
    // Inside the line every neighbour exists: no clamping of positions.
    for (int i = 1; i < n - 2; ++i) {
        const std::uint8_t* p = in + std::size_t(i) * step;
        out[std::size_t(2 * i) * step] = p[0];
        out[std::size_t(2 * i + 1) * step] =
            between(p[-std::ptrdiff_t(step)], p[0], p[step], p[2 * step]);
    }
    edge(n - 2);
    edge(n - 1);
}

} // namespace

Bytes EnlargeTwice(ByteSpan rgb, int width, int height) {
    if (width <= 0 || height <= 0 || rgb.size() < std::size_t(width) * std::size_t(height) * 3)
        return {};
    const std::size_t w2 = std::size_t(width) * 2;
    // Rows: width -> 2 width, per channel.
    Bytes wide(w2 * std::size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = rgb.data() + std::size_t(y) * std::size_t(width) * 3;
        std::uint8_t* out = wide.data() + std::size_t(y) * w2 * 3;
        for (int c = 0; c < 3; ++c)
            doubleLine(in + c, out + c, width, 3);
    }
    // Columns: height -> 2 height, a whole row of samples at a time.
    const std::size_t stride = w2 * 3;
    Bytes out(stride * std::size_t(height) * 2);
    auto row = [&wide, height, stride](int y) {
        return wide.data() + std::size_t(std::clamp(y, 0, height - 1)) * stride;
    };
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* c = row(y - 1);
        const std::uint8_t* a = row(y);
        const std::uint8_t* b = row(y + 1);
        const std::uint8_t* d = row(y + 2);
        std::uint8_t* even = out.data() + std::size_t(2 * y) * stride;
        std::uint8_t* odd = even + stride;
        std::copy_n(a, stride, even);
        for (std::size_t x = 0; x < stride; ++x)
            odd[x] = between(c[x], a[x], b[x], d[x]);
    }
    return out;
}

} // namespace kv::imaging
