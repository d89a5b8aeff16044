// The final test's gain run replayed from the working files of the gain folder, without a
// camera: "a.tif" (white average), "z.tif" (dark), "r.tif" (reset, optional) and "c.tif"
// (blue) go through the sensor calibration; the sensor report "r.txt" and its machine-readable
// twin "r.json" are written into the folder.
#pragma once

#include "diagnostics/sensor_calibration.h"

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>

namespace kv {
class Operator;
}
namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

struct GainReplayOptions {
    std::filesystem::path folder;
    std::string programRevision;
    bool automaticMode = false; // verdict boxes without "Continue?"
    // Failure messages in a box as they happen; off when the caller shows the error text.
    bool showFailures = true;
    std::time_t now = 0; // the report's date; 0: the current time
    // With a camera: its name and firmware for the report, "Sensor Passed" asks to continue,
    // and `afterVerdict` (the downloads) runs once the operator went on; false fails the run.
    std::string cameraName = "no camera";
    std::string firmwareRevision;
    bool askContinue = false;
    std::function<bool(SensorCalibration&)> afterVerdict;
    // With a camera: runs after the evaluation, before the report is written (the colour
    // steps, which add to it); false fails the run once the report is written.
    std::function<bool(SensorCalibration&)> afterEvaluation;
};

struct GainReplayResult {
    int status = 0xFFFF;    // 0 when the run completed and the operator went on
    int passed = 0;         // the sensor verdict (1 = passed)
    bool cancelled = false; // the operator cancelled a verdict box
    std::string errorText;
};

GainReplayResult replayGainRun(Operator& op, const settings::Profile& profile,
                               const GainReplayOptions& options);

// The steps from "Creating Gain Data" to "Evaluating Blemishes", each announced in the
// progress box.
void runCalibrationSteps(SensorCalibration& cal, Operator& op);

// The report's machine-readable form: verdict, counts, statistics and the failed checks.
std::string sensorReportJson(const SensorCalibration& cal);

} // namespace kv::diagnostics
