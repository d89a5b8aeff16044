#include "imaging/tiff.h"

#include "base/text.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace kv::imaging {
namespace {

constexpr std::size_t kMaxIfds = 1024; // a longer chain is taken as a loop
constexpr std::size_t kMaxStripCount = 1u << 20;

std::uint64_t evenUp(std::uint64_t v) {
    return (v + 1) & ~std::uint64_t(1);
}

std::size_t typeSize(std::uint16_t type) {
    switch (type) {
    case 1: // BYTE
    case 2: // ASCII
    case 6: // SBYTE
    case 7: // UNDEFINED
        return 1;
    case 3: // SHORT
    case 8: // SSHORT
        return 2;
    case 4:  // LONG
    case 9:  // SLONG
    case 11: // FLOAT
        return 4;
    case 5:  // RATIONAL
    case 10: // SRATIONAL
    case 12: // DOUBLE
        return 8;
    default:
        return 0;
    }
}

std::uint64_t rowBytes(std::uint32_t width, int bits, int samples) {
    return (std::uint64_t(width) * std::uint64_t(bits) * std::uint64_t(samples) + 7) / 8;
}

int bitsOf(const IfdDescription& ifd) {
    return ifd.bitsPerSample > 0 ? ifd.bitsPerSample : 8;
}

} // namespace

std::string_view tiffTagName(std::uint16_t tag) {
    switch (tag) {
    case tifftag::NewSubfileType:
        return "NewSubfileType";
    case tifftag::ImageWidth:
        return "ImageWidth";
    case tifftag::ImageLength:
        return "ImageLength";
    case tifftag::BitsPerSample:
        return "BitsPerSample";
    case tifftag::Compression:
        return "Compression";
    case tifftag::Photometric:
        return "PhotometricInterpretation";
    case tifftag::ImageDescription:
        return "ImageDescription";
    case tifftag::StripOffsets:
        return "StripOffsets";
    case tifftag::Orientation:
        return "Orientation";
    case tifftag::SamplesPerPixel:
        return "SamplesPerPixel";
    case tifftag::RowsPerStrip:
        return "RowsPerStrip";
    case tifftag::StripByteCounts:
        return "StripByteCounts";
    case tifftag::XResolution:
        return "XResolution";
    case tifftag::YResolution:
        return "YResolution";
    case tifftag::PlanarConfiguration:
        return "PlanarConfiguration";
    case tifftag::ResolutionUnit:
        return "ResolutionUnit";
    case tifftag::Software:
        return "Software";
    case tifftag::DateTime:
        return "DateTime";
    case tifftag::TileWidth:
        return "TileWidth";
    case tifftag::TileLength:
        return "TileLength";
    case tifftag::TileOffsets:
        return "TileOffsets";
    case tifftag::TileByteCounts:
        return "TileByteCounts";
    case tifftag::PictureDataLength:
        return "PictureDataLength";
    case tifftag::SoundClip:
        return "SoundClip";
    case tifftag::PictureQuality:
        return "PictureQuality";
    case tifftag::FlashSetting:
        return "FlashSetting";
    case tifftag::ExposureIndex:
        return "ExposureIndex";
    case tifftag::CameraIdText:
        return "CameraIdText";
    case tifftag::ManufacturingWord:
        return "ManufacturingWord";
    case tifftag::WhiteBalanceState:
        return "WhiteBalanceState";
    case tifftag::PrivateData:
        return "PrivateData";
    default:
        return {};
    }
}

int samplesForPhotometric(std::uint16_t photometric) {
    if (photometric == 5)
        return 4;
    if (photometric == 2)
        return 3;
    return 1;
}

std::uint64_t nominalDataBytes(const IfdDescription& ifd) {
    const int bits = bitsOf(ifd);
    const int samples = samplesForPhotometric(ifd.photometric);
    if (ifd.tiled) {
        const std::uint32_t tileLength = ifd.rowsPerStrip ? ifd.rowsPerStrip : ifd.height;
        if (tileLength == 0)
            return 0;
        const std::uint64_t tiles = (std::uint64_t(ifd.height) + tileLength - 1) / tileLength;
        return tiles * std::uint64_t(samples) * rowBytes(ifd.width, bits, 1) * tileLength;
    }
    if (ifd.planarSeparate)
        return rowBytes(ifd.width, bits, 1) * ifd.height * std::uint64_t(samples);
    return rowBytes(ifd.width, bits, samples) * ifd.height;
}

