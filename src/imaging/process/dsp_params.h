// The parameters of the camera-processing simulation, read from the camera's parameter text
// (only its first 2000 bytes). Each value follows a label; a label that is missing, or numbers
// that stop early, keep the defaults of the values not read.
//
//   "BTGR black:"               four black levels, B T G R          "%d %d %d %d"
//   "pass3_scale:"              one scale for all channels, or four (B T G R), units 1/256
//   "color_matrix_hi[BGTR]:"    16 integers, see below
//   "color_matrix_flash[BGTR]:" 16 integers
//   "saturation_coeffs[RGB]:"   three integers, units 1/8192
//   "alpha high ="              the sharpening's upper luminance threshold (10-bit units)
//   ", low ="                   its lower threshold
//
// A colour matrix is four rows (Y, Cb, Cr, luminance) of four columns (B, G, T, R) in the
// camera's fixed point, 8192 = 1.0: the form ConvertColorParams produces, its columns put into
// this order (ToChannelOrder).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kv::process {

inline constexpr std::size_t kDspParamsReadBytes = 2000;

// Channel order of the simulation's cells: the memory order.
enum Channel { kB = 0, kG = 1, kT = 2, kR = 3 };

using DspMatrix = std::array<std::array<int, 4>, 4>;

struct DspParams {
    std::array<int, 4> black{0, 0, 0, 0};         // per channel, B G T R
    std::array<int, 4> scale{256, 256, 256, 256}; // per channel, units 1/256
    DspMatrix matrixHigh{};
    DspMatrix matrixFlash{};
    std::array<int, 3> saturation{8192, 8192, 8192}; // R, G, B
    int alphaHigh = 256;
    int alphaLow = 64;
    int labelsFound = 0; // how many of the seven labels were present
};

// The defaults: the matrices from the default colour parameters (high-light matrix for both,
// converted), the saturation from the default colour parameters.
DspParams DefaultDspParams();

// Parses the text (only its first kDspParamsReadBytes bytes are looked at).
DspParams ParseDspParams(std::string_view text);

// Reads a parameter file. False with `error` set when it cannot be opened.
bool LoadDspParams(const std::filesystem::path& path, DspParams& params, std::string* error);

// Reads up to `count` decimal integers separated by white space, as "%d %d ..." would; returns
// how many were read. Numbers outside the int range end the reading.
int ParseInts(std::string_view text, int* values, int count);

} // namespace kv::process
