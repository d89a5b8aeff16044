#include "imaging/picture_file.h"

#include "imaging/codec/wavelet_codec.h"
#include "imaging/tiff.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <memory>

namespace kv::imaging {
namespace {

codec::WaveletCodec& threadCodec() {
    // The codec's working buffers are large; keep one per thread for the life of the thread.
    thread_local std::unique_ptr<codec::WaveletCodec> codec;
    if (!codec)
        codec = std::make_unique<codec::WaveletCodec>();
    return *codec;
}

bool hasTag(const TiffReader& file, std::uint16_t tag) {
    const auto& e = file.entries();
    return std::any_of(e.begin(), e.end(), [tag](const TiffEntry& x) { return x.tag == tag; });
}

// The thumbnail of IFD 0 as 120 x 100 RGB. Another writer's thumbnail of W x H pixels is read
// whole and its top-left 120 x 100 pixels are kept (zeros where it is smaller).
bool readThumbnail(TiffReader& file, Bytes& out) {
    const IfdDescription& d = file.ifd();
    out.assign(kThumbnailBytes, 0);
    if (d.width == kThumbnailWidth) {
        std::uint32_t count = kThumbnailBytes;
        std::uint32_t position = 0;
        return ReadData(file, 0, out.data(), count, position) == status::Ok &&
               count == kThumbnailBytes;
    }
    const std::uint64_t bytes = std::uint64_t(d.width) * d.height * 3;
    if (bytes == 0 || bytes > file.fileSize())
        return false;
    Bytes whole(static_cast<std::size_t>(bytes));
    std::uint32_t count = static_cast<std::uint32_t>(bytes);
    std::uint32_t position = 0;
    if (ReadData(file, 0, whole.data(), count, position) != status::Ok || count != bytes)
        return false;
    const std::size_t rows = std::min<std::size_t>(d.height, kThumbnailHeight);
    const std::size_t cols = std::min<std::size_t>(d.width, kThumbnailWidth);
    for (std::size_t y = 0; y < rows; ++y)
        std::copy_n(whole.begin() + static_cast<std::ptrdiff_t>(y * d.width * 3), cols * 3,
                    out.begin() + static_cast<std::ptrdiff_t>(y * kThumbnailWidth * 3));
    return true;
}

// The picture data of IFD 1: picture-data length bytes from its strip's offset. The strip
// byte count is the nominal 576000 whatever the data's true length, so the length comes from
// tag 514 and the bytes must lie inside the file.
bool readPictureData(TiffReader& file, Bytes& out, IfdDescription& pictureIfd) {
    if (NextIfd(file) != status::Ok)
        return false;
    pictureIfd = file.ifd();
    const auto& strips = file.strips(0);
    if (strips.empty())
        return false;
    const std::uint32_t length =
        pictureIfd.pictureDataLength ? pictureIfd.pictureDataLength : kDefaultPictureDataLength;
    const std::uint64_t offset = strips.front().first;
    // The picture's data is one contiguous strip in the files this program writes; it may be
    // longer or shorter than the nominal strip byte count.
    const auto bytes = file.bytesAt(offset, length);
    if (!bytes)
        return false;
    out.assign(bytes->begin(), bytes->end());
    return true;
}

Status writeKvi(PictureAttributes& info, const std::filesystem::path& path, ByteSpan thumbnail,
                ByteSpan data, std::uint16_t compression, bool kvi, Operator* op) {
    if (thumbnail.size() != kThumbnailBytes)
        return status::Failed;
    auto file = CreateTiff(path, 2, kvi, op);
    if (!file)
        return status::Failed;
    PictureAttributes a;
    a.quality = info.quality;
    a.flash = info.flash;
    a.exposureIndex = info.exposureIndex;
    a.cameraId = info.cameraId;
    a.manufacturingWord = info.manufacturingWord;
    a.captureTime = info.captureTime;
    a.rotation = info.rotation;
    a.whiteBalance = info.whiteBalance;
    a.soundClip = info.soundClip;
    a.pictureDataLength = static_cast<std::uint32_t>(data.size());
    if (WriteIfd(*file, kThumbnailWidth, kThumbnailHeight, 1, kSoftwareTitle, kCompressionNone, 8,
                 &a) != 0 ||
        !WriteData(*file, thumbnail) ||
        WriteIfd(*file, kPictureWidth, kPictureHeight, 0, kSoftwareTitle, compression, 8, &a) !=
            0 ||
        !WriteData(*file, data)) {
        if (op)
            op->message(kFileErrorMessage);
        return status::Failed;
    }
    const Status rc = CloseTiff(*file);
    if (rc != status::Ok) {
        if (op)
            op->message(kFileErrorMessage);
        return rc;
    }
    info.captureTime = a.captureTime;
    return status::Ok;
}

} // namespace

ByteSpan SplitPictureData(int section, ByteSpan data) {
    std::size_t noteLength = 0;
    if (data.size() > 2 && data[0] == 0x03 && data[1] == 0x03) {
        for (std::size_t i = 2; i + 3 < data.size(); ++i) {
            if (data[i + 2] == 0x04 && data[i + 3] == 0x04) {
                noteLength = i + 4;
                break;
            }
        }
    }
    if (section == kSectionNote)
        return data.first(noteLength);
    return data.subspan(noteLength);
}

Bytes MakeThumbnail(ByteSpan rgb, int width, int height) {
    if (width < 4 || height < 4 || rgb.size() < std::size_t(width) * std::size_t(height) * 3)
        return {};
    const int tw = width / 4;
    const int th = height / 4;
    Bytes out(std::size_t(tw) * std::size_t(th) * 3);
    const std::size_t stride = std::size_t(width) * 3;
    for (int ty = 0; ty < th; ++ty) {
        for (int tx = 0; tx < tw; ++tx) {
            for (int c = 0; c < 3; ++c) {
                unsigned sum = 0;
                for (int y = 0; y < 4; ++y) {
                    const std::size_t row = std::size_t(ty * 4 + y) * stride;
                    for (int x = 0; x < 4; ++x)
                        sum += rgb[row + std::size_t(tx * 4 + x) * 3 + std::size_t(c)];
                }
                out[(std::size_t(ty) * std::size_t(tw) + std::size_t(tx)) * 3 + std::size_t(c)] =
                    static_cast<std::uint8_t>(sum / 16);
            }
        }
    }
    return out;
}

Status StorePictureFile(PictureAttributes& info, const std::filesystem::path& path, ByteSpan rgb,
                        Operator* op) {
    if (rgb.size() < kPictureBytes)
        return status::Failed;
    const bool uncompressed = info.quality == kQualityUncompressed;
    ByteSpan data =
        info.pictureData.empty() ? rgb.first(kPictureBytes) : ByteSpan(info.pictureData);
    if (uncompressed) {
        if (data.size() < kPictureBytes)
            return status::Failed;
        data = data.first(kPictureBytes);
    }
    const Bytes thumbnail = MakeThumbnail(rgb.first(kPictureBytes), kPictureWidth, kPictureHeight);
    // A freshly stored uncompressed picture carries version 42; every other write 138.
    const Status rc =
        writeKvi(info, path, thumbnail, data, uncompressed ? kCompressionNone : kCompressionWavelet,
                 !uncompressed, op);
    if (rc == status::Ok)
        info.path = path.string();
    return rc;
}

Status StorePictureFile(PictureAttributes& info, const std::filesystem::path& path, Operator* op,
                        codec::WaveletCodec* codec) {
    if (info.quality == kQualityUncompressed)
        return StorePictureFile(info, path, ByteSpan(info.pictureData), op);
    Bytes rgb(kPictureBytes);
    const ByteSpan stream = SplitPictureData(kSectionStream, info.pictureData);
    codec::WaveletCodec& c = codec ? *codec : threadCodec();
    if (stream.empty() || c.DecodePicture(stream, rgb, info.quality) != status::Ok)
        return status::Failed;
    return StorePictureFile(info, path, ByteSpan(rgb), op);
}

Status RewritePictureFile(const PictureAttributes& info, Operator* op) {
    PictureAttributes copy = info;
    return RewritePictureFile(copy, op);
}

Status RewritePictureFile(PictureAttributes& info, Operator* op) {
    auto file = OpenTiff(info.path, op);
    if (!file)
        return status::Failed;
    Bytes thumbnail;
    if (!readThumbnail(*file, thumbnail))
        return status::Failed;
    PictureAttributes a = info;
    // A rewrite keeps the capture time: the record's, else the one already in the file.
    if (a.captureTime == 0)
        a.captureTime = file->ifd().time;
    a.soundClip = file->ifd().soundClip;
    Bytes data;
    IfdDescription pictureIfd;
    if (!readPictureData(*file, data, pictureIfd))
        return status::Failed;
    a.pictureData.clear();
    file.reset();
    const Status rc = writeKvi(a, info.path, thumbnail, data, pictureIfd.compression, true, op);
    if (rc == status::Ok)
        info.captureTime = a.captureTime;
    return rc;
}

Status ReadPictureFile(const std::filesystem::path& path, PicturePart part, Bytes& out,
                       std::uint32_t& length, codec::WaveletCodec* codec) {
    length = 0;
    Bytes bytes;
    if (!platform::readWholeFile(path, bytes, kTiffFileLimit))
        return status::Failed;
    return ReadPictureBytes(std::move(bytes), part, out, length, codec);
}

Status ReadPictureBytes(Bytes fileBytes, PicturePart part, Bytes& out, std::uint32_t& length,
                        codec::WaveletCodec* codec) {
    length = 0;
    auto file = OpenTiffBytes(std::move(fileBytes));
    if (!file)
        return status::Failed;
    switch (part) {
    case PicturePart::Sound:
        out = file->ifd().soundClip;
        return status::Ok;
    case PicturePart::Thumbnail:
        if (!readThumbnail(*file, out))
            return status::Failed;
        length = kThumbnailBytes;
        return status::Ok;
    case PicturePart::Picture: {
        std::uint16_t quality = file->ifd().quality;
        Bytes data;
        IfdDescription pictureIfd;
        if (!readPictureData(*file, data, pictureIfd))
            return status::Failed;
        if (pictureIfd.compression == kCompressionNone) {
            if (data.size() < kPictureBytes)
                return status::Failed;
            data.resize(kPictureBytes);
            out = std::move(data);
            length = kPictureBytes;
            return status::Ok;
        }
        if (quality == kAttributeUnknown)
            quality = pictureIfd.quality == kAttributeUnknown ? 0 : pictureIfd.quality;
        const ByteSpan stream = SplitPictureData(kSectionStream, data);
        Bytes rgb(kPictureBytes);
        codec::WaveletCodec& c = codec ? *codec : threadCodec();
        if (c.DecodePicture(stream, rgb, quality) != status::Ok)
            return status::Failed;
        out = std::move(rgb);
        length = kPictureBytes;
        return status::Ok;
    }
    case PicturePart::Note: {
        Bytes data;
        IfdDescription pictureIfd;
        if (!readPictureData(*file, data, pictureIfd))
            return status::Failed;
        const ByteSpan note = SplitPictureData(kSectionNote, data);
        out.assign(note.begin(), note.end());
        length = static_cast<std::uint32_t>(note.size());
        return status::Ok;
    }
    }
    return status::Failed;
}

Status ReadPictureFile(const std::filesystem::path& path, PictureAttributes& info) {
    Bytes bytes;
    if (!platform::readWholeFile(path, bytes, kTiffFileLimit))
        return status::Failed;
    const Status rc = ReadPictureBytes(std::move(bytes), info);
    if (rc == status::Ok)
        info.path = path.string();
    return rc;
}

Status ReadPictureBytes(Bytes fileBytes, PictureAttributes& info) {
    auto file = OpenTiffBytes(std::move(fileBytes));
    if (!file)
        return status::Failed;
    const IfdDescription& d = file->ifd();
    if (hasTag(*file, tifftag::PictureQuality))
        info.quality = d.quality;
    if (hasTag(*file, tifftag::FlashSetting))
        info.flash = d.flash;
    if (hasTag(*file, tifftag::ExposureIndex))
        info.exposureIndex = d.exposureIndex;
    info.soundLength = static_cast<std::uint32_t>(d.soundClip.size());
    info.pictureDataLength = d.pictureDataLength ? d.pictureDataLength : kDefaultPictureDataLength;
    info.whiteBalance = d.whiteBalance;
    info.rotation = rotationForOrientation(d.orientation);
    if (d.cameraId)
        info.cameraId = d.cameraId->substr(0, 10);
    if (d.manufacturingWord != 0)
        info.manufacturingWord = d.manufacturingWord;
    info.captureTime = d.time;
    return status::Ok;
}

} // namespace kv::imaging