std::string formatTiffDateTime(std::uint32_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return {};
    char text[64];
    std::snprintf(text, sizeof text, "%2d:%2.2d:%2.2d %2.2d:%2.2d:%2.2d", tm.tm_year, tm.tm_mon,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::uint32_t parseTiffDateTime(std::string_view text) {
    int fields[6] = {};
    std::size_t i = 0;
    for (int f = 0; f < 6; ++f) {
        while (i < text.size() && text[i] == ' ')
            ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '-' || text[i] == '+'))
            negative = text[i++] == '-';
        std::size_t digits = 0;
        long value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            if (++digits > 9)
                return 0;
            value = value * 10 + (text[i++] - '0');
        }
        if (digits == 0)
            return 0;
        fields[f] = static_cast<int>(negative ? -value : value);
        if (f < 5) {
            const char separator = f == 2 ? ' ' : ':';
            if (i >= text.size() || text[i] != separator)
                return 0;
            ++i;
        }
    }
    std::tm tm{};
    tm.tm_year = fields[0];
    tm.tm_mon = fields[1];
    tm.tm_mday = fields[2];
    tm.tm_hour = fields[3];
    tm.tm_min = fields[4];
    tm.tm_sec = fields[5];
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) || t < 0 ||
        t > static_cast<std::time_t>(std::numeric_limits<std::uint32_t>::max()))
        return 0;
    return static_cast<std::uint32_t>(t);
}

// ---------------------------------------------------------------------------------------------
// Writer

TiffWriter::TiffWriter(const std::filesystem::path& path, int ifdCount, bool kvi)
    : file_(path), ifdCount_(ifdCount) {
    if (!file_.isOpen()) {
        failed_ = true;
        error_ = file_.error();
        return;
    }
    Bytes header{'I', 'I'};
    appendLe16(header, kvi ? kKviVersion : kTiffVersion);
    appendLe32(header, 8);
    writeBytes(header);
}

bool TiffWriter::writeBytes(ByteSpan bytes) {
    if (failed_)
        return false;
    if (!file_.write(bytes)) {
        failed_ = true;
        error_ = file_.error();
        return false;
    }
    position_ += bytes.size();
    return true;
}

bool TiffWriter::padTo(std::uint64_t position) {
    if (position_ > position)
        return false;
    const Bytes zeros(static_cast<std::size_t>(position - position_), 0);
    return writeBytes(zeros);
}

int TiffWriter::add(std::uint16_t tag, std::uint16_t type, std::uint32_t count, ByteSpan value) {
    if (entryBytes_ + 12 > kTiffEntryBufferBytes)
        return -1;
    Entry e;
    e.tag = tag;
    e.type = type;
    e.count = count;
    if (value.size() <= 4) {
        std::copy(value.begin(), value.end(), e.inlineValue.begin());
    } else {
        e.isOutOfLine = true;
        e.outOfLine.assign(value.begin(), value.end());
        e.order = outOfLineCount_++;
    }
    entries_.push_back(std::move(e));
    entryBytes_ += 12;
    return 0;
}

int TiffWriter::addShort(std::uint16_t tag, std::uint16_t value) {
    Bytes b;
    appendLe16(b, value);
    return add(tag, kTiffShort, 1, b);
}

int TiffWriter::addLong(std::uint16_t tag, std::uint32_t value) {
    Bytes b;
    appendLe32(b, value);
    return add(tag, kTiffLong, 1, b);
}

// Texts of up to 4 characters stand in the entry without their zero; longer ones go out of
// line with it.
int TiffWriter::addAscii(std::uint16_t tag, std::string_view text) {
    if (text.empty())
        return 0;
    Bytes b(text.begin(), text.end());
    if (b.size() > 4)
        b.push_back(0);
    return add(tag, kTiffAscii, static_cast<std::uint32_t>(b.size()), b);
}

std::unique_ptr<TiffWriter> CreateTiff(const std::filesystem::path& path, int ifdCount, bool kvi,
                                       Operator* op) {
    auto writer = std::make_unique<TiffWriter>(path, ifdCount, kvi);
    if (!writer->isOpen()) {
        if (op)
            op->message(kFileErrorMessage);
        return nullptr;
    }
    return writer;
}

