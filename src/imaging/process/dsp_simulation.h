// The simulation of the camera's own picture processing on a sensor mosaic ("DSP Simulation A"
// to "D" and the first half of "TIFF to KVI Wavelet"). It works on 480 x 400 cells of four
// samples (B, G, T, R) and runs these stages one after the other:
//
//   raw channels -> black subtraction -> scaling -> largest of B, R, G, T -> gamma gain ->
//   matrix to YCbCr -> saturation -> white-point weighting -> luminance sharpening
//
// With a debug folder set, each stage's planes are written there as "%03d<name>" in a fixed
// order (kDspDebugNames). The arithmetic is integer fixed point throughout; the stages' formulas
// are given in dsp_simulation.cpp beside the code.
#pragma once

#include "base/operator.h"
#include "imaging/process/dsp_params.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kv::process {

// The gamma gains: 1024 entries in units of 1/4096, indexed by a cell's largest 10-bit sample.
using GammaGainTable = std::array<std::uint16_t, 1024>;
inline constexpr std::size_t kGammaGainBytes = 2048;

// The gains that bring a cell's largest sample onto the exponent-0.45 tone table
// (gain = tone(i) x 4096 / i), with entry 0 = 0 and entries 1..4 = unity so the darkest
// levels are not amplified. The camera's own table is close to it (entry 255 is 8799 there).
GammaGainTable DefaultGammaGainTable();
// A table as the camera stores it: 2048 bytes, little-endian. False for any other size.
bool ParseGammaGainTable(const std::uint8_t* bytes, std::size_t size, GammaGainTable& table);

inline constexpr const char* kDspDebugNames[] = {
    "dycbcr16_sharp.tif",  "drgb16_sharp.tif",    "dmono16.tif",
    "drgbt16.tif",         "raw_drgb16.tif",      "- black.tif",
    "blackcor_drgb16.tif", "x scale.tif",         "x_scale_drgb16.tif",
    "maxBRGT.tif",         "gamma_gain.tif",      "dycbcr16.tif",
    "dycbcr16_drgb16.tif", "satpic_drgb16.tif",   "satpic.tif",
    "unsat_drgb16.tif",    "unsat.tif",           "wt.tif",
    "sharpY.tif",          "sharpening_gain.tif", "gain.tif",
    "dycbcr sharp.tif",    "drgb sharp.tif",
};
inline constexpr int kDspDebugCount = 23;

// The luminance sharpening gain in units of 1/4096 for luminance `y` and its sharpened value
// (16-bit values) with the alpha thresholds (10-bit luminance units): a weight w is 0 below
// `low`, 64 above `high` and (k x Y - k x low) >> 8 with k = 16384 / (high - low) between; the
// gain is 4096 + (64 x S / Y - 64) x w when w is not 0, else 4096; limited to 0..65535.
// Thresholds that are equal or crossed give a step at `high`.
std::int32_t SharpeningGain(std::int32_t y, std::int32_t sharpened, int high, int low);

// The four menu variants: A and C use the high-light matrix, B and D the flash matrix; C and D
// switch the debug pictures on.
enum class DspVariant { A, B, C, D };
bool VariantUsesFlashMatrix(DspVariant v);
bool VariantWritesDebug(DspVariant v);

struct DspOptions {
    bool flashMatrix = false;
    std::optional<std::filesystem::path> debugFolder; // debug pictures when set
    GammaGainTable gamma = DefaultGammaGainTable();
};

struct DspResult {
    bool completed = false; // false when cancelled or a debug picture could not be written
    std::string error;
    // The processed picture: Y in 0..65535, Cb and Cr in -32768..32767, per cell (row-major,
    // row 0 at the top), and its RGB8 rendering (480 x 400 x 3, rows from the top).
    std::array<std::vector<std::int32_t>, 3> ycc;
    std::vector<std::uint8_t> rgb8;
    std::vector<std::filesystem::path> debugFiles;
};

// Runs the simulation on a 960 x 800 mosaic of 10-bit samples (row 0 at the top). Progress
// (one step per stage) and cancelling go through `op` when given.
DspResult RunDspSimulation(const std::uint16_t* mosaic10, const DspParams& params,
                           const DspOptions& options, Operator* op = nullptr);

// The text of "develop.mtx": the matrix used and the parameters, one value per line with
// "%s\r\n" (labels), "%g\r\n" (matrix and saturation as real numbers) and "%d\r\n".
std::string DevelopMtxText(const DspParams& params, bool flashMatrix);

} // namespace kv::process
