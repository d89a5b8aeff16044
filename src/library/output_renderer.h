// Rendering a picture for the screen or for leaving the program: decode the file, apply the
// record's edits (white balance, noise filter, brightness, rotation) and scale.
//
//   Output    the output size (60 x 50 ... 1920 x 1600; width and height swapped for a picture
//             turned a quarter)
//   Stored    the picture's own size (a JPEG's size, 480 x 400 for a .kvi file), turned
//   Thumbnail inside the 120 x 120 box with the aspect kept (120 x 100 for a camera picture,
//             100 x 120 when turned a quarter)
//
// The renderer works on a RenderSource, a copy of what it needs from the record, so it runs on
// any thread; one codec object per thread (null: one kept for the calling thread).
#pragma once

#include "imaging/edit_settings.h"
#include "imaging/edits.h"
#include "imaging/rgb_picture.h"
#include "library/picture_record.h"

#include <string>

namespace kv::codec {
class WaveletCodec;
}

namespace kv::library {

enum class RenderMode { Output = 0, Stored = 1, Thumbnail = 2 };

inline constexpr int kThumbnailBox = 120;
inline constexpr int kOutputSizeCount = 6;
inline constexpr int kDefaultOutputSize = 4;

struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};

// The pixels of output size `index` in landscape; an index outside 0..5 counts as 4.
PixelSize outputPixels(int index);
// The same for a picture with `rotation` quarter turns: 1 and 3 swap width and height.
PixelSize outputPixels(int index, int rotation);
// The size of a width x height picture fitted into the 120 x 120 box, aspect kept (at least
// 1 x 1).
PixelSize thumbnailSizeFor(int width, int height);

struct RenderSource {
    std::string path;
    bool isJpeg = false;
    imaging::EditSettings edits;
    PixelSize stored; // the record's stored size when known (saves reading the header again)
};
RenderSource renderSourceOf(const PictureRecord& record);

// The rendered picture; invalid (empty) when the file cannot be read or decoded. The noise
// filter reports through `progress`; when it is cancelled the result is invalid.
imaging::RgbPicture renderPicture(const RenderSource& source, RenderMode mode,
                                  int outputSize = kDefaultOutputSize,
                                  codec::WaveletCodec* codec = nullptr,
                                  const imaging::EditProgress& progress = {});

// The picture's stored size read from its file (before rotation); 0 x 0 when unreadable.
PixelSize storedSizeOf(const std::string& path, bool isJpeg);

} // namespace kv::library