int WriteIfd(TiffWriter& w, const IfdDescription& d) {
    auto fail = [&w](const char* why) {
        w.failed_ = true;
        if (w.error_.empty())
            w.error_ = why;
        return -1;
    };
    if (w.failed_)
        return -1;
    if (w.ifdsWritten_ >= w.ifdCount_)
        return fail("more IFDs than announced");
    if (w.ifdsWritten_ > 0) {
        // The previous IFD's data must not run into this IFD's planned place; short data is
        // padded so that the planned next-IFD offset stays true.
        if (w.position_ > w.plannedIfd_)
            return fail("strip data longer than its nominal length");
        if (!w.padTo(w.plannedIfd_))
            return -1;
    }
    w.entries_.clear();
    w.entryBytes_ = 2;
    w.outOfLineCount_ = 0;

    const int bits = bitsOf(d);
    const int samples = samplesForPhotometric(d.photometric);
    const bool separate = (d.planarSeparate || d.tiled) && samples > 1;
    int rc = 0;
    auto check = [&rc](int r) {
        if (r != 0)
            rc = r;
        return r == 0;
    };

    if (!check(w.addLong(tifftag::NewSubfileType, d.subfileType)) ||
        !check(w.addLong(tifftag::ImageWidth, d.width)) ||
        !check(w.addLong(tifftag::ImageLength, d.height)))
        return fail("IFD entry buffer full");
    if (d.orientation >= 2 && d.orientation <= 8 &&
        !check(w.addShort(tifftag::Orientation, static_cast<std::uint16_t>(d.orientation))))
        return fail("IFD entry buffer full");
    if (!check(w.addShort(tifftag::SamplesPerPixel, static_cast<std::uint16_t>(samples))) ||
        !check(w.addShort(tifftag::Photometric, d.photometric)) ||
        !check(w.addShort(tifftag::Compression, d.compression)))
        return fail("IFD entry buffer full");
    if (d.pictureDataLength != 0 &&
        !check(w.addLong(tifftag::PictureDataLength, d.pictureDataLength)))
        return fail("IFD entry buffer full");
    {
        Bytes b;
        for (int s = 0; s < samples; ++s)
            appendLe16(b, static_cast<std::uint16_t>(bits));
        // One sample: inline; more: an out-of-line array (a 3-sample array is 6 bytes).
        if (!check(
                w.add(tifftag::BitsPerSample, kTiffShort, static_cast<std::uint32_t>(samples), b)))
            return fail("IFD entry buffer full");
    }
    if (d.description && !check(w.addAscii(tifftag::ImageDescription, *d.description)))
        return fail("IFD entry buffer full");
    if (!d.privateData.empty() &&
        !check(w.add(tifftag::PrivateData, kTiffByte,
                     static_cast<std::uint32_t>(d.privateData.size()), d.privateData)))
        return fail("IFD entry buffer full");
    if (!d.soundClip.empty() &&
        !check(w.add(tifftag::SoundClip, kTiffByte, static_cast<std::uint32_t>(d.soundClip.size()),
                     d.soundClip)))
        return fail("IFD entry buffer full");
    if (d.quality < kAttributeUnknown && !check(w.addShort(tifftag::PictureQuality, d.quality)))
        return fail("IFD entry buffer full");
    if (d.flash < kAttributeUnknown && !check(w.addShort(tifftag::FlashSetting, d.flash)))
        return fail("IFD entry buffer full");
    if (d.exposureIndex < kAttributeUnknown &&
        !check(w.addShort(tifftag::ExposureIndex, d.exposureIndex)))
        return fail("IFD entry buffer full");
    if (d.cameraId && !check(w.addAscii(tifftag::CameraIdText, *d.cameraId)))
        return fail("IFD entry buffer full");
    if (d.manufacturingWord != 0 &&
        !check(w.addLong(tifftag::ManufacturingWord, d.manufacturingWord)))
        return fail("IFD entry buffer full");
    if (d.software && !check(w.addAscii(tifftag::Software, *d.software)))
        return fail("IFD entry buffer full");
    {
        // 72 dpi, or dots per centimetre from the physical width, as value*10000 / 10000.
        std::uint32_t numerator = 720000;
        std::uint16_t unit = 2;
        if (d.physicalWidth > 0) {
            const double perUnit = double(d.width) / d.physicalWidth * 10000.0;
            numerator = perUnit >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(perUnit);
            unit = 3;
        }
        Bytes r;
        appendLe32(r, numerator);
        appendLe32(r, 10000);
        if (!check(w.add(tifftag::XResolution, kTiffRational, 1, r)) ||
            !check(w.add(tifftag::YResolution, kTiffRational, 1, r)) ||
            !check(w.addShort(tifftag::ResolutionUnit, unit)))
            return fail("IFD entry buffer full");
    }
    if (d.time != 0 && !check(w.addAscii(tifftag::DateTime, formatTiffDateTime(d.time))))
        return fail("IFD entry buffer full");
    // Also written when only the enabled flag is set (white points not yet found), so that
    // switching automatic white balance on survives a rewrite of the file.
    if (d.whiteBalance.whitePoint[0] != 0 || d.whiteBalance.enabled != 0) {
        Bytes b{d.whiteBalance.whitePoint[0], d.whiteBalance.whitePoint[1],
                d.whiteBalance.whitePoint[2], d.whiteBalance.reserved};
        appendLe16(b, d.whiteBalance.enabled);
        if (!check(w.add(tifftag::WhiteBalanceState, kTiffByte, 6, b)))
            return fail("IFD entry buffer full");
    }

    // Data entries: one strip per plane, or tiles.
    std::uint16_t offsetsTag = tifftag::StripOffsets;
    std::uint64_t pieceBytes = 0;
    std::uint32_t pieces = 1;
    if (d.tiled) {
        const std::uint32_t tileLength = d.rowsPerStrip ? d.rowsPerStrip : d.height;
        if (tileLength == 0)
            return fail("tile length 0");
        const std::uint64_t tilesPerPlane = (std::uint64_t(d.height) + tileLength - 1) / tileLength;
        if (tilesPerPlane * samples > kMaxStripCount)
            return fail("too many tiles");
        pieces = static_cast<std::uint32_t>(tilesPerPlane * samples);
        pieceBytes = rowBytes(d.width, bits, 1) * tileLength;
        offsetsTag = tifftag::TileOffsets;
        auto addSize = [&w](std::uint16_t tag, std::uint32_t v) {
            return v <= 0xFFFF ? w.addShort(tag, static_cast<std::uint16_t>(v)) : w.addLong(tag, v);
        };
        if (!check(addSize(tifftag::TileWidth, d.width)) ||
            !check(addSize(tifftag::TileLength, tileLength)) ||
            !check(w.addShort(tifftag::PlanarConfiguration, 2)))
            return fail("IFD entry buffer full");
    } else {
        if (!check(w.addLong(tifftag::RowsPerStrip, d.height)))
            return fail("IFD entry buffer full");
        if (separate) {
            pieces = static_cast<std::uint32_t>(samples);
            pieceBytes = rowBytes(d.width, bits, 1) * d.height;
            if (!check(w.addShort(tifftag::PlanarConfiguration, 2)))
                return fail("IFD entry buffer full");
        } else {
            pieceBytes = nominalDataBytes(d);
        }
    }
    if (pieceBytes > 0xFFFFFFFFu)
        return fail("strip too large");
    {
        Bytes counts;
        Bytes offsets;
        for (std::uint32_t i = 0; i < pieces; ++i) {
            appendLe32(counts, static_cast<std::uint32_t>(pieceBytes));
            appendLe32(offsets, 0); // filled in once the layout is known
        }
        const std::uint16_t countsTag =
            d.tiled ? tifftag::TileByteCounts : tifftag::StripByteCounts;
        if (!check(w.add(countsTag, kTiffLong, pieces, counts)) ||
            !check(w.add(offsetsTag, kTiffLong, pieces, offsets)))
            return fail("IFD entry buffer full");
    }

    std::stable_sort(w.entries_.begin(), w.entries_.end(),
                     [](const auto& a, const auto& b) { return a.tag < b.tag; });

    // Layout: the IFD, then the out-of-line values in the order they were added, each at an
    // even offset, then the strip data.
    const std::uint64_t ifdPos = w.plannedIfd_;
    if (w.position_ != ifdPos)
        return fail("writer out of place");
    const std::size_t n = w.entries_.size();
    std::uint64_t valuePos = ifdPos + 2 + 12 * n + 4;
    std::vector<TiffWriter::Entry*> byOrder(w.outOfLineCount_, nullptr);
    for (auto& e : w.entries_) {
        if (e.isOutOfLine)
            byOrder[e.order] = &e;
    }
    std::vector<std::uint64_t> valueOffsets(byOrder.size());
    for (std::size_t i = 0; i < byOrder.size(); ++i) {
        valuePos = evenUp(valuePos);
        valueOffsets[i] = valuePos;
        valuePos += byOrder[i]->outOfLine.size();
    }
    const std::uint64_t dataStart = evenUp(valuePos);
    const std::uint64_t dataEnd = dataStart + pieceBytes * pieces;
    const bool last = w.ifdsWritten_ + 1 >= w.ifdCount_;
    const std::uint64_t next = last ? 0 : evenUp(dataEnd);
    if (next > 0xFFFFFFFFu || dataEnd > 0xFFFFFFFFu)
        return fail("file larger than 4 GB");
    w.dataStart_ = dataStart;
    w.pictureDataLength_ = d.pictureDataLength;
    for (auto& e : w.entries_) {
        if (e.tag != offsetsTag)
            continue;
        std::span<std::uint8_t> target = e.isOutOfLine
                                             ? std::span<std::uint8_t>(e.outOfLine)
                                             : std::span<std::uint8_t>(e.inlineValue.data(), 4);
        for (std::uint32_t i = 0; i < pieces; ++i)
            storeLe32(target, 4 * i, static_cast<std::uint32_t>(dataStart + i * pieceBytes));
    }

    Bytes out;
    out.reserve(static_cast<std::size_t>(dataStart - ifdPos));
    appendLe16(out, static_cast<std::uint16_t>(n));
    for (const auto& e : w.entries_) {
        appendLe16(out, e.tag);
        appendLe16(out, e.type);
        appendLe32(out, e.count);
        if (e.isOutOfLine)
            appendLe32(out, static_cast<std::uint32_t>(valueOffsets[e.order]));
        else
            out.insert(out.end(), e.inlineValue.begin(), e.inlineValue.end());
    }
    appendLe32(out, static_cast<std::uint32_t>(next));
    for (std::size_t i = 0; i < byOrder.size(); ++i) {
        out.resize(static_cast<std::size_t>(valueOffsets[i] - ifdPos), 0);
        out.insert(out.end(), byOrder[i]->outOfLine.begin(), byOrder[i]->outOfLine.end());
    }
    out.resize(static_cast<std::size_t>(dataStart - ifdPos), 0);
    if (!w.writeBytes(out))
        return -1;
    w.dataEnd_ = dataEnd;
    w.plannedIfd_ = next;
    ++w.ifdsWritten_;
    return rc;
}

