// The camera's colour parameters as the factory's colour calibration computes them: matrices
// from the four sensor channels to R, G, B, saturation, luminance weights and white-balance
// coefficients, read from section "COLOR_PARAMS" of the settings file, and their conversion
// to the camera's fixed-point form (signed 16 bits, 13 fractional bits).
//
// Matrix columns are the sensor channels in the order B, R, G, T, the order of the cell
// rendering's matrix (cell_render.h), so that the settings' matrices and the quick rendering
// read alike. The simulation's channel order (B, G, T, R, the camera's memory and parameter
// text "[BGTR]") is reached through ToChannelOrder.
#pragma once

#include "settings/profile.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace kv::process {

using ChannelRow = std::array<double, 4>;

struct ColorParams {
    // Rows R, G, B and the derived luminance row (row 3).
    std::array<ChannelRow, 4> high{};
    std::array<ChannelRow, 4> low{};
    std::array<ChannelRow, 3> working{}; // a copy of the high-light matrix's rows R, G, B
    std::array<double, 3> saturation{};
    std::array<double, 3> luminanceWeights{}; // R, G, B
    ChannelRow balanceDay{};
    ChannelRow balanceFlash{};
    ChannelRow balanceSaturation{};
};

// The defaults of every value, with the derived rows.
ColorParams DefaultColorParams();

// Row 3 of both matrices: per column, the luminance-weighted sum of rows R, G, B.
void DeriveLuminanceRows(ColorParams& params);

// Reads the keys of "COLOR_PARAMS" ("MTX_HIGH", "MTX_LOW", "MTX_SAT", "MTX_LUM_RGB",
// "BAL_COEFFS_DAY", "BAL_COEFFS_FLASH", "BAL_COEFFS_SAT"). A missing or empty key keeps its
// defaults; a shorter value sets only the numbers present; reading stops at the first text that
// is not a number. Then the working matrix is copied and the luminance rows derived.
ColorParams LoadColorParams(const settings::Profile& profile);

// Reads up to `count` numbers separated by white space into `values`, as "%lf %lf ..." would;
// returns how many were read. Numbers that are not finite are not accepted.
int ParseNumbers(std::string_view text, double* values, int count);

// The camera's fixed-point form: x 8192 truncated after clamping to -4.0 .. 3.9998779296875.
// NaN gives 0.
std::int16_t ToCameraFixed(double value);

// Matrix column of each sensor channel.
enum MatrixColumn { kColumnB = 0, kColumnR = 1, kColumnG = 2, kColumnT = 3 };

// A row in matrix column order (B, R, G, T) rearranged into the memory order B, G, T, R.
template <typename T>
std::array<T, 4> ToChannelOrder(const std::array<T, 4>& row) {
    return {row[kColumnB], row[kColumnG], row[kColumnT], row[kColumnR]};
}

// The reverse: a row in memory order B, G, T, R in matrix column order B, R, G, T.
template <typename T>
std::array<T, 4> ToColumnOrder(const std::array<T, 4>& row) {
    std::array<T, 4> out{};
    out[kColumnB] = row[0];
    out[kColumnG] = row[1];
    out[kColumnT] = row[2];
    out[kColumnR] = row[3];
    return out;
}

// The converted block. Matrices are from the channels (columns B, R, G, T) to Y, Cb, Cr.
struct CameraColorBlock {
    std::array<std::array<std::int16_t, 4>, 3> high{};
    std::array<std::array<std::int16_t, 4>, 3> low{};
    std::array<std::array<std::int16_t, 4>, 3> working{};
    std::array<std::int16_t, 4> highLuminance{};
    std::array<std::int16_t, 4> lowLuminance{};
    std::array<std::int16_t, 4> balanceDay{};
    std::array<std::int16_t, 4> balanceFlash{};
    std::array<std::int16_t, 4> balanceSaturation{};
    std::array<std::int16_t, 3> saturation{};
};

// Premultiplies the three matrices by the RGB -> YCbCr matrix, then converts every value with
// ToCameraFixed.
CameraColorBlock ConvertColorParams(const ColorParams& params);

} // namespace kv::process
