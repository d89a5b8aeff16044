// The camera's frame memory as a RAM file and the sensor mosaic it holds.
//
// A RAM file is a 1 MiB byte image of the frame memory. The picture is 480 lines of 2048 bytes
// from offset 65536; line k holds sensor column pair k. For position y (0..399), q = y / 4 and
// s = 2 * (y mod 4), the four sites of the cell are (8 high bits at / 2 low bits at, bits s and
// s + 1):  B y / 804 + q,  G 400 + y / 904 + q,  T 1024 + y / 1828 + q,  R 1424 + y / 1928 + q.
//
// The mosaic is 960 x 800 samples, row 0 at the top: cell (k, j = 399 - y) covers rows 2j, 2j+1
// and columns 2k, 2k+1; row 2j holds G then R, row 2j+1 holds B then T.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kv::process {

inline constexpr std::size_t kRamFileSize = 1048576;
inline constexpr std::size_t kRamPictureOffset = 65536;
inline constexpr std::size_t kRamLineBytes = 2048;
// The part of the frame memory the stations upload: the picture lines alone.
inline constexpr std::size_t kRamPictureBytes = 480 * kRamLineBytes;

inline constexpr int kMosaicWidth = 960;
inline constexpr int kMosaicHeight = 800;
inline constexpr std::size_t kMosaicSamples = std::size_t(kMosaicWidth) * kMosaicHeight;
inline constexpr int kCellColumns = 480;
inline constexpr int kCellRows = 400;
inline constexpr std::size_t kCellCount = std::size_t(kCellColumns) * kCellRows;

// The four 10-bit samples of one cell.
struct CellSamples {
    std::uint16_t b = 0, g = 0, t = 0, r = 0;
    bool operator==(const CellSamples&) const = default;
};

// Reads a RAM file into `ram` (kRamFileSize bytes afterwards; the file is read into its
// storage, so a caller may keep one buffer for many files). Accepted: a file of at least
// 1 MiB (the first 1 MiB is used) and a file of exactly the 983040 picture bytes, which the
// stations' upload produces (placed at offset 65536). Anything shorter is refused, since its
// picture would be partly made up. False with `error` set when refused or unreadable; `ram`
// then holds nothing of use.
bool LoadRamFile(const std::filesystem::path& path, Bytes& ram, std::string* error);

// The samples of cell (k, y) in RAM layout coordinates; `ram` holds kRamFileSize bytes.
CellSamples ReadCell(ByteSpan ram, int k, int y);
// The same within one line of kRamLineBytes (y in 0..399), and its reverse, which leaves the
// line's other bits alone.
CellSamples ReadLineCell(const std::uint8_t* line, int y);
void WriteLineCell(std::uint8_t* line, int y, const CellSamples& cell);
// The cell (k, j) of a 10-bit mosaic (row 0 at the top).
CellSamples MosaicCell(const std::uint16_t* mosaic, int k, int j);
void SetMosaicCell(std::uint16_t* mosaic, int k, int j, const CellSamples& cell);

// The 960 x 800 mosaic with every 10-bit sample shifted left by `shift` (6 for MONO16).
std::vector<std::uint16_t> UnpackMosaic(ByteSpan ram, int shift);
// The 8 most significant bits of every sample into `out` (kMosaicSamples bytes).
void UnpackMosaic8(ByteSpan ram, std::uint8_t* out);

// The reverse of UnpackMosaic: packs a mosaic whose samples are 10-bit values shifted left by
// `shift` into a RAM file image of kRamFileSize bytes. Bytes that carry no samples are 0.
Bytes PackMosaic(const std::uint16_t* mosaic, int shift);

} // namespace kv::process
