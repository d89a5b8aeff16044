// The sensor's gain file and its application to the mosaic. A gain is a 16-bit value per
// mosaic sample, 1024 = unity, 65535 = not formed. Two forms are read:
//  - a MONO16 TIFF of 960 x 800 gains (the gain working file), and
//  - the encoded gain image the camera receives (387968 bytes): 1920 start values, then 1920
//    streams of 100 words of four 4-bit differences; stream 2 x column + p runs up column
//    `column` over the lines of parity 1 - p from the bottom (p = 0: lines 799, 797, ..., 1;
//    p = 1: lines 798, ..., 0). A decoded value v stands for the gain v x 8.
#pragma once

#include "base/bytes.h"
#include "base/operator.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kv::process {

inline constexpr std::size_t kEncodedGainBytes = 387968;
inline constexpr std::uint16_t kGainUnity = 1024;
inline constexpr std::uint16_t kGainNotFormed = 65535;

// Decodes an encoded gain image into 960 x 800 gains (row 0 at the top). False when the bytes
// are not exactly kEncodedGainBytes long.
bool DecodeGainImage(ByteSpan encoded, std::vector<std::uint16_t>& gains);

// One stream of the encoded image: kGainStreamValues gains, in the stream's order, from its
// start value and its kGainStreamBytes of differences.
inline constexpr int kGainStreamValues = 400;
inline constexpr std::size_t kGainStreamBytes = 200;
void DecodeGainStream(std::uint16_t start, const std::uint8_t* words, std::uint16_t* gains);

// Reads a gain file of either form. False with `error` set when it cannot be read or is of
// neither form (a TIFF must be 960 x 800 with 16-bit samples).
bool LoadGainFile(const std::filesystem::path& path, std::vector<std::uint16_t>& gains,
                  std::string* error, Operator* op = nullptr);

// Multiplies every mosaic sample by its gain / 1024 (truncated, at most `limit`); a sample
// whose gain is 65535 (not formed) keeps its value.
void ApplyGains(std::uint16_t* mosaic, const std::uint16_t* gains, std::size_t count,
                std::uint16_t limit = 65535);

} // namespace kv::process
