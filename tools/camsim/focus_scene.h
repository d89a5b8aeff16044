// FocusScene: what the bench camera's sensor sees at the focus station — a checkerboard
// sharpness target through a lens whose blur grows with the distance between the lens (the
// bench cradle's position) and a seeded best-focus position, under the station's lights, with
// sensor noise and a dark level. A soft corner can be planted for the lens checks.
//
// registerFocusCommands() adds "Z6;N,left,top" to a bench camera: it answers "OK\r\n", then
// sends the N x N window (one byte a pixel) in the camera's interleaved column order: the
// camera's row r, column c holds the picture's row k(c), column r, where k = 2(N - 1 - c) for
// c >= N/2 and k = N - 1 - 2c below. The host reads the N x N bytes right after the reply.
//
// Threads: render() runs on the camera thread; the setters may be called from any thread.
#pragma once

#include "base/bytes.h"
#include "camsim/bench_camera.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>

namespace kv::camsim {

inline constexpr int kSensorWidth = 960;
inline constexpr int kSensorHeight = 800;

struct FocusSceneOptions {
    long bestFocus = 63050;    // cradle position of the sharpest picture
    double stepsPerPixel = 40; // defocus (steps) that adds one pixel of blur
    double sharpBlur = 0.45;   // blur at best focus (pixels, standard deviation)
    double noise = 1.5;        // sensor noise (standard deviation, 8-bit counts)
    std::uint32_t seed = 1;
    int darkLevel = 12;
    bool softCorner = false;   // the upper-right corner of the lens is soft
    double softCornerBlur = 3; // extra blur there (pixels)
    int square = 32;           // checkerboard square (pixels)
};

// The station's light-controller codes as the scene understands them.
inline constexpr int kLightsDark = 0x85;
inline constexpr int kLightsTarget = 0x82;

class FocusScene {
public:
    // `lensPosition` tells where the lens is (the bench cradle's lens position).
    FocusScene(FocusSceneOptions options, std::function<long()> lensPosition);

    // The window as the sensor sees it, rows from the top (not yet in the camera's order).
    Bytes render(int n, int left, int top);
    // The same in the order the camera sends it.
    Bytes renderForWire(int n, int left, int top);

    void setLights(int code) { lights_ = code; }
    int lights() const { return lights_.load(); }
    const FocusSceneOptions& options() const { return options_; }
    // Blur (pixels) of a window whose centre is at (x, y) with the lens where it is now.
    double blurAt(double x, double y) const;

private:
    FocusSceneOptions options_;
    std::function<long()> lensPosition_;
    std::atomic<int> lights_{kLightsTarget};
    std::mutex randomMutex_;
    std::mt19937 random_;
};

// Adds "Z6" to `camera`; the scene stays alive as long as the handler.
void registerFocusCommands(BenchCamera& camera, std::shared_ptr<FocusScene> scene);

} // namespace kv::camsim
