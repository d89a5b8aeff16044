// Reading the focus station's settings.

#include "diagnostics/focus_settings.h"

#include "settings/profile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kv::diagnostics {

namespace {

constexpr const char* kParams = "FOCUS_PARAMS";
constexpr const char* kDiagnostics = "DIAGNOSTICS";

// A real written as text; `fallback` when missing or empty.
double readReal(const settings::Profile& p, const char* key, double fallback) {
    const std::string text = p.getString(kParams, key);
    return text.empty() ? fallback : std::strtod(text.c_str(), nullptr);
}

template <class T>
void readThree(const settings::Profile& p, const char* key, std::array<T, 3>& out) {
    const std::string text = p.getString(kParams, key);
    if (text.empty())
        return;
    std::array<double, 3> v{};
    if (std::sscanf(text.c_str(), "%lf %lf %lf", &v[0], &v[1], &v[2]) == 3)
        for (std::size_t i = 0; i < 3; ++i)
            out[i] = static_cast<T>(v[i]);
}

} // namespace

FocusSettings FocusSettings::read(const settings::Profile& p) {
    FocusSettings s;
    s.autoFocus = p.getInt(kDiagnostics, "AUTO_FOCUS", 1);
    s.checkLens = p.getInt(kDiagnostics, "CHECK_LENS", 2);
    s.checkFocus = p.getInt(kDiagnostics, "CHECK_FOCUS", 0);
    s.imageDisplay = p.getInt(kDiagnostics, "FOCUS_IMAGE_DISPLAY", 0) != 0;

    s.targetSize = p.getInt(kParams, "AUTO_FOCUS_TARGET_SIZE", 128);
    s.left = p.getInt(kParams, "AUTO_FOCUS_UPPER_LEFT_X", 416);
    s.top = p.getInt(kParams, "AUTO_FOCUS_UPPER_LEFT_Y", 336);
    s.exposure = p.getInt(kParams, "LENS_TEST_EXPOSURE", 5);
    if (s.exposure < 0 || s.exposure > 11)
        s.exposure = 0;
    s.loadedPosition = p.getInt(kParams, "CRADLE_LOADED_POSITION", 56000);
    s.startPosition = p.getInt(kParams, "CRADLE_START_POSITION", 63000);
    s.endPosition = p.getInt(kParams, "CRADLE_END_POSITION", 63100);
    s.step = p.getInt(kParams, "CRADLE_STEP", 2);
    s.cradle = CradleSettings::read(p);
    s.cradle.focusSpeed = std::min(s.cradle.focusSpeed, 10000L);
    s.minSharpness = p.getInt(kParams, "MIN_FOCUS_SHARPNESS", 1900);
    s.minGreyRatio = readReal(p, "TARGET_MIN_GRAY_RATIO", 0.33);
    s.maxGain = readReal(p, "TARGET_MAX_GAIN", 4.0);
    s.peak.ignoreSpan = p.getInt(kParams, "FOCUS_IGNORE_SPAN", 20);
    s.peak.requiredSpan = p.getInt(kParams, "FOCUS_REQUIRED_SPAN", 100);
    s.peak.tolerance = p.getInt(kParams, "FOCUS_TOLERANCE", 60);
    s.peak.fraction = p.getInt(kParams, "FOCUS_FRACTION", 50);
    s.offset = p.getInt(kParams, "FOCUS_OFFSET", 0);
    s.glueSetTime = p.getInt(kParams, "GLUE_SET_TIME", 2000);
    s.checkRatio = readReal(p, "SHARPNESS_CHECK_RATIO", 0.95);
    s.newEqualise = p.getInt(kParams, "FOCUS_NEW_EQUALIZE", 1) != 0;

    s.sampleSize = p.getInt(kParams, "FOCUS_LENS_SAMPLE_SIZE", 16);
    s.fieldSpan = p.getInt(kParams, "FOCUS_LENS_FIELD_SPAN", 20);
    static constexpr const char* kKeys[5] = {"UPPER_LEFT", "LOWER_LEFT", "MIDDLE", "UPPER_RIGHT",
                                             "LOWER_RIGHT"};
    for (std::size_t i = 0; i < s.regions.size(); ++i) {
        const std::string key = std::string("FOCUS_LENS_") + kKeys[i];
        s.regions[i].x = p.getInt(kParams, key + "_X", static_cast<int>(s.regions[i].x));
        s.regions[i].y = p.getInt(kParams, key + "_Y", static_cast<int>(s.regions[i].y));
    }
    readThree(p, "MIN_CENTER_SHARPNESS_NMF", s.minCenter);
    readThree(p, "MIN_CORNER_SHARPNESS_NMF", s.minCorner);
    readThree(p, "MAX_LENS_TILT_NMF", s.maxTilt);
    readThree(p, "MAX_LENS_CURVATURE_NMF", s.maxCurvature);
    s.maxCornerBoost = readReal(p, "TARGET_MAX_CORNER_BOOST", 4.0);
    return s;
}

} // namespace kv::diagnostics
