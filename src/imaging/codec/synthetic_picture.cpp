#include "imaging/codec/synthetic_picture.h"

#include <algorithm>
#include <cmath>

namespace kv::codec {

Bytes syntheticPicture(std::uint32_t seed, double noise) {
    constexpr int w = 480, h = 400;
    Bytes rgb(static_cast<std::size_t>(w) * h * 3);
    std::uint32_t state = seed * 2654435761u + 12345u;
    auto random = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0; // [0, 1)
    };
    // A few shapes placed by the seed.
    double cx[4], cy[4], rad[4], col[4][3];
    for (int i = 0; i < 4; ++i) {
        cx[i] = random() * w;
        cy[i] = random() * h;
        rad[i] = 30 + random() * 80;
        for (double& c : col[i])
            c = 30 + random() * 200;
    }
    const double phase = random() * 6.28;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            // Sky-like vertical gradient and ground below a horizon.
            double rgbv[3];
            if (y < h * 0.55) {
                const double t = y / (h * 0.55);
                rgbv[0] = 90 + 90 * t;
                rgbv[1] = 140 + 70 * t;
                rgbv[2] = 220 - 20 * t;
            } else {
                // Grass-like texture: a few sinusoids of varying frequency.
                const double tex = 18 * std::sin(x * 0.31 + phase) * std::cos(y * 0.23) +
                                   10 * std::sin((x + y) * 0.9) + 6 * std::sin(x * 2.1 - y * 1.3);
                rgbv[0] = 70 + tex;
                rgbv[1] = 120 + tex * 1.2 + (y - h * 0.55) * 0.3;
                rgbv[2] = 50 + tex * 0.5;
            }
            for (int i = 0; i < 4; ++i) {
                const double dx = x - cx[i], dy = y - cy[i];
                if (i % 2 == 0 ? dx * dx + dy * dy < rad[i] * rad[i]
                               : std::fabs(dx) < rad[i] && std::fabs(dy) < rad[i] * 0.6) {
                    const double shade = 1.0 - 0.3 * (dy / rad[i]);
                    for (int c = 0; c < 3; ++c)
                        rgbv[c] = col[i][c] * shade;
                }
            }
            // Fine stripes in one corner (high frequencies), then sensor noise.
            if (x > 380 && y > 300)
                for (double& v : rgbv)
                    v += ((x / 2 + y / 3) % 2) ? 25 : -25;
            for (int c = 0; c < 3; ++c) {
                const double n = (random() + random() + random() - 1.5) * noise;
                const double v = std::clamp(rgbv[c] + n, 0.0, 255.0);
                rgb[(static_cast<std::size_t>(y) * w + x) * 3 + c] = static_cast<std::uint8_t>(v);
            }
        }
    return rgb;
}

} // namespace kv::codec