int WriteIfd(TiffWriter& file, std::uint32_t width, std::uint32_t height, std::uint32_t subfileType,
             std::string_view software, std::uint16_t compression, std::int16_t bitsPerSample,
             PictureAttributes* a) {
    IfdDescription d;
    d.width = width;
    d.height = height;
    d.subfileType = subfileType;
    if (!software.empty())
        d.software = std::string(software);
    d.compression = compression;
    d.bitsPerSample = bitsPerSample;
    d.photometric = 2;
    d.orientation = 1;
    if (a) {
        d.quality = a->quality;
        d.flash = a->flash;
        d.exposureIndex = a->exposureIndex;
        d.cameraId = a->cameraId.substr(0, 10);
        if (d.cameraId->empty())
            d.cameraId.reset();
        d.manufacturingWord = a->manufacturingWord;
        if (a->captureTime == 0)
            a->captureTime = static_cast<std::uint32_t>(std::time(nullptr));
        d.time = a->captureTime;
        d.orientation = orientationForRotation(a->rotation);
        d.whiteBalance = a->whiteBalance;
        if (subfileType == 1)
            d.soundClip = a->soundClip;
        d.pictureDataLength = a->pictureData.empty()
                                  ? a->pictureDataLength
                                  : static_cast<std::uint32_t>(a->pictureData.size());
    } else {
        d.time = static_cast<std::uint32_t>(std::time(nullptr));
    }
    return WriteIfd(file, d);
}

