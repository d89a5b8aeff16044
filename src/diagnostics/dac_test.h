// The DAC procedures: the DAC test (part of gain creation and of the troubleshooting test),
// DAC Troubleshooting and Set DAC.
//
// The DAC sets the sensor's black level. The test downloads a DAC setting, takes dark
// pictures at the shortest exposure, uploads one line pair of the frame (2048 bytes from
// 0xFF800) and reads the dark level from it; a second iteration checks the corrected setting.
#pragma once

#include "base/bytes.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kv::diagnostics {

struct Station;

inline constexpr long kDacLineAddress = 0xFF800;
inline constexpr std::size_t kDacLineBytes = 2048;
inline constexpr int kDefaultDac = 16;
inline constexpr int kDacMax = 31;

// The dark measure of an uploaded line pair: the 10-bit samples of its 800 lines (two per
// line) are histogrammed; v = the level at which the running count first reaches 16; the
// measured DAC is (v - 8) / 16 + 8, clamped to 8..30. -1 when `line` is not 2048 bytes.
int measureDac(ByteSpan line);

// The DAC file of the gain folder: the first iteration's 2048 uploaded bytes, written as they
// came. The final test's replay reads the same file, so both use this name.
std::filesystem::path dacFileName(const std::filesystem::path& gainFolder);

struct DacTestOptions {
    int initialDac = kDefaultDac;
    int passes = 2;               // default of "Number of passes:": pictures per iteration
    bool askPasses = true;        // false: `passes` is used without asking
    std::optional<int> testCount; // troubleshooting: the run's number, shown in the progress
    // Where "Start DAC Test.\n" and the findings go (the report of the caller); may be empty.
    std::function<void(std::string_view)> report;
    std::filesystem::path gainFolder; // where the DAC file is written
    // Set to the DAC setting of each iteration as it is downloaded (the sensor report prints
    // the last one).
    int* runDacSetting = nullptr;
};

// The DAC test. The resulting DAC setting, or nothing on failure (its box already shown; the
// caller reports "DAC Setting Failure. Dac is %d").
std::optional<int> runDacTest(Station& s, const DacTestOptions& options);

// DAC Troubleshooting: "BLEM_TEST_ITERATE" runs of the DAC test, variations written to the
// report file. False when a run failed and the operator did not proceed.
bool dacTroubleshooting(Station& s, const std::filesystem::path& reportFile);

// Set DAC: asks "DAC value:" (default 16), clamps to 0..31 and downloads it. `value` given
// skips the question. Returns the value downloaded, or nothing.
std::optional<int> setDac(Station& s, std::optional<long> value = std::nullopt);

// The clamp of Set DAC.
inline int clampDac(long value) {
    return value < 0 ? 0 : value > kDacMax ? kDacMax : static_cast<int>(value);
}

} // namespace kv::diagnostics
