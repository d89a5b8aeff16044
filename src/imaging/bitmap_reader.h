// Reading Windows bitmap files into RGB pictures: uncompressed 1-, 4-, 8-, 24- and 32-bit
// bitmaps with a core (12-byte), info (40-byte) or later (52..124-byte) header, rows bottom-up
// or top-down. Every count and offset is checked against the file before it is used.
#pragma once

#include "base/bytes.h"
#include "base/result.h"
#include "imaging/picture_attributes.h"
#include "imaging/rgb_picture.h"

#include <filesystem>

namespace kv::imaging {

// Larger bitmaps are refused rather than allocated: sides up to 16384 pixels, and no more
// pixels than the program takes in (kMaxPicturePixels).
inline constexpr int kMaxBitmapSide = 16384;

// The picture of a whole bitmap file, top row first; invalid (empty) when the bytes are not a
// bitmap this reader takes.
RgbPicture ReadBitmap(ByteSpan file);

Status ReadBitmapFile(const std::filesystem::path& path, RgbPicture& picture);

} // namespace kv::imaging