bool WriteData(TiffWriter& file, ByteSpan bytes) {
    if (file.ifdsWritten_ == 0) {
        file.failed_ = true;
        return false;
    }
    return file.writeBytes(bytes);
}

Status CloseTiff(TiffWriter& file) {
    if (file.failed_ || file.ifdsWritten_ < file.ifdCount_)
        return status::Failed;
    // The last IFD's data must fill its strips exactly, or the file would describe bytes it
    // does not hold. The .kvi picture's data is the exception: its true length is in tag 514
    // and its strip byte count stays nominal, as readers of that form expect.
    const std::uint64_t written = file.position_ - file.dataStart_;
    if (file.position_ != file.dataEnd_ &&
        (file.pictureDataLength_ == 0 || written != file.pictureDataLength_))
        return status::Failed;
    return file.file_.commit() ? status::Ok : status::Failed;
}

// ---------------------------------------------------------------------------------------------
// Reader

TiffReader::TiffReader(Bytes fileBytes) : bytes_(std::move(fileBytes)) {}

std::uint16_t TiffReader::u16(std::size_t at) const {
    return bigEndian_ ? loadBe16(bytes_, at) : loadLe16(bytes_, at);
}

std::uint32_t TiffReader::u32(std::size_t at) const {
    return bigEndian_ ? loadBe32(bytes_, at) : loadLe32(bytes_, at);
}

