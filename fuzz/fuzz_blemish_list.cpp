// The encoded blemish list and gain image readers on arbitrary bytes (a 49 152-byte or
// 387 968-byte window of the input): every entry read back must name a pixel of the sensor.

#include "diagnostics/sensor_calibration.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::diagnostics;
    std::vector<std::uint8_t> list(kEncodedBlemishBytes);
    for (std::size_t i = 0; i < size && i < list.size(); ++i)
        list[i] = data[i];
    DecodedBlemishList decoded;
    if (decodeBlemishList(list, decoded)) {
        for (const auto& r : decoded.rows)
            if (r.plane > 3 || r.line >= kPlaneLines || r.sample >= kPlaneSamples)
                __builtin_trap();
        for (const auto& c : decoded.clusters)
            if (c.plane > 3 || c.line >= kPlaneLines || c.sample >= kPlaneSamples)
                __builtin_trap();
    }
    (void)decodeBlemishList(std::vector<std::uint8_t>(data, data + size), decoded);
    std::vector<std::uint8_t> image(kEncodedGainBytes);
    for (std::size_t i = 0; i < size && i < image.size(); ++i)
        image[i] = data[i];
    if (decodeGainImage(image).size() != static_cast<std::size_t>(kRawPixels))
        __builtin_trap();
    return 0;
}
