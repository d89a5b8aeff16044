// The gain run of the final test against a camera: the exposures of an LED or flash station
// (dark, P white, blue, reset), their uploads into the sensor calibration, the calculation,
// the sensor report, the verdict and the downloads of the encoded blemish list and gain image.
// With 0 passes the working files of the gain folder are replayed instead (no downloads).
#pragma once

#include <filesystem>
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

// "Final Test": "Final Test in progress" in the status bar, Z5;0; "FINAL_TEST_SELECTION" 0
// runs the gain run, 1 colour neutralisation; when that succeeded the final picture and sound
// step runs ("Final Picture Retrieve Failed!"; a failed sound test, "Sound Test FAILED!",
// fails the board too). However it ends the camera gets F0;1, Q0;0, E1;1, S0;0 and Z5;1, and
// the error text is shown. 0 or 0xFFFF.
int runFinalTest(Station& s, const GainRunOptions& options = {});

struct FinalPictureResult {
    bool retrieved = false; // the picture and its note are in the folder
    bool soundPassed = false;
    std::filesystem::path picture;
    std::filesystem::path sound; // the note as a wave file
};

// Sound on (S0;1), the test sound played, a picture taken ("P0") while the camera records its
// note, then the newest picture and its note fetched into `folder` ("final" + number) and the
// note put through the sound test (summary in "DEBUG_FILE").
FinalPictureResult finalPictureAndSound(Station& s, const std::filesystem::path& folder);

inline constexpr int kIdCreateGain = 32865;
inline constexpr int kIdLedStation = 32974;

} // namespace kv::diagnostics
