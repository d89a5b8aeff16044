#include "library/picture_export.h"

#include "base/text.h"
#include "camera/wave.h"
#include "imaging/bitmap_file.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "imaging/tiff.h"
#include "library/output_renderer.h"
#include "library/picture_names.h"
#include "platform/atomic_file.h"

namespace kv::library {
namespace fs = std::filesystem;

namespace {

Status writeTiff(const fs::path& target, const imaging::RgbPicture& picture,
                 const PictureRecord& record) {
    // An ordinary TIFF with the camera settings; the pixels carry rotation and white balance
    // already, so those tags are left out.
    imaging::PictureAttributes attributes;
    attributes.quality = record.isJpeg != 0 ? imaging::kAttributeUnknown : record.quality;
    attributes.flash = record.flashState;
    attributes.exposureIndex = record.exposureIndex < 0
                                   ? imaging::kAttributeUnknown
                                   : static_cast<std::uint16_t>(record.exposureIndex);
    attributes.manufacturingWord = record.manufacturingNumber;
    attributes.captureTime = static_cast<std::uint32_t>(std::max(record.sortKey, 0));
    auto file = imaging::CreateTiff(target, 1, false);
    if (!file ||
        imaging::WriteIfd(*file, std::uint32_t(picture.width), std::uint32_t(picture.height), 0,
                          imaging::kSoftwareTitle, imaging::kCompressionNone, 8,
                          &attributes) != 0 ||
        !imaging::WriteData(*file, picture.pixels))
        return status::Failed;
    return imaging::CloseTiff(*file);
}

// The note of a picture as a wave file image: the JPEG's ".wav" as it is, a .kvi's clip
// converted (unless it already is a wave file). Empty when there is none.
Bytes noteOf(const PictureRecord& record) {
    Bytes out;
    if (record.hasSound == 0)
        return out;
    if (record.isJpeg != 0) {
        platform::readWholeFile(soundPathOf(record.path), out, std::uintmax_t(64) << 20);
        return out;
    }
    std::uint32_t length = 0;
    Bytes clip;
    if (imaging::ReadPictureFile(record.path, imaging::PicturePart::Sound, clip, length) !=
            status::Ok ||
        clip.empty())
        return out;
    return camera::isWaveFile(clip) ? clip : camera::makeWaveImage(clip);
}

} // namespace

std::optional<ExportType> exportTypeOf(const fs::path& path) {
    const std::string ext = path.extension().string();
    if (equalsIgnoreCase(ext, ".tif") || equalsIgnoreCase(ext, ".tiff"))
        return ExportType::Tiff;
    if (equalsIgnoreCase(ext, ".bmp"))
        return ExportType::Bitmap;
    if (equalsIgnoreCase(ext, ".jpg") || equalsIgnoreCase(ext, ".jpeg"))
        return ExportType::Jpeg;
    return std::nullopt;
}

std::string_view extensionFor(ExportType type) {
    switch (type) {
    case ExportType::Bitmap:
        return "bmp";
    case ExportType::Jpeg:
        return "jpg";
    case ExportType::Tiff:
        break;
    }
    return "tif";
}

std::vector<fs::path> exportTargets(const PictureList& list, const fs::path& chosen,
                                    ExportType type) {
    std::vector<fs::path> out;
    const std::vector<int> chosenOnes = list.highlightedIndices();
    if (chosenOnes.size() == 1) {
        out.push_back(chosen);
        return out;
    }
    for (int index : chosenOnes)
        out.push_back(chosen.parent_path() / (fileTitle(savedPathOf(list[index].path)) + "." +
                                              std::string(extensionFor(type))));
    return out;
}

Status exportPicture(const PictureRecord& record, const fs::path& target, ExportType type,
                     int outputSize, std::string* error, codec::WaveletCodec* codec) {
    const imaging::RgbPicture picture =
        renderPicture(renderSourceOf(record), RenderMode::Output, outputSize, codec);
    if (!picture.valid()) {
        if (error)
            *error = "Could not read the picture " + record.path + ".";
        return status::Failed;
    }
    Status rc = status::Failed;
    switch (type) {
    case ExportType::Bitmap:
        rc = imaging::WriteBitmap24File(target, picture.pixels, picture.width, picture.height);
        break;
    case ExportType::Jpeg:
        rc = imaging::WriteJpeg(picture.pixels, target, picture.width, picture.height,
                                imaging::kJpegQuality, record.exposureIndex, record.flashState,
                                std::string_view{}, 0);
        break;
    case ExportType::Tiff:
        rc = writeTiff(target, picture, record);
        break;
    }
    if (rc != status::Ok) {
        if (error)
            *error = "Could not write " + target.string() + ".";
        return rc;
    }
    if (const Bytes note = noteOf(record); !note.empty()) {
        fs::path wave = target;
        wave.replace_extension(".wav");
        if (!platform::writeFileAtomically(wave, note)) {
            if (error)
                *error = "Could not write the sound note " + wave.string() + ".";
            return status::Failed;
        }
    }
    return status::Ok;
}

Status exportHighlighted(const PictureList& list, const fs::path& chosen, int outputSize,
                         Operator& op) {
    const auto type = exportTypeOf(chosen).value_or(ExportType::Tiff);
    const std::vector<fs::path> targets = exportTargets(list, chosen, type);
    const std::vector<int> indices = list.highlightedIndices();
    Status result = status::Ok;
    op.setWaitCursor(true);
    for (std::size_t k = 0; k < indices.size() && k < targets.size(); ++k) {
        std::string error;
        if (exportPicture(list[indices[k]], targets[k], type, outputSize, &error) != status::Ok) {
            op.message(error);
            result = status::Failed;
        }
    }
    op.setWaitCursor(false);
    return result;
}

} // namespace kv::library
