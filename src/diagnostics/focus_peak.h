// The peak analysis of the focus sweep: from the sharpness values at positions S, S + D, ...
// it finds the band of sharpness levels over which the curve has one clear peak away from the
// ends of the sweep, and takes the focus position as the mean centre of the peak's runs.
// Pure: the report section it writes is returned as text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kv::diagnostics {

// "FOCUS_IGNORE_SPAN", "FOCUS_REQUIRED_SPAN", "FOCUS_TOLERANCE" (motor steps) and
// "FOCUS_FRACTION" (in 255ths).
struct FocusPeakParams {
    long ignoreSpan = 20;
    long requiredSpan = 100;
    long tolerance = 60;
    long fraction = 50;
};

inline constexpr int kMinFocusValues = 20;
inline constexpr int kMaxFocusValues = 32767;
inline constexpr int kTopLevel = 4095;

struct FocusPeak {
    bool ok = false;
    std::string message; // the failure text ("Focusin algorithm: ..."), empty on success
    long position = 0;   // P
    int required = 0;    // the sharpness the lens must reach again at P
    // Spans in sweep steps.
    long ignore = 0;     // I
    long requiredW = 0;  // R
    long toleranceW = 0; // T
    int minValue = 0;    // m
    int maxValue = 0;    // M
    int low = 0;
    int high = 0;
    int mid = 0;
    int bandHeight = 0; // H
    int highSpan = 0;   // run width at High
    int lowSpan = 0;    // run width at Low
};

// The analysis of `values` (sharpness at start + i * step). Fails with its message when there
// are fewer than 20 values (or more than 32767) or the curve has no usable peak.
FocusPeak findFocusPeak(std::span<const std::uint16_t> values, long start, long step,
                        const FocusPeakParams& params);

// The "FOCUS DATA" report section of one analysis; `errorText` is the run's error text.
std::string focusDataSection(std::span<const std::uint16_t> values, long start, long step,
                             const FocusPeakParams& params, const FocusPeak& peak,
                             const std::string& errorText);

} // namespace kv::diagnostics
