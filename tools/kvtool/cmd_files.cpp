// kvtool info, export and thumb: looking into picture files (.kvi, .tif, .jpg, .bmp) and
// writing them out as TIFF, bitmap or JPEG files at one of the program's output sizes.

#include "base/text.h"
#include "command.h"
#include "imaging/bitmap_file.h"
#include "imaging/edits.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_attributes.h"
#include "imaging/picture_file.h"
#include "imaging/rgb_picture.h"
#include "imaging/tiff.h"
#include "imaging/tiff_forms.h"
#include "platform/atomic_file.h"
#include "settings/app_settings.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

namespace kvtool {
namespace {

using namespace kv::imaging;
namespace fs = std::filesystem;

// The output sizes of the program (index 0..5), 960 x 800 by default.
constexpr int kOutputSizes[6][2] = {{60, 50},   {120, 100}, {240, 200},
                                    {480, 400}, {960, 800}, {1920, 1600}};
constexpr int kDefaultOutputSize = 4;

enum class Kind { Unknown, Tiff, Jpeg, Bitmap };

Kind kindOf(const kv::Bytes& head) {
    if (head.size() >= 4 &&
        ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')))
        return Kind::Tiff;
    if (head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF)
        return Kind::Jpeg;
    if (head.size() >= 2 && head[0] == 'B' && head[1] == 'M')
        return Kind::Bitmap;
    return Kind::Unknown;
}

bool readHead(const fs::path& path, kv::Bytes& head) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    head.resize(64);
    head.resize(std::fread(head.data(), 1, head.size(), f));
    std::fclose(f);
    return true;
}

std::string localTime(std::uint32_t seconds) {
    if (seconds == 0)
        return "none";
    const std::time_t t = seconds;
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

const char* typeName(std::uint16_t type) {
    switch (type) {
    case 1:
        return "BYTE";
    case 2:
        return "ASCII";
    case 3:
        return "SHORT";
    case 4:
        return "LONG";
    case 5:
        return "RATIONAL";
    case 6:
        return "SBYTE";
    case 7:
        return "UNDEFINED";
    case 8:
        return "SSHORT";
    case 9:
        return "SLONG";
    case 10:
        return "SRATIONAL";
    case 11:
        return "FLOAT";
    case 12:
        return "DOUBLE";
    default:
        return "?";
    }
}

// Printable text: control characters as \xNN.
std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string entryValue(const TiffReader& r, const TiffEntry& e) {
    constexpr std::size_t kShown = 12;
    if (e.type == kTiffAscii) {
        const auto t = r.text(e);
        return t ? "\"" + printable(*t) + "\"" : "(outside the file)";
    }
    const auto values = r.numbers(e, kShown * 2);
    if (!values)
        return "(outside the file)";
    std::string out;
    if (e.type == kTiffRational || e.type == 10) {
        for (std::size_t i = 0; i + 1 < values->size() && i < kShown * 2; i += 2) {
            const double v = (*values)[i + 1] ? double((*values)[i]) / (*values)[i + 1] : 0.0;
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s%u/%u (%g)", i ? ", " : "", (*values)[i],
                          (*values)[i + 1], v);
            out += buf;
        }
        return out;
    }
    for (std::size_t i = 0; i < values->size() && i < kShown; ++i)
        out += (i ? " " : "") + std::to_string((*values)[i]);
    if (e.count > kShown)
        out += " ... (" + std::to_string(e.count) + " values)";
    return out;
}

void printAttributes(const IfdDescription& d) {
    std::printf("  picture attributes:\n");
    if (d.quality != kAttributeUnknown)
        std::printf("    quality          %u (%s)\n", d.quality,
                    kv::imaging::qualityName(d.quality));
    if (d.flash != kAttributeUnknown)
        std::printf("    flash            %u (%s)\n", d.flash, d.flash == 0 ? "off" : "on");
    if (d.exposureIndex != kAttributeUnknown)
        std::printf("    exposure index   %u\n", d.exposureIndex);
    if (d.cameraId)
        std::printf("    camera id        \"%s\"\n", printable(*d.cameraId).c_str());
    if (d.manufacturingWord != 0)
        std::printf("    manufacturing    %u (%s)\n", d.manufacturingWord,
                    kv::settings::manufacturingNumberText(d.manufacturingWord).c_str());
    std::printf("    taken            %s\n", localTime(d.time).c_str());
    std::printf("    rotation         %d quarter turn(s) clockwise\n",
                rotationForOrientation(d.orientation));
    const auto& wb = d.whiteBalance;
    std::printf("    white balance    %s, white points %u %u %u\n",
                wb.enabled ? "automatic" : "off", wb.whitePoint[0], wb.whitePoint[1],
                wb.whitePoint[2]);
    if (!d.soundClip.empty())
        std::printf("    sound clip       %zu bytes\n", d.soundClip.size());
    if (d.pictureDataLength != 0)
        std::printf("    picture data     %u bytes\n", d.pictureDataLength);
}

int infoTiff(const fs::path& path) {
    auto r = OpenTiff(path);
    if (!r)
        return fail("cannot read the TIFF structure of " + path.string());
    const bool kvi = r->version() == kKviVersion;
    std::printf("%s: %s, %s byte order, version %u, %llu bytes\n", path.c_str(),
                kvi ? ".kvi picture file" : "TIFF file",
                r->bigEndian() ? "big-endian (MM)" : "little-endian (II)", r->version(),
                static_cast<unsigned long long>(r->fileSize()));
    do {
        const IfdDescription& d = r->ifd();
        std::printf("\nIFD %d at offset %u (next IFD at %u): %u x %u, %s\n", r->ifdIndex(),
                    r->ifdOffset(), r->nextIfdOffset(), d.width, d.height,
                    d.subfileType == 1 ? "thumbnail / reduced picture" : "full picture");
        for (const TiffEntry& e : r->entries()) {
            const std::string_view name = tiffTagName(e.tag);
            std::printf("  %5u %-26s %-9s %6u  %s\n", e.tag,
                        name.empty() ? "(unknown)" : std::string(name).c_str(), typeName(e.type),
                        e.count, entryValue(*r, e).c_str());
        }
        std::uint64_t strips = 0;
        for (int p = 0; p < 4; ++p)
            strips += r->strips(p).size();
        std::printf("  strips/tiles: %llu", static_cast<unsigned long long>(strips));
        for (int p = 0; p < 4; ++p) {
            if (!r->strips(p).empty())
                std::printf("%s plane %d: %zu", p ? "," : "", p, r->strips(p).size());
        }
        std::printf("\n");
        if (d.subfileType == 1 || r->ifdIndex() == 0)
            printAttributes(d);
    } while (NextIfd(*r) == kv::status::Ok);

    kv::Bytes note;
    std::uint32_t length = 0;
    if (ReadPictureFile(path, PicturePart::Note, note, length) == kv::status::Ok && length > 0)
        std::printf("\ncamera note section: %u bytes: %s\n", length,
                    printable(std::string(note.begin(), note.end())).c_str());
    return 0;
}

int infoJpeg(const fs::path& path) {
    kv::Bytes file;
    if (!kv::platform::readWholeFile(path, file, std::uintmax_t(64) << 20))
        return fail("cannot read " + path.string());
    int w = 0;
    int h = 0;
    int components = 0;
    JpegMarkers m;
    if (ReadJpegHeaderBytes(file, w, h, components, &m) != kv::status::Ok)
        return fail("not a readable JPEG file: " + path.string());
    std::printf("%s: JPEG file, %d x %d, %d component(s), %zu bytes\n", path.c_str(), w, h,
                components, file.size());
    std::printf("\nmarkers:\n");
    std::size_t at = 2;
    std::printf("  SOI\n");
    while (at + 4 <= file.size() && file[at] == 0xFF) {
        const std::uint8_t code = file[at + 1];
        const std::size_t length = kv::loadBe16(file, at + 2);
        std::printf("  0x%02X", code);
        if (code >= 0xE0 && code <= 0xEF)
            std::printf(" APP%d", code - 0xE0);
        else if (code == 0xDB)
            std::printf(" DQT");
        else if (code == 0xC4)
            std::printf(" DHT");
        else if (code >= 0xC0 && code <= 0xCF)
            std::printf(" SOF%d", code - 0xC0);
        else if (code == 0xDA)
            std::printf(" SOS");
        else if (code == 0xFE)
            std::printf(" COM");
        std::printf(" (%zu bytes)", length);
        if (code == 0xE1 && length >= 2 && at + 2 + length <= file.size()) {
            const std::string text(file.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                   file.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
            std::printf(": \"%s\"", printable(text.substr(0, 200)).c_str());
            if (text.size() > 200)
                std::printf(" ...");
        }
        std::printf("\n");
        if (code == 0xDA)
            break;
        at += 2 + length;
    }
    std::printf("\ncamera values (0 when not given):\n");
    std::printf("  JPEG quality          %d\n", m.quality);
    std::printf("  exposure index        %d\n", m.exposureIndex);
    std::printf("  flash                 %d\n", m.flash);
    std::printf("  wavelet compression   %d\n", m.waveletCompression);
    std::printf("  note                  \"%s\"\n", printable(m.note).c_str());
    return 0;
}

int infoBitmap(const fs::path& path) {
    kv::Bytes file;
    if (!kv::platform::readWholeFile(path, file, std::uintmax_t(256) << 20) || file.size() < 26)
        return fail("cannot read " + path.string());
    std::printf("%s: bitmap file, %zu bytes\n", path.c_str(), file.size());
    std::printf("  file size field     %u\n", kv::loadLe32(file, 2));
    std::printf("  pixel data offset   %u\n", kv::loadLe32(file, 10));
    std::uint32_t header = 0;
    std::uint32_t table = 0;
    std::uint32_t image = 0;
    const kv::ByteSpan dib = kv::ByteSpan(file).subspan(14);
    if (!describeDib(dib, header, table, image))
        return fail("unknown bitmap header");
    std::printf("  info header         %u bytes\n", header);
    if (header >= 40) {
        std::printf("  size                %d x %d (%s)\n", std::int32_t(kv::loadLe32(dib, 4)),
                    std::int32_t(kv::loadLe32(dib, 8)),
                    std::int32_t(kv::loadLe32(dib, 8)) > 0 ? "bottom-up" : "top-down");
        std::printf("  bits per pixel      %u\n", kv::loadLe16(dib, 14));
        std::printf("  compression         %u\n", kv::loadLe32(dib, 16));
    }
    std::printf("  colour table        %u bytes\n", table);
    std::printf("  image               %u bytes\n", image);
    return 0;
}

int runInfo(Args& args) {
    if (args.size() != 1)
        return usage("info");
    const fs::path path = args[0];
    kv::Bytes head;
    if (!readHead(path, head))
        return fail("cannot open " + path.string());
    switch (kindOf(head)) {
    case Kind::Tiff:
        return infoTiff(path);
    case Kind::Jpeg:
        return infoJpeg(path);
    case Kind::Bitmap:
        return infoBitmap(path);
    case Kind::Unknown:
        break;
    }
    return fail("not a .kvi, TIFF, JPEG or bitmap file: " + path.string());
}

// A picture read for export: its pixels with its edits applied, and what it says about itself.
struct Loaded {
    RgbPicture picture;
    PictureAttributes attributes;
    bool hasAttributes = false;
    JpegMarkers markers;
    std::string note;
};

// A TIFF of one IFD (an export or a working file): 8-bit RGB as it is, grey (8 or 16 bits,
// the high byte) repeated into the three channels.
bool loadWorkingTiff(const fs::path& path, Loaded& out, std::string& error) {
    WorkingPicture w;
    if (ReadWorkingTiff(path, w) != kv::status::Ok) {
        error = "cannot read the picture data of " + path.string();
        return false;
    }
    const IfdDescription& d = w.ifd;
    const std::size_t pixels = std::size_t(d.width) * d.height;
    if (d.compression != kCompressionNone || pixels == 0 ||
        std::uint64_t(pixels) > kJpegMaxPixels) {
        error = "unsupported TIFF picture in " + path.string();
        return false;
    }
    out.picture.width = static_cast<int>(d.width);
    out.picture.height = static_cast<int>(d.height);
    out.picture.pixels.resize(pixels * 3);
    if (d.samplesPerPixel >= 3 && d.bitsPerSample == 8 && !d.planarSeparate &&
        w.data.size() >= pixels * d.samplesPerPixel) {
        for (std::size_t i = 0; i < pixels; ++i)
            std::copy_n(&w.data[i * d.samplesPerPixel], 3, &out.picture.pixels[i * 3]);
    } else if (d.samplesPerPixel == 1 && (d.bitsPerSample == 8 || d.bitsPerSample == 16)) {
        const std::size_t step = d.bitsPerSample / 8;
        const std::size_t high = step == 2 && !w.bigEndian ? 1 : 0;
        for (std::size_t i = 0; i < pixels; ++i)
            std::fill_n(&out.picture.pixels[i * 3], 3, w.data[i * step + high]);
    } else {
        error = "unsupported TIFF picture in " + path.string();
        return false;
    }
    return true;
}

bool loadPicture(const fs::path& path, Loaded& out, bool thumbnail, std::string& error) {
    kv::Bytes head;
    if (!readHead(path, head)) {
        error = "cannot open " + path.string();
        return false;
    }
    const Kind kind = kindOf(head);
    if (kind == Kind::Tiff) {
        if (auto tiff = OpenTiff(path); tiff && tiff->nextIfdOffset() == 0 && !thumbnail)
            return loadWorkingTiff(path, out, error);
        kv::Bytes pixels;
        std::uint32_t length = 0;
        if (ReadPictureFile(path, out.attributes) != kv::status::Ok) {
            error = "cannot read " + path.string();
            return false;
        }
        out.hasAttributes = true;
        const PicturePart part = thumbnail ? PicturePart::Thumbnail : PicturePart::Picture;
        if (ReadPictureFile(path, part, pixels, length) != kv::status::Ok) {
            error = "cannot decode the picture of " + path.string();
            return false;
        }
        out.picture.width = thumbnail ? kThumbnailWidth : kPictureWidth;
        out.picture.height = thumbnail ? kThumbnailHeight : kPictureHeight;
        out.picture.pixels = std::move(pixels);
        kv::Bytes note;
        if (ReadPictureFile(path, PicturePart::Note, note, length) == kv::status::Ok)
            out.note.assign(note.begin(), note.end());
        // The picture's own edits: white balance and rotation.
        EditSettings edits;
        edits.rotation = out.attributes.rotation;
        edits.whiteBalance = out.attributes.whiteBalance;
        const EditedSize size =
            ApplyEdits(&edits, out.picture.pixels.data(), out.picture.width, out.picture.height);
        out.picture.width = size.width;
        out.picture.height = size.height;
        return true;
    }
    if (kind == Kind::Jpeg) {
        int w = 0;
        int h = 0;
        if (ReadJpegSize(path, w, h, &out.markers) != kv::status::Ok) {
            error = "cannot read " + path.string();
            return false;
        }
        int boxW = w;
        int boxH = h;
        if (thumbnail) {
            boxW = kThumbnailWidth;
            boxH = kThumbnailHeight;
        }
        if (std::uint64_t(boxW) * std::uint64_t(boxH) > kJpegMaxPixels) {
            error = "picture too large: " + path.string();
            return false;
        }
        out.picture.width = boxW;
        out.picture.height = boxH;
        out.picture.pixels.assign(std::size_t(boxW) * std::size_t(boxH) * 3, 0);
        JpegMarkers ignored;
        if (ReadJpeg(path, out.picture.pixels, boxW, boxH, thumbnail, &ignored) != kv::status::Ok) {
            error = "cannot decode " + path.string();
            return false;
        }
        out.note = out.markers.note;
        return true;
    }
    error = "cannot export from this kind of file: " + path.string();
    return false;
}

int writePicture(const fs::path& path, const Loaded& in, const RgbPicture& p) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    kv::Status rc = kv::status::Failed;
    if (ext == ".bmp") {
        rc = WriteBitmap24File(path, p.pixels, p.width, p.height);
    } else if (ext == ".jpg" || ext == ".jpeg") {
        const int exposure = in.hasAttributes ? (in.attributes.exposureIndex == kAttributeUnknown
                                                     ? -1
                                                     : in.attributes.exposureIndex)
                                              : in.markers.exposureIndex;
        const int flash = in.hasAttributes ? in.attributes.flash : in.markers.flash;
        rc = WriteJpeg(p.pixels, path, p.width, p.height, kJpegQuality, exposure, flash, in.note,
                       in.markers.waveletCompression);
    } else if (ext == ".tif" || ext == ".tiff") {
        // An ordinary TIFF (version 42) with the picture's private tags; the pixels already
        // carry the rotation and white balance, so those two tags are left out.
        PictureAttributes a;
        PictureAttributes* attributes = nullptr;
        if (in.hasAttributes) {
            a = in.attributes;
            a.rotation = 0;
            a.whiteBalance = {};
            a.soundClip.clear();
            a.pictureData.clear();
            a.pictureDataLength = 0;
            attributes = &a;
        }
        auto file = CreateTiff(path, 1, false);
        if (file &&
            WriteIfd(*file, std::uint32_t(p.width), std::uint32_t(p.height), 0, kSoftwareTitle,
                     kCompressionNone, 8, attributes) == 0 &&
            WriteData(*file, p.pixels))
            rc = CloseTiff(*file);
    } else {
        return fail("the output name must end in .tif, .bmp or .jpg: " + path.string());
    }
    if (rc != kv::status::Ok)
        return fail("cannot write " + path.string());
    std::printf("%s: %d x %d\n", path.c_str(), p.width, p.height);
    return 0;
}

int runExport(Args& args) {
    int sizeIndex = kDefaultOutputSize;
    if (const auto size = args.option("--size")) {
        const long v = kv::parseLeadingDecimal(*size);
        if (size->empty() || v < 0 || v > 5 || kv::trim(*size) != std::to_string(v))
            return fail("--size takes 0..5 (60x50, 120x100, 240x200, 480x400, 960x800, "
                        "1920x1600)");
        sizeIndex = static_cast<int>(v);
    }
    if (args.size() != 2)
        return usage("export");
    Loaded in;
    std::string error;
    if (!loadPicture(args[0], in, false, error))
        return fail(error);
    int w = kOutputSizes[sizeIndex][0];
    int h = kOutputSizes[sizeIndex][1];
    if (in.picture.height > in.picture.width) // a portrait picture (rotated a quarter turn)
        std::swap(w, h);
    const RgbPicture out = ResizeRgb(in.picture, w, h);
    if (!out.valid())
        return fail("cannot scale the picture");
    return writePicture(args[1], in, out);
}

int runThumb(Args& args) {
    if (args.size() != 2)
        return usage("thumb");
    Loaded in;
    std::string error;
    if (!loadPicture(args[0], in, true, error))
        return fail(error);
    return writePicture(args[1], in, in.picture);
}

Registrar infoCommand{{"info", "info FILE",
                       "show every tag, marker and attribute of a .kvi, .tif, .jpg or .bmp file",
                       runInfo}};
Registrar exportCommand{{"export", "export IN OUT.tif|OUT.bmp|OUT.jpg [--size 0..5]",
                         "write a picture as TIFF, bitmap or JPEG at an output size "
                         "(default 4 = 960x800)",
                         runExport}};
Registrar thumbCommand{{"thumb", "thumb IN OUT.tif|OUT.bmp|OUT.jpg",
                        "write the 120x100 thumbnail of a picture", runThumb}};

} // namespace
} // namespace kvtool
