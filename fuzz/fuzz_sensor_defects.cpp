// The bench sensor's defect list reader on arbitrary text: every accepted defect lies inside
// the sensor's planes, a refused list gives a reason, and an accepted list reads back the same
// from its own text form. An accepted list is then put on one frame (kept from input to input
// and refilled, not allocated anew), under a lighting the input's length picks.

#include "camsim/bench_station.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<kv::camsim::SensorDefect> defects;
    std::string error;
    const bool ok = kv::camsim::parseSensorDefects(
        std::string_view(reinterpret_cast<const char*>(data), size), defects, error);
    if (!ok && error.empty())
        __builtin_trap();
    if (defects.size() > kv::camsim::kMaxSensorDefects)
        __builtin_trap();
    for (const auto& d : defects)
        if (d.plane < 0 || d.plane > 3 || d.line < 0 || d.line >= 400 || d.sample < 0 ||
            d.sample >= 480 || d.length < 1 || d.length > 480 || !std::isfinite(d.level))
            __builtin_trap();
    if (ok) {
        std::vector<kv::camsim::SensorDefect> again;
        if (!kv::camsim::parseSensorDefects(kv::camsim::formatSensorDefects(defects), again,
                                            error) ||
            again != defects)
            __builtin_trap();
    }
    if (!ok)
        return 0;
    static std::vector<std::uint16_t> frame(960 * 800);
    std::fill(frame.begin(), frame.end(), std::uint16_t{300});
    constexpr kv::camsim::Lighting lightings[] = {
        kv::camsim::Lighting::Dark, kv::camsim::Lighting::White, kv::camsim::Lighting::Blue};
    kv::camsim::applySensorDefects(defects, frame, 16, lightings[size % 3]);
    return 0;
}
