#include "library/store_retrieved.h"

#include "camera/wave.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "imaging/process/cell_render.h"
#include "imaging/process/gain_file.h"
#include "imaging/process/ram_file.h"
#include "library/numbered_name.h"
#include "platform/atomic_file.h"

#include <memory>
#include <system_error>

namespace kv::library {
namespace fs = std::filesystem;

namespace {

std::uint32_t fileSizeOf(const fs::path& p) {
    std::error_code ec;
    const auto size = fs::file_size(p, ec);
    return ec ? 0 : static_cast<std::uint32_t>(size);
}

// The raw frame of an uncompressed picture developed to 480 x 400 RGB.
Bytes developFrame(ByteSpan frame, const StoreContext& context) {
    Bytes ram(process::kRamFileSize, 0);
    std::copy_n(frame.begin(), std::min(frame.size(), ram.size()), ram.begin());
    Bytes rgb(imaging::kPictureBytes);
    std::vector<std::uint16_t> gains;
    if (context.gainFile && process::LoadGainFile(*context.gainFile, gains, nullptr) &&
        gains.size() == process::kMosaicSamples) {
        std::vector<std::uint16_t> mosaic = process::UnpackMosaic(ram, 0);
        process::ApplyGains(mosaic.data(), gains.data(), mosaic.size(), 1023);
        process::RenderMosaicCells(mosaic.data(), rgb.data());
    } else {
        process::RenderCells(ram, rgb.data());
    }
    return rgb;
}

Status writeNote(ByteSpan note, const fs::path& path) {
    // A note that already is a wave file (newer card firmware) is kept as received; the
    // camera's ADPCM notes are converted, as a ".wav" must be a wave file to be played.
    if (camera::isWaveFile(note))
        return platform::writeFileAtomically(path, note) ? status::Ok : status::Failed;
    return camera::makeWave(note, path);
}

} // namespace

StoredItem storeRetrievedItem(const camera::TransferItem& item, const StoreContext& context,
                              codec::WaveletCodec* codec) {
    StoredItem out;
    PictureRecord& record = out.record;
    record.sortKey = static_cast<std::int32_t>(context.retrievalTime);
    record.flashState = static_cast<std::uint16_t>(item.flash);
    record.exposureIndex = item.exposure;
    record.manufacturingNumber = context.manufacturingWord;
    const int number = item.pictureSize > 0 ? item.pictureNumber : item.soundNumber;

    if (item.result != status::Ok) {
        out.error = "the item did not arrive intact";
        return out;
    }

    // A note that belongs to no picture.
    if (item.pictureSize == 0) {
        const auto name = nextFreeName(context.base, ".wav", number, context.single);
        if (!name) {
            out.error = "no free file name";
            return out;
        }
        out.result = writeNote(item.sound, *name);
        if (out.result != status::Ok) {
            out.error = "cannot write " + name->string();
            return out;
        }
        out.picture = *name;
        return out;
    }

    const bool uncompressed = item.quality == camera::kQualityUncompressed;
    const bool asJpeg = !uncompressed;
    const bool withNote = item.soundSize > 0 && !item.sound.empty();
    const std::vector<std::string> companions =
        asJpeg && withNote ? std::vector<std::string>{".wav"} : std::vector<std::string>{};
    const auto name =
        nextFreeName(context.base, asJpeg ? ".jpg" : ".kvi", number, context.single, companions);
    if (!name) {
        out.error = "no free file name";
        return out;
    }
    const ByteSpan data = item.pictureData();
    Status st = status::Failed;

    if (uncompressed) {
        imaging::PictureAttributes info;
        info.quality = imaging::kQualityUncompressed;
        info.flash = static_cast<std::uint16_t>(item.flash);
        info.exposureIndex = static_cast<std::uint16_t>(item.exposure);
        info.cameraId = context.cameraId;
        info.manufacturingWord = context.manufacturingWord;
        info.captureTime = context.retrievalTime;
        info.soundClip = item.sound;
        info.soundLength = static_cast<std::uint32_t>(item.sound.size());
        const Bytes rgb = developFrame(item.picture, context);
        info.pictureData = rgb;
        info.pictureDataLength = imaging::kPictureBytes;
        st = imaging::StorePictureFile(info, *name, rgb);
        record.attributes = info;
        record.attributes.pictureData.clear();
        record.attributes.soundClip.clear();
        record.attributes.path = name->string();
        record.isJpeg = 0;
        record.hasSound = withNote ? 1 : 0;
        record.quality = imaging::kQualityUncompressed;
    } else if (context.jpegCamera) {
        st = platform::writeFileAtomically(*name, data) ? status::Ok : status::Failed;
        record.isJpeg = 1;
        record.quality = 0;
    } else {
        std::unique_ptr<codec::WaveletCodec> own;
        if (!codec) {
            own = std::make_unique<codec::WaveletCodec>();
            codec = own.get();
        }
        const ByteSpan stream = imaging::SplitPictureData(imaging::kSectionStream, data);
        const ByteSpan note = imaging::SplitPictureData(imaging::kSectionNote, data);
        Bytes rgb(imaging::kPictureBytes);
        st = codec->DecodePicture(stream, rgb, item.quality);
        if (st != status::Ok) {
            out.error = "the wavelet picture does not decode";
            return out;
        }
        imaging::PictureAttributes info;
        info.quality = static_cast<std::uint16_t>(item.quality);
        info.flash = static_cast<std::uint16_t>(item.flash);
        info.exposureIndex = static_cast<std::uint16_t>(item.exposure);
        // The quality code goes into the "KVI Wavelet Compression" marker (Standard's 1 tells
        // the renderer the picture was taken at 480 x 400; Best's 0 is not written).
        st = imaging::StorePictureJpeg(rgb, *name, info, static_cast<int>(item.quality), note);
        record.isJpeg = 1;
        record.quality = static_cast<std::uint16_t>(item.quality);
    }
    if (st != status::Ok) {
        out.error = "cannot write " + name->string();
        return out;
    }
    out.picture = *name;
    record.path = name->string();
    record.fileSize = fileSizeOf(*name);

    if (asJpeg && withNote) {
        fs::path wave = *name;
        wave.replace_extension(".wav");
        if (writeNote(item.sound, wave) != status::Ok) {
            // No picture without its note: the item counts as not stored (it is still in the
            // camera), and a later retrieval stores both instead of a second lone copy.
            std::error_code ec;
            fs::remove(*name, ec);
            out.picture.clear();
            out.error = "cannot write " + wave.string();
            out.result = status::Failed;
            return out;
        }
        out.sound = wave;
        record.hasSound = 1;
    }
    out.result = status::Ok;
    return out;
}

} // namespace kv::library