const std::vector<std::pair<std::uint32_t, std::uint32_t>>& TiffReader::strips(int plane) const {
    static const std::vector<std::pair<std::uint32_t, std::uint32_t>> none;
    if (plane < 0 || plane > 3)
        return none;
    return strips_[static_cast<std::size_t>(plane)];
}

bool TiffReader::readHeader() {
    if (bytes_.size() < 8)
        return false;
    if (bytes_[0] == 'I' && bytes_[1] == 'I')
        bigEndian_ = false;
    else if (bytes_[0] == 'M' && bytes_[1] == 'M')
        bigEndian_ = true;
    else
        return false;
    // The version is not checked: .kvi files (138) and TIFF files (42) read alike.
    version_ = u16(2);
    ifdOffset_ = u32(4);
    return true;
}

std::optional<ByteSpan> TiffReader::raw(const TiffEntry& e) const {
    const std::size_t size = typeSize(e.type);
    if (size == 0)
        return std::nullopt;
    const std::uint64_t total = std::uint64_t(size) * e.count;
    if (total <= 4)
        return ByteSpan(e.valueField.data(), static_cast<std::size_t>(total));
    const std::uint32_t offset = bigEndian_ ? loadBe32(e.valueField, 0) : loadLe32(e.valueField, 0);
    if (std::uint64_t(offset) + total > bytes_.size())
        return std::nullopt;
    return ByteSpan(bytes_).subspan(offset, static_cast<std::size_t>(total));
}

std::optional<std::vector<std::uint32_t>> TiffReader::numbers(const TiffEntry& e,
                                                              std::size_t limit) const {
    const auto bytes = raw(e);
    if (!bytes)
        return std::nullopt;
    const std::size_t size = typeSize(e.type);
    std::vector<std::uint32_t> values;
    const std::size_t count = std::min<std::size_t>(e.count, limit);
    switch (e.type) {
    case 1:
    case 6:
    case 7:
        values.assign(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(count));
        break;
    case 3:
    case 8:
        values.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            values.push_back(bigEndian_ ? loadBe16(*bytes, i * 2) : loadLe16(*bytes, i * 2));
        break;
    case 4:
    case 9:
    case 11:
        values.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            values.push_back(bigEndian_ ? loadBe32(*bytes, i * 4) : loadLe32(*bytes, i * 4));
        break;
    case 5:
    case 10: {
        const std::size_t elements = std::min<std::size_t>(std::size_t(e.count) * 2, limit);
        values.reserve(elements);
        for (std::size_t i = 0; i < elements; ++i)
            values.push_back(bigEndian_ ? loadBe32(*bytes, i * 4) : loadLe32(*bytes, i * 4));
        break;
    }
    default:
        (void)size;
        return std::nullopt;
    }
    return values;
}

std::optional<std::string> TiffReader::text(const TiffEntry& e) const {
    const auto bytes = raw(e);
    if (!bytes || typeSize(e.type) != 1)
        return std::nullopt;
    std::string s(bytes->begin(), bytes->end());
    const auto zero = s.find('\0');
    if (zero != std::string::npos)
        s.resize(zero);
    return s;
}

