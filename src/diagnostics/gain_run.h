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

// "Create Gain": Z5;0, the gain run, its error text shown and cleared, Z5;1.
int createGainCommand(Station& s, const GainRunOptions& options = {});

// "LED Station": board after board in automatic mode (firmware from "DOWNLOAD_PROGRAM" first
// when set), each verdict in an OK/Cancel box; Cancel ends. The number of boards run.
int runLedStation(Station& s, const GainRunOptions& options = {});

// "Final Test": Z5;0; "FINAL_TEST_SELECTION" 0 runs the gain run, 1 colour neutralisation;
// on success the camera's settings are restored (F0;1, Q0;0, E1;1, S0;0); Z5;1 at the end and
// the error text shown. The final picture-and-sound step is not part of it yet. 0 or 0xFFFF.
int runFinalTest(Station& s, const GainRunOptions& options = {});

inline constexpr int kIdCreateGain = 32865;
inline constexpr int kIdLedStation = 32974;

} // namespace kv::diagnostics
