// The bench camera's focus target. The checkerboard is separable (the sign of a square wave
// in x times one in y), so its Gaussian blur is the product of two blurred square waves.

#include "camsim/focus_scene.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kv::camsim {

namespace {

// A square wave (+1 from 0 to `square`, -1 to 2 * square, and so on) blurred by a Gaussian of
// `sigma`, at the pixel centres from `first` on: the sharp wave plus, for each edge within
// reach, the difference between the blurred step (the normal distribution) and the sharp one.
std::vector<double> blurredWave(int first, int count, int square, double sigma) {
    std::vector<double> out(static_cast<std::size_t>(count));
    const long reach = static_cast<long>(std::ceil(4 * sigma / square)) + 1;
    for (int i = 0; i < count; ++i) {
        const double x = first + i + 0.5;
        const long j0 = static_cast<long>(std::floor(x / square));
        double value = (j0 % 2 == 0) ? 1.0 : -1.0;
        for (long j = j0 - reach; j <= j0 + reach; ++j) {
            const double d = x - static_cast<double>(j * square);
            const double rise = (j % 2 == 0) ? 2.0 : -2.0; // even edges go up, odd ones down
            const double blurred = 0.5 * (1 + std::erf(d / (sigma * std::sqrt(2.0))));
            value += rise * (blurred - (d >= 0 ? 1.0 : 0.0));
        }
        out[static_cast<std::size_t>(i)] = std::clamp(value, -1.0, 1.0);
    }
    return out;
}

// The picture's row behind the camera's column c.
int rowOfColumn(int n, int c) {
    return c >= n / 2 ? 2 * (n - 1 - c) : n - 1 - 2 * c;
}

} // namespace

FocusScene::FocusScene(FocusSceneOptions options, std::function<long()> lensPosition)
    : options_(options), lensPosition_(std::move(lensPosition)), random_(options.seed) {}

double FocusScene::blurAt(double x, double y) const {
    const double defocus =
        static_cast<double>(lensPosition_() - options_.bestFocus) / options_.stepsPerPixel;
    double sigma = std::sqrt(options_.sharpBlur * options_.sharpBlur + defocus * defocus);
    if (options_.softCorner && x >= kSensorWidth * 2 / 3.0 && y < kSensorHeight / 3.0)
        sigma += options_.softCornerBlur;
    return sigma;
}

Bytes FocusScene::render(int n, int left, int top) {
    Bytes out(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
    const bool lit = lights_.load() != kLightsDark;
    const double sigma = blurAt(left + n / 2.0, top + n / 2.0);
    const auto wx = blurredWave(left, n, options_.square, sigma);
    const auto wy = blurredWave(top, n, options_.square, sigma);
    // The colour sites of the 2 x 2 cells answer the white target with their own gains.
    constexpr double kPlaneGain[4] = {0.70, 1.00, 0.90, 0.80};
    std::lock_guard<std::mutex> guard(randomMutex_);
    std::normal_distribution<double> noise(0.0, options_.noise);
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            double v = options_.darkLevel;
            if (lit) {
                const double reflectance =
                    0.5 + 0.35 * wx[static_cast<std::size_t>(x)] * wy[static_cast<std::size_t>(y)];
                const int plane = ((top + y) % 2) * 2 + ((left + x) % 2);
                v += 220.0 * kPlaneGain[plane] * reflectance;
            }
            v += noise(random_);
            out[static_cast<std::size_t>(y * n + x)] =
                static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    }
    return out;
}

Bytes FocusScene::renderForWire(int n, int left, int top) {
    const Bytes picture = render(n, left, top);
    Bytes wire(picture.size());
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            wire[static_cast<std::size_t>(r * n + c)] =
                picture[static_cast<std::size_t>(rowOfColumn(n, c) * n + r)];
    return wire;
}

void registerFocusCommands(BenchCamera& camera, std::shared_ptr<FocusScene> scene) {
    camera.addHandler("Z6", [scene](BenchCamera& cam, const BenchCommand& c) {
        const long n = c.number(0, -1);
        const long left = c.number(1, -1);
        const long top = c.number(2, -1);
        if (c.count() != 3 || n < 2 || n % 2 != 0 || left < 0 || top < 0 ||
            left + n > kSensorWidth || top + n > kSensorHeight) {
            cam.sendRefusal();
            return;
        }
        cam.sendOk();
        const Bytes wire = scene->renderForWire(static_cast<int>(n), static_cast<int>(left),
                                                static_cast<int>(top));
        cam.sendRaw(wire);
    });
}

} // namespace kv::camsim
