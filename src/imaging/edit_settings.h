// The edits a picture carries. None of them changes the stored picture data: they are applied
// to the decoded 8-bit RGB pixels whenever the picture is shown or leaves the program, in the
// fixed order white balance, noise filter, brightness, rotation.
#pragma once

#include <cstdint>

namespace kv::imaging {

// Stored in a .kvi file (tag 523) once the first white point is known.
struct WhiteBalanceState {
    std::uint8_t whitePoint[3] = {0, 0, 0}; // 0 = not yet computed
    std::uint8_t reserved = 0;
    std::uint16_t enabled = 0;
    bool operator==(const WhiteBalanceState&) const = default;
};

struct EditSettings {
    std::int16_t rotation = 0; // quarter turns clockwise, 0..3 (stored as TIFF Orientation)
    WhiteBalanceState whiteBalance;
    std::uint16_t noiseIterations = 0; // 1..10 when enabled
    std::uint16_t noiseEnabled = 0;
    float brightness = 1.0f;
    bool operator==(const EditSettings&) const = default;
};

} // namespace kv::imaging
