#include "diagnostics/vignetting.h"

#include "diagnostics/sensor_calibration.h"

#include <array>

namespace kv::diagnostics {

Vignetting measureVignetting(std::span<const std::uint16_t> white) {
    Vignetting result;
    if (white.size() != static_cast<std::size_t>(kRawPixels))
        return result;
    auto at = [&](int plane, int line, int sample) {
        return long(
            white[static_cast<std::size_t>(SensorCalibration::rawIndex(plane, line, sample))]);
    };
    std::array<long, 4> area{};
    for (int p = 0; p < 4; ++p) {
        long sum = 0;
        for (int l = 180; l < 220; ++l)
            for (int s = 216; s < 264; ++s)
                sum += at(p, l, s);
        const long centre = sum / (40 * 48);
        if (centre == 0)
            continue;
        for (int corner = 0; corner < 4; ++corner) {
            const bool bottom = corner >= 2, right = corner == 0 || corner == 2;
            for (int k = 0; k < kPlaneLines; ++k) {
                const int l = bottom ? kPlaneLines - 1 - k : k;
                int run = 0;
                while (run < kPlaneSamples &&
                       2 * at(p, l, right ? kPlaneSamples - 1 - run : run) < centre)
                    ++run;
                if (run == 0)
                    break;
                area[static_cast<std::size_t>(corner)] += run;
            }
        }
    }
    for (int corner = 0; corner < 4; ++corner)
        if (area[static_cast<std::size_t>(corner)] > result.area) {
            result.area = area[static_cast<std::size_t>(corner)];
            result.corner = corner;
        }
    return result;
}

} // namespace kv::diagnostics
