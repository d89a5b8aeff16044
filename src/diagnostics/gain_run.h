// The gain run of the final test against a camera: the exposures of an LED or flash station
// (dark, P white, blue, reset), their uploads into the sensor calibration, the calculation,
// the sensor report, the verdict and the downloads of the encoded blemish list and gain image.
// With 0 passes the working files of the gain folder are replayed instead (no downloads).
#pragma once

#include <optional>
#include <string>

namespace kv::diagnostics {

struct Station;

struct GainRunOptions {
    std::optional<int> passes; // asked ("4") unless given or the station is in automatic mode
    std::string programRevision;
};

inline constexpr int kGainRunFailed = 0xFFFF;

// 0 on success, 0xFFFF on failure or cancel; failure messages are in s.errorText.
int createGainRun(Station& s, const GainRunOptions& options = {});

} // namespace kv::diagnostics