bool TiffReader::readIfd(std::uint32_t offset) {
    if (offset == 0 || std::uint64_t(offset) + 2 > bytes_.size())
        return false;
    if (std::find(visited_.begin(), visited_.end(), offset) != visited_.end() ||
        visited_.size() >= kMaxIfds)
        return false;
    const std::uint16_t n = u16(offset);
    if (std::uint64_t(offset) + 2 + 12 * std::uint64_t(n) + 4 > bytes_.size())
        return false;
    visited_.push_back(offset);

    IfdDescription d; // subfile 0, photometric 1, orientation 1, compression 1, time 0
    d.bitsPerSample = 8;
    entries_.clear();
    entries_.reserve(n);
    for (auto& s : strips_)
        s.clear();
    std::vector<std::uint32_t> stripOffsets, stripCounts, tileOffsets, tileCounts;

    for (std::uint16_t i = 0; i < n; ++i) {
        const std::size_t at = offset + 2 + 12 * std::size_t(i);
        TiffEntry e;
        e.tag = u16(at);
        e.type = u16(at + 2);
        e.count = u32(at + 4);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at + 8), 4, e.valueField.begin());
        entries_.push_back(e);

        auto first = [&](std::uint32_t fallback) -> std::uint32_t {
            const auto v = numbers(e, 1);
            return v && !v->empty() ? v->front() : fallback;
        };
        switch (e.tag) {
        case tifftag::NewSubfileType:
            d.subfileType = first(0);
            break;
        case tifftag::ImageWidth:
            d.width = first(0);
            break;
        case tifftag::ImageLength:
            d.height = first(0);
            break;
        case tifftag::BitsPerSample: {
            const auto v = numbers(e, 16);
            if (v && !v->empty()) {
                d.bitsPerSampleValues.assign(v->begin(), v->end());
                d.bitsPerSample = static_cast<std::int16_t>(v->front());
            }
            break;
        }
        case tifftag::Compression:
            d.compression = static_cast<std::uint16_t>(first(1));
            break;
        case tifftag::Photometric:
            d.photometric = static_cast<std::uint16_t>(first(1));
            break;
        case tifftag::Orientation:
            d.orientation = static_cast<std::int16_t>(first(1));
            break;
        case tifftag::SamplesPerPixel:
            d.samplesPerPixel = static_cast<std::uint16_t>(first(1));
            break;
        case tifftag::RowsPerStrip:
        case tifftag::TileLength:
            d.rowsPerStrip = first(0);
            break;
        case tifftag::TileWidth:
            d.tileWidth = first(0);
            d.tiled = true;
            break;
        case tifftag::PlanarConfiguration:
            d.planarConfiguration = static_cast<std::uint16_t>(first(1));
            d.planarSeparate = d.planarConfiguration == 2;
            break;
        case tifftag::ResolutionUnit:
            d.resolutionUnit = static_cast<std::uint16_t>(first(0));
            break;
        case tifftag::XResolution:
        case tifftag::YResolution: {
            const auto v = numbers(e, 2);
            if (v && v->size() == 2)
                (e.tag == tifftag::XResolution ? d.xResolution : d.yResolution) = {(*v)[0],
                                                                                   (*v)[1]};
            break;
        }
        case tifftag::ImageDescription:
            d.description = text(e);
            break;
        case tifftag::Software:
            d.software = text(e);
            break;
        case tifftag::CameraIdText:
            d.cameraId = text(e);
            break;
        case tifftag::DateTime:
            if (const auto t = text(e))
                d.time = parseTiffDateTime(*t);
            break;
        case tifftag::StripOffsets:
        case tifftag::StripByteCounts:
        case tifftag::TileOffsets:
        case tifftag::TileByteCounts: {
            auto v = numbers(e, kMaxStripCount);
            if (!v)
                break;
            if (e.tag == tifftag::StripOffsets)
                stripOffsets = std::move(*v);
            else if (e.tag == tifftag::StripByteCounts)
                stripCounts = std::move(*v);
            else if (e.tag == tifftag::TileOffsets)
                tileOffsets = std::move(*v);
            else
                tileCounts = std::move(*v);
            break;
        }
        case tifftag::PictureDataLength:
            d.pictureDataLength = first(0);
            break;
        case tifftag::SoundClip:
            if (const auto b = raw(e))
                d.soundClip.assign(b->begin(), b->end());
            break;
        case tifftag::PrivateData:
            if (const auto b = raw(e))
                d.privateData.assign(b->begin(), b->end());
            break;
        case tifftag::PictureQuality:
            d.quality = static_cast<std::uint16_t>(first(kAttributeUnknown));
            break;
        case tifftag::FlashSetting:
            d.flash = static_cast<std::uint16_t>(first(kAttributeUnknown));
            break;
        case tifftag::ExposureIndex:
            d.exposureIndex = static_cast<std::uint16_t>(first(kAttributeUnknown));
            break;
        case tifftag::ManufacturingWord:
            if (e.type == kTiffAscii) {
                // Stored as decimal text by some writers, all bits set as "-1" (the number's
                // text form); other negative values wrap as the 32-bit word would.
                const long v = std::clamp<long>(parseLeadingDecimal(text(e).value_or("")),
                                                -0x80000000L, 0xFFFFFFFFL);
                d.manufacturingWord = static_cast<std::uint32_t>(v);
            } else {
                d.manufacturingWord = first(0);
            }
            break;
        case tifftag::WhiteBalanceState:
            if (const auto b = raw(e)) {
                std::uint8_t s[6] = {};
                std::copy_n(b->begin(), std::min<std::size_t>(b->size(), 6), s);
                d.whiteBalance.whitePoint[0] = s[0];
                d.whiteBalance.whitePoint[1] = s[1];
                d.whiteBalance.whitePoint[2] = s[2];
                d.whiteBalance.reserved = s[3];
                d.whiteBalance.enabled = static_cast<std::uint16_t>(s[4] | (s[5] << 8));
            }
            break;
        default:
            break; // tags this program does not use are skipped
        }
    }

    // Strip (or tile) tables per plane: with separate planes the list holds the planes one
    // after the other.
    const bool useTiles = !tileOffsets.empty();
    const auto& offsets = useTiles ? tileOffsets : stripOffsets;
    const auto& counts = useTiles ? tileCounts : stripCounts;
    const std::size_t pieces = std::min(offsets.size(), counts.size());
    std::size_t planes = 1;
    if ((d.planarConfiguration == 2 || useTiles) && d.samplesPerPixel > 1)
        planes = std::min<std::size_t>(d.samplesPerPixel, 4);
    const std::size_t perPlane = pieces / planes;
    for (std::size_t p = 0; p < planes; ++p) {
        for (std::size_t i = 0; i < perPlane; ++i)
            strips_[p].emplace_back(offsets[p * perPlane + i], counts[p * perPlane + i]);
    }
    if (planes == 1) {
        for (std::size_t i = perPlane; i < pieces; ++i)
            strips_[0].emplace_back(offsets[i], counts[i]);
    }
    d.tiled = d.tiled || useTiles;

    ifd_ = std::move(d);
    ifdOffset_ = offset;
    nextIfdOffset_ = u32(offset + 2 + 12 * std::size_t(n));
    ++ifdIndex_;
    return true;
}

