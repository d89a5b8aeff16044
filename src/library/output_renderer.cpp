#include "library/output_renderer.h"

#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"

#include <algorithm>
#include <cmath>

namespace kv::library {
namespace {

constexpr PixelSize kOutputSizes[kOutputSizeCount] = {{60, 50},   {120, 100}, {240, 200},
                                                      {480, 400}, {960, 800}, {1920, 1600}};

bool turnedQuarter(int rotation) {
    return rotation == 1 || rotation == 3;
}

// The JPEG decoded as close above `want` as libjpeg's DCT scaling allows, then scaled.
imaging::RgbPicture decodeJpeg(const std::string& path, PixelSize stored, PixelSize want) {
    imaging::RgbPicture out;
    int scale = 1;
    while (scale < 8 && (stored.width + 2 * scale - 1) / (2 * scale) >= want.width &&
           (stored.height + 2 * scale - 1) / (2 * scale) >= want.height)
        scale *= 2;
    out.width = (stored.width + scale - 1) / scale;
    out.height = (stored.height + scale - 1) / scale;
    if (std::uint64_t(out.width) * std::uint64_t(out.height) > imaging::kJpegMaxPixels)
        return {};
    out.pixels.assign(std::size_t(out.width) * std::size_t(out.height) * 3, 0);
    imaging::JpegPlacement placement;
    if (imaging::ReadJpeg(path, out.pixels, out.width, out.height, false, nullptr, &placement) !=
        status::Ok)
        return {};
    if (placement.width != out.width || placement.height != out.height)
        return {};
    return out;
}

} // namespace

PixelSize outputPixels(int index) {
    if (index < 0 || index >= kOutputSizeCount)
        index = kDefaultOutputSize;
    return kOutputSizes[index];
}

PixelSize outputPixels(int index, int rotation) {
    PixelSize size = outputPixels(index);
    if (turnedQuarter(rotation))
        std::swap(size.width, size.height);
    return size;
}

PixelSize thumbnailSizeFor(int width, int height) {
    if (width <= 0 || height <= 0)
        return {kThumbnailBox, kThumbnailBox};
    if (width >= height)
        return {kThumbnailBox,
                std::max(1, static_cast<int>(std::lround(double(height) * kThumbnailBox / width)))};
    return {std::max(1, static_cast<int>(std::lround(double(width) * kThumbnailBox / height))),
            kThumbnailBox};
}

RenderSource renderSourceOf(const PictureRecord& record) {
    return {
        record.path, record.isJpeg != 0, record.edits, {record.storedWidth, record.storedHeight}};
}

PixelSize storedSizeOf(const std::string& path, bool isJpeg) {
    if (!isJpeg)
        return {imaging::kPictureWidth, imaging::kPictureHeight};
    PixelSize size;
    if (imaging::ReadJpegSize(path, size.width, size.height) != status::Ok)
        return {};
    return size;
}

imaging::RgbPicture renderPicture(const RenderSource& source, RenderMode mode, int outputSize,
                                  codec::WaveletCodec* codec,
                                  const imaging::EditProgress& progress) {
    const int rotation = source.edits.rotation;
    const PixelSize stored = source.stored.width > 0 && source.stored.height > 0
                                 ? source.stored
                                 : storedSizeOf(source.path, source.isJpeg);
    if (stored.width <= 0 || stored.height <= 0)
        return {};

    // The size wanted before the rotation.
    PixelSize want = stored;
    if (mode == RenderMode::Output) {
        want = outputPixels(outputSize);
        // A portrait file (800 x 960) leaves as a portrait output.
        if (stored.height > stored.width)
            std::swap(want.width, want.height);
    } else if (mode == RenderMode::Thumbnail) {
        want = thumbnailSizeFor(stored.width, stored.height);
    }

    imaging::RgbPicture picture;
    if (source.isJpeg) {
        picture = decodeJpeg(source.path, stored, mode == RenderMode::Thumbnail ? want : stored);
    } else {
        const bool small = mode == RenderMode::Thumbnail;
        Bytes pixels;
        std::uint32_t length = 0;
        if (imaging::ReadPictureFile(source.path,
                                     small ? imaging::PicturePart::Thumbnail
                                           : imaging::PicturePart::Picture,
                                     pixels, length, codec) != status::Ok)
            return {};
        picture.width = small ? imaging::kThumbnailWidth : imaging::kPictureWidth;
        picture.height = small ? imaging::kThumbnailHeight : imaging::kPictureHeight;
        picture.pixels = std::move(pixels);
    }
    if (!picture.valid())
        return {};

    // Edits on the decoded pixels, before scaling, so white points come from the picture.
    if (mode != RenderMode::Thumbnail) {
        imaging::EditSettings edits = source.edits;
        edits.rotation = 0;
        if (!imaging::ApplyEdits(&edits, picture.pixels.data(), picture.width, picture.height,
                                 progress)
                 .completed)
            return {};
    }
    if (picture.width != want.width || picture.height != want.height)
        picture = imaging::ResizeRgb(picture, want.width, want.height);
    if (!picture.valid())
        return {};
    imaging::EditSettings edits = source.edits;
    if (mode != RenderMode::Thumbnail) {
        // Only the rotation is left to do.
        edits = {};
        edits.rotation = static_cast<std::int16_t>(rotation);
    }
    const imaging::EditedSize size =
        imaging::ApplyEdits(&edits, picture.pixels.data(), picture.width, picture.height, progress);
    if (!size.completed)
        return {};
    picture.width = size.width;
    picture.height = size.height;
    return picture;
}

} // namespace kv::library
