// The colour commands of the stations: Neutralize Camera Color and Color Matrix. Both end in
// the same write of the camera's process parameters (layout in camera/parameter_block.h).
#pragma once

#include "base/bytes.h"
#include "imaging/process/color_params.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kv::diagnostics {

struct Station;

// A rectangle of cells of the 480 x 400 colour picture, "l t r b" inclusive.
struct CellRect {
    int left = 0, top = 0, right = 0, bottom = 0;
};
std::optional<CellRect> parseRect(std::string_view text);

// Mean sensor levels (B, G, T, R, 10-bit) of a neutral target.
using ChannelMeans = std::array<double, 4>;

// The mean of each channel (B, G, T, R, 10-bit) of a white MONO16 mosaic.
ChannelMeans whiteMeans(const std::vector<std::uint16_t>& white);

// Finds the neutral target inside `rect` of a frame memory image (kRamFileSize bytes): the
// cells at least half as bright as the rectangle's brightest tenth. With `white` (a MONO16
// mosaic of the white panel) each sample is first evened out by the white picture. Nothing
// when the rectangle lies outside the picture, is too dark, or too few cells qualify.
std::optional<ChannelMeans> findNeutralTarget(ByteSpan ram, const CellRect& rect,
                                              const std::vector<std::uint16_t>* white);

// The balance coefficients closest to `balance` that make the high-light matrix turn the
// target's means into equal R, G and B, at the luminance `balance` gave. Nothing when the
// target cannot be made neutral (a singular system).
std::optional<process::ChannelRow> neutralBalance(const process::ColorParams& params,
                                                  const process::ChannelRow& balance,
                                                  const ChannelMeans& target);

// Puts the converted colour block (and, when given, the BRGT levels) into a parameter record.
void placeColorBlock(Bytes& record, const process::CameraColorBlock& block,
                     const std::optional<std::array<long, 4>>& levels);

// Reads the camera's parameters, places the block, writes them back and checks them: the
// result boxes "Color Conversion Change Successfull." / "Color Conversion Change FAILED!" /
// "Communications Error.".
bool writeColorParameters(Station& s, const process::CameraColorBlock& block,
                          const std::optional<std::array<long, 4>>& levels);

// "Neutralize Camera Color". `rect`, `whiteImage` and `flash` answer the questions when given.
bool neutralizeCameraColor(Station& s, std::optional<std::string> rect = std::nullopt,
                           std::optional<std::string> whiteImage = std::nullopt,
                           std::optional<bool> flash = std::nullopt);

// "Color Matrix": the colour levels from a white image (or "BRGT_LEVELS") and the colour
// parameters of the settings file go to the camera.
bool colorMatrix(Station& s, std::optional<std::string> whiteImage = std::nullopt);

} // namespace kv::diagnostics
