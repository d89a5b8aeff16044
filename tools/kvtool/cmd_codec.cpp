// kvtool encode / decode: pictures to and from .kvi files whose picture data is what the camera
// delivers for a wavelet picture (a note section and a wavelet stream).

#include "command.h"
#include "imaging/bitmap_file.h"
#include "imaging/bitmap_reader.h"
#include "imaging/codec/synthetic_picture.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "imaging/rgb_picture.h"
#include "imaging/tiff_forms.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kvtool {
namespace {

namespace codec = kv::codec;
namespace imaging = kv::imaging;

std::string extensionOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

kv::Bytes toPictureSize(kv::ByteSpan rgb, int width, int height) {
    imaging::RgbPicture source{width, height, kv::Bytes(rgb.begin(), rgb.end())};
    return imaging::ResizeRgb(source, codec::kWidth, codec::kHeight).pixels;
}

// A 480 x 400 RGB picture from a TIFF (8-bit RGB, any size, resized), a bitmap (resized) or a
// JPEG file (scaled to fit, centred on black). Empty with a message on failure.
kv::Bytes readInput(const std::string& path, std::string& error) {
    const std::string ext = extensionOf(path);
    if (ext == ".tif" || ext == ".tiff") {
        imaging::WorkingPicture picture;
        if (imaging::ReadWorkingTiff(path, picture) != kv::status::Ok) {
            error = "cannot read " + path;
            return {};
        }
        const auto& ifd = picture.ifd;
        const std::uint64_t bytes = std::uint64_t{ifd.width} * ifd.height * 3;
        if (ifd.samplesPerPixel != 3 || ifd.compression != 1 || ifd.planarConfiguration != 1 ||
            ifd.width == 0 || ifd.height == 0 || picture.data.size() < bytes ||
            (!ifd.bitsPerSampleValues.empty() && ifd.bitsPerSampleValues[0] != 8)) {
            error = path + " is not an uncompressed 8-bit RGB TIFF";
            return {};
        }
        return toPictureSize(picture.data, static_cast<int>(ifd.width),
                             static_cast<int>(ifd.height));
    }
    if (ext == ".jpg" || ext == ".jpeg") {
        kv::Bytes rgb(codec::kRgbBytes, 0);
        if (imaging::ReadJpeg(path, rgb, codec::kWidth, codec::kHeight, true) != kv::status::Ok) {
            error = "cannot read " + path;
            return {};
        }
        return rgb;
    }
    if (ext == ".bmp") {
        imaging::RgbPicture picture;
        if (imaging::ReadBitmapFile(path, picture) != kv::status::Ok) {
            error = "cannot read " + path + " (not an uncompressed bitmap)";
            return {};
        }
        return toPictureSize(picture.pixels, picture.width, picture.height);
    }
    error = "input must be .tif, .bmp or .jpg: " + path;
    return {};
}

kv::Status writeOutput(const std::string& path, kv::ByteSpan rgb, std::string& error) {
    const std::string ext = extensionOf(path);
    kv::Status result = kv::status::Failed;
    if (ext == ".bmp")
        result = imaging::WriteBitmap24File(path, rgb, codec::kWidth, codec::kHeight);
    else if (ext == ".tif" || ext == ".tiff")
        result = imaging::WriteRgb8Tiff(path, codec::kWidth, codec::kHeight, rgb);
    else if (ext == ".jpg" || ext == ".jpeg")
        result = imaging::WriteJpeg(rgb, path, codec::kWidth, codec::kHeight, imaging::kJpegQuality,
                                    0, 0, std::nullopt, 0);
    else {
        error = "output must be .bmp, .tif or .jpg: " + path;
        return kv::status::Failed;
    }
    if (result != kv::status::Ok)
        error = "cannot write " + path;
    return result;
}

double psnr(kv::ByteSpan a, kv::ByteSpan b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * a.size() / sum);
}

