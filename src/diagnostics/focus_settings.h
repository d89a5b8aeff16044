// The focus station's settings: section "DIAGNOSTICS" for what a run does, "FOCUS_PARAMS" for
// the window, the sweep, the cradle, the limits and the lens checks.
#pragma once

#include "diagnostics/focus_peak.h"
#include "diagnostics/lens_cradle_link.h"

#include <array>
#include <string>

namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

struct LensRegion {
    const char* name; // "Upper Left", ...
    long x = 0;
    long y = 0;
};

struct FocusSettings {
    // "DIAGNOSTICS"
    int autoFocus = 1;         // "AUTO_FOCUS"
    int checkLens = 2;         // "CHECK_LENS"
    int checkFocus = 0;        // "CHECK_FOCUS" (0 when absent)
    bool imageDisplay = false; // "FOCUS_IMAGE_DISPLAY"

    // "FOCUS_PARAMS"
    int targetSize = 128;
    long left = 416;
    long top = 336;
    int exposure = 5; // outside 0..11 becomes 0
    long loadedPosition = 56000;
    long startPosition = 63000;
    long endPosition = 63100;
    long step = 2;
    CradleSettings cradle; // port, speeds (focus speed capped at 10000), time-out, clamp
    int minSharpness = 1900;
    double minGreyRatio = 0.33;
    double maxGain = 4.0;
    FocusPeakParams peak;
    long offset = 0;
    long glueSetTime = 2000;
    double checkRatio = 0.95; // "SHARPNESS_CHECK_RATIO"
    bool newEqualise = true;  // "FOCUS_NEW_EQUALIZE"

    // Field check.
    int sampleSize = 16; // "FOCUS_LENS_SAMPLE_SIZE"
    long fieldSpan = 20; // "FOCUS_LENS_FIELD_SPAN": near/infinity lens offsets (steps)
    std::array<LensRegion, 5> regions{{{"Upper Left", 128, 128},
                                       {"Lower Left", 128, 544},
                                       {"Middle", 416, 336},
                                       {"Upper Right", 704, 128},
                                       {"Lower Right", 704, 544}}};
    std::array<int, 3> minCenter{{1200, 1500, 1200}};    // "MIN_CENTER_SHARPNESS_NMF"
    std::array<int, 3> minCorner{{1000, 1200, 1000}};    // "MIN_CORNER_SHARPNESS_NMF"
    std::array<double, 3> maxTilt{{0.35, 0.35, 0.35}};   // "MAX_LENS_TILT_NMF"
    std::array<double, 3> maxCurvature{{0.5, 0.5, 0.5}}; // "MAX_LENS_CURVATURE_NMF"
    double maxCornerBoost = 4.0;                         // "TARGET_MAX_CORNER_BOOST"

    static FocusSettings read(const settings::Profile& profile);
    // The side of the field check's windows: the measures need about a hundred pixels a side
    // for their 99th percentile, so a region is never taken smaller than the target window.
    int regionSide() const { return sampleSize > targetSize ? sampleSize : targetSize; }
};

} // namespace kv::diagnostics