std::unique_ptr<TiffReader> OpenTiffBytes(Bytes bytes) {
    auto reader = std::make_unique<TiffReader>(std::move(bytes));
    if (!reader->readHeader() || !reader->readIfd(reader->ifdOffset_))
        return nullptr;
    return reader;
}

std::unique_ptr<TiffReader> OpenTiff(const std::filesystem::path& path, Operator* op) {
    Bytes bytes;
    if (!platform::readWholeFile(path, bytes, kTiffFileLimit)) {
        if (op)
            op->message(kFileErrorMessage);
        return nullptr;
    }
    return OpenTiffBytes(std::move(bytes));
}

Status NextIfd(TiffReader& file) {
    if (file.nextIfdOffset_ == 0)
        return status::Failed;
    return file.readIfd(file.nextIfdOffset_) ? status::Ok : status::Failed;
}

Status ReadData(TiffReader& file, int plane, std::uint8_t* destination, std::uint32_t& count,
                std::uint32_t& position) {
    const auto& strips = file.strips(plane);
    const std::uint32_t wanted = count;
    count = 0;
    if (strips.empty())
        return status::Failed;
    std::uint64_t start = 0; // plane position where the current strip begins
    std::size_t s = 0;
    while (s < strips.size() && start + strips[s].second <= position) {
        start += strips[s].second;
        ++s;
    }
    if (s == strips.size())
        return status::Failed;
    std::uint64_t done = 0;
    std::uint64_t at = position;
    while (done < wanted && s < strips.size()) {
        const auto [offset, length] = strips[s];
        const std::uint64_t inStrip = at - start;
        const std::uint64_t from = std::uint64_t(offset) + inStrip;
        if (from >= file.bytes_.size())
            break; // the file ends inside this strip
        std::uint64_t take = std::min<std::uint64_t>(length - inStrip, wanted - done);
        take = std::min<std::uint64_t>(take, file.bytes_.size() - from);
        std::copy_n(file.bytes_.begin() + static_cast<std::ptrdiff_t>(from),
                    static_cast<std::size_t>(take), destination + done);
        done += take;
        at += take;
        if (inStrip + take < length)
            break; // short because the file ended
        start += length;
        ++s;
    }
    count = static_cast<std::uint32_t>(done);
    position += count;
    return status::Ok;
}

} // namespace kv::imaging
