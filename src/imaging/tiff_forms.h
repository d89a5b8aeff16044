// The working TIFF forms of the diagnostics and the simulations: little-endian, version 42,
// uncompressed, one IFD, 72 dpi.
//
//   form          size                 photometric  samples x bits
//   MONO8         960 x 800 (or any)   1            1 x 8
//   MONO16        960 x 800            1            1 x 16
//   RGB8          480 x 400            2            3 x 8
//   RGBT8         any                  5            4 x 8
//   16-bit planes any                  2            3 x 16 (one strip per plane)
//
// Both writers go through a temporary file: a failed write leaves no file under `path`.
#pragma once

#include "base/bytes.h"
#include "base/operator.h"
#include "base/result.h"
#include "imaging/tiff.h"

#include <cstdint>
#include <filesystem>

namespace kv::imaging {

// The RAM-conversion writer: NewSubfileType 0, no DateTime, the given photometric value and
// bits per sample; writes `data` as the strip. On success the operator (when given) is shown
// "Finished writing file: " followed by the path; on a create failure "FileError!".
Status WriteRamConversionTiff(const std::filesystem::path& path, std::uint32_t width,
                              std::uint32_t height, ByteSpan data, std::int16_t bitsPerSample,
                              std::uint16_t photometric, Operator* op = nullptr);

// The debug-picture writer of the simulations: `channels` 1 -> photometric 1, 3 -> 2,
// 4 -> 5; NewSubfileType 1 and the current time. Writes width x height x channels x bits / 8
// bytes of `data` (Failed when `data` is shorter). With `planes` set and more than one
// channel, `data` holds the channels one after the other and each becomes its own strip
// (PlanarConfiguration 2): the "16-bit planes" form.
Status WriteDebugPicture(const std::filesystem::path& path, std::uint32_t width,
                         std::uint32_t height, int channels, std::int16_t bitsPerSample,
                         ByteSpan data, bool planes = false, Operator* op = nullptr);

// Shorthands for the fixed forms.
Status WriteMono8Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                      ByteSpan data);
Status WriteMono16Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                       const std::uint16_t* samples);
Status WriteRgb8Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                     ByteSpan data);
Status WriteRgbt8Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                      ByteSpan data);
// Three planes of width x height 16-bit samples (R, G, B or Y, Cb, Cr), one after the other.
Status WriteRgb16PlanesTiff(const std::filesystem::path& path, std::uint32_t width,
                            std::uint32_t height, const std::uint16_t* planes);

// What a working file holds: its first IFD's description and the data of one plane.
struct WorkingPicture {
    IfdDescription ifd;
    Bytes data;             // the plane's bytes as stored
    bool bigEndian = false; // byte order of 16-bit samples in `data`
};

// Reads the first IFD of `path` and all of `plane`'s data (for MONO16 the whole 1536000
// bytes). Failed when the file cannot be read, or its data is shorter than the IFD's nominal
// plane size. The operator, when given, is shown "FileError!" when the file cannot be opened.
Status ReadWorkingTiff(const std::filesystem::path& path, WorkingPicture& out, int plane = 0,
                       Operator* op = nullptr);

// The 16-bit samples of a MONO16 (or 16-bit plane) working picture, in host order.
std::vector<std::uint16_t> samples16(const WorkingPicture& picture);

} // namespace kv::imaging
