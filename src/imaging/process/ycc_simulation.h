// The YCC compress-decompress simulation: an RGB picture converted to YCbCr, its means
// removed, coded as a wavelet stream and decoded again, the means added back, converted to RGB
// and passed through the tone table, with a debug picture after each step:
//   "ycbcr.tif", "lessmean.tif", "xform.tif" (the transformed planes), "decomp.dat" (the
//   stream), "decoded.tif" (the dequantised planes), "qerr.tif" (their difference from the
//   transformed planes), "invxfm.tif", "plusmean.tif", "to_rgb.tif", "lookup.tif".
// Each picture is 480 x 400, 8-bit RGB with the current time; signed planes (Cb, Cr,
// coefficients, planes without their means) are shown around mid-grey.
#pragma once

#include "base/operator.h"
#include "imaging/process/ycc_planes.h"

#include <array>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace kv::process {

// Quantiser scales for Y, Cb and Cr when none are given.
inline constexpr std::array<double, 3> kDefaultYccScales{24.0, 48.0, 48.0};

struct YccSimulationResult {
    bool completed = false;
    std::string error;
    std::array<double, 3> means{};
    std::array<double, 3> variances{};
    std::size_t streamBytes = 0;
    std::vector<std::uint8_t> rgb8; // the final picture ("lookup.tif")
    std::vector<std::filesystem::path> files;
};

// Runs the simulation on `planes` (R, G, B in plane units) and writes the debug files into
// `folder`. Progress and cancelling through `op` when given.
YccSimulationResult RunYccSimulation(Planes planes, const std::filesystem::path& folder,
                                     const std::array<double, 3>& scales = kDefaultYccScales,
                                     Operator* op = nullptr);

// The tone table of exponent 0.45 applied to plane values (one 10-bit step is 32 units).
void ApplyToneTable(Planes& planes);

} // namespace kv::process