int runEncode(Args& args) {
    const auto qualityText = args.option("--quality");
    const auto targetText = args.option("--target-kb");
    if (args.size() != 2)
        return usage("encode");
    char* end = nullptr;
    const long quality = qualityText ? std::strtol(qualityText->c_str(), &end, 10) : 0;
    if (qualityText && (*end != '\0' || quality < 0 || quality > 2))
        return fail("--quality must be 0 (Best), 1 (Standard) or 2 (Cine)");
    const long targetKb = targetText ? std::strtol(targetText->c_str(), &end, 10) : 0;
    if (targetText && (*end != '\0' || targetKb < 10 || targetKb > 200))
        return fail("--target-kb must be a number from 10 to 200");

    std::string error;
    const kv::Bytes rgb = readInput(args[0], error);
    if (rgb.empty())
        return fail(error);
    codec::WaveletCodec wavelet;
    codec::EncodeReport report;
    imaging::PictureAttributes info;
    info.quality = static_cast<std::uint16_t>(quality);
    info.pictureData = wavelet.encodeCameraPicture(
        rgb, {static_cast<int>(quality), static_cast<std::size_t>(targetKb) * 1000}, &report);
    info.pictureDataLength = static_cast<std::uint32_t>(info.pictureData.size());
    info.cameraId = "KVTOOL";
    if (imaging::StorePictureFile(info, args[1], nullptr, &wavelet) != kv::status::Ok)
        return fail("cannot write " + args[1]);

    kv::Bytes decoded(codec::kRgbBytes);
    const kv::ByteSpan stream =
        imaging::SplitPictureData(imaging::kSectionStream, info.pictureData);
    wavelet.DecodePicture(stream, decoded, static_cast<int>(quality));
    std::printf("%s: quality %ld, stream %zu bytes (target %zu), scales %.0f %.0f %.0f, "
                "PSNR %.2f dB\n",
                args[1].c_str(), quality, report.bytes, report.targetBytes, report.scales[0],
                report.scales[1], report.scales[2], psnr(rgb, decoded));
    return 0;
}

int runDecode(Args& args) {
    if (args.size() != 2)
        return usage("decode");
    codec::WaveletCodec wavelet;
    kv::Bytes rgb;
    std::uint32_t length = 0;
    if (imaging::ReadPictureFile(args[0], imaging::PicturePart::Picture, rgb, length, &wavelet) !=
            kv::status::Ok ||
        length != codec::kRgbBytes) {
        const auto code = static_cast<int>(wavelet.lastError());
        return fail("cannot decode " + args[0] +
                    (code != 0 ? " (wavelet check " + std::to_string(code) + " failed)" : ""));
    }
    std::string error;
    if (writeOutput(args[1], rgb, error) != kv::status::Ok)
        return fail(error);
    std::printf("%s: 480 x 400\n", args[1].c_str());
    return 0;
}

int runTestPicture(Args& args) {
    const auto seedText = args.option("--seed");
    if (args.size() != 1)
        return usage("test-picture");
    const unsigned long seed = seedText ? std::strtoul(seedText->c_str(), nullptr, 10) : 1;
    const kv::Bytes rgb = codec::syntheticPicture(static_cast<std::uint32_t>(seed));
    std::string error;
    if (writeOutput(args[0], rgb, error) != kv::status::Ok)
        return fail(error);
    std::printf("%s: 480 x 400\n", args[0].c_str());
    return 0;
}

Registrar testPictureCommand{{"test-picture", "test-picture OUT.{bmp,tif,jpg} [--seed N]",
                              "write a procedural 480 x 400 test picture", runTestPicture}};
Registrar encodeCommand{
    {"encode", "encode IN.{tif,bmp,jpg} OUT.kvi [--quality 0|1|2] [--target-kb N]",
     "make a .kvi file holding a wavelet picture as the camera delivers it", runEncode}};
Registrar decodeCommand{
    {"decode", "decode IN.kvi OUT.{bmp,tif,jpg}", "decode the picture of a .kvi file", runDecode}};

} // namespace
} // namespace kvtool
