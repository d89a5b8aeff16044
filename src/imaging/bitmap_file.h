// Windows bitmap files (device-independent bitmaps, little-endian).
//
// The 24-bit form the program hands out (Save As, clipboard, TWAIN hand-off): a 40-byte info
// header (width, positive height = rows bottom-up, 1 plane, 24 bits, no compression, image
// size = row stride x height, resolutions and colour counts 0), no colour table, then the rows
// bottom row first, each width pixels of blue, green, red followed by zero padding up to the
// row stride ((width x 3 + 3) rounded down to a multiple of 4). A file puts the 14-byte file
// header in front: "BM", file size = 54 + image size, two reserved zeros, pixel offset 54.
#pragma once

#include "base/bytes.h"
#include "base/result.h"

#include <cstdint>
#include <filesystem>

namespace kv::imaging {

inline constexpr std::size_t kBitmapFileHeaderBytes = 14;
inline constexpr std::size_t kBitmapInfoHeaderBytes = 40;

// Bytes per row of a 24-bit bitmap `width` pixels wide.
std::size_t bitmapRowStride(int width);

// The packed DIB (info header and padded bottom-up BGR rows) of a top-down RGB picture.
// Empty when a size is not positive or `rgb` is shorter than width x height x 3.
Bytes MakeBitmap24(ByteSpan rgb, int width, int height);

// The whole bitmap file (file header and packed DIB) of a top-down RGB picture.
Bytes MakeBitmap24File(ByteSpan rgb, int width, int height);

// Writes the bitmap file of a top-down RGB picture (the TWAIN hand-off and Save As form).
Status WriteBitmap24File(const std::filesystem::path& path, ByteSpan rgb, int width, int height);

// Writes a bitmap file from a packed DIB (info header, colour table, pixel bits in one block):
// the file header "BM", file size = 14 + header size + colour table size + image size, two
// reserved zeros, bits offset = 14 + header size + colour table size, then the whole DIB. The
// colour table has the header's colours-used count, or 2, 16 or 256 entries for 1, 4 or 8 bits
// and none for more; entries are 4 bytes (3 for the old 12-byte core header). An image size
// of 0 in the header (allowed for uncompressed bitmaps) is taken as row stride x height.
// Failed when the DIB's header is not one of the known sizes, its counts do not fit, or the
// block is shorter than the header, colour table and image it describes.
Status WriteBitmapFile(const std::filesystem::path& path, ByteSpan packedDib);

// The size of the colour table and of the image that a packed DIB describes, as
// WriteBitmapFile computes them; false when the header is unusable (for tests and tools).
bool describeDib(ByteSpan packedDib, std::uint32_t& headerSize, std::uint32_t& colourTableSize,
                 std::uint32_t& imageSize);

} // namespace kv::imaging
