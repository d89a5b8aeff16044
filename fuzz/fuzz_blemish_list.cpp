// The encoded blemish list and gain image readers on arbitrary bytes. The list reader runs on
// every input, on a 49 152-byte window of it (and on the input as it is, which only a list of
// exactly that size passes): every entry read back must name a pixel of the sensor. The gain
// image reader (fixed work on a 387 968-byte image whatever the input) runs on one input in 512,
// chosen by a hash of all its bytes (so that mutations of a chosen input are seldom chosen too:
// the reader's few branches need no search) and must give a gain for every pixel.

#include "diagnostics/sensor_calibration.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::diagnostics;
    static std::vector<std::uint8_t> list(kEncodedBlemishBytes);
    const std::size_t listed = std::min(size, list.size());
    std::memcpy(list.data(), data, listed);
    std::memset(list.data() + listed, 0, list.size() - listed);
    DecodedBlemishList decoded;
    if (decodeBlemishList(list, decoded)) {
        for (const auto& r : decoded.rows)
            if (r.plane > 3 || r.line >= kPlaneLines || r.sample >= kPlaneSamples)
                __builtin_trap();
        for (const auto& c : decoded.clusters)
            if (c.plane > 3 || c.line >= kPlaneLines || c.sample >= kPlaneSamples)
                __builtin_trap();
    }
    (void)decodeBlemishList(kv::ByteSpan(data, size), decoded);

    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * 16777619u;
    if (hash % 512 != 0)
        return 0;
    static std::vector<std::uint8_t> image(kEncodedGainBytes);
    const std::size_t imaged = std::min(size, image.size());
    std::memcpy(image.data(), data, imaged);
    std::memset(image.data() + imaged, 0, image.size() - imaged);
    if (decodeGainImage(image).size() != static_cast<std::size_t>(kRawPixels))
        __builtin_trap();
    return 0;
}
