#include "imaging/bitmap_reader.h"

#include "platform/atomic_file.h"

#include <cstdlib>

namespace kv::imaging {

namespace {

constexpr std::size_t kFileHeader = 14;
constexpr std::uint32_t kCoreHeader = 12;

} // namespace

RgbPicture ReadBitmap(ByteSpan file) {
    RgbPicture picture;
    if (file.size() < kFileHeader + kCoreHeader || file[0] != 'B' || file[1] != 'M')
        return picture;
    const std::uint32_t bitsOffset = loadLe32(file, 10);
    const std::uint32_t headerSize = loadLe32(file, kFileHeader);
    if (headerSize != kCoreHeader && (headerSize < 40 || headerSize > 124))
        return picture;
    if (kFileHeader + std::size_t{headerSize} > file.size())
        return picture;

    std::int64_t width = 0, height = 0;
    unsigned bits = 0;
    std::uint32_t compression = 0, coloursUsed = 0;
    if (headerSize == kCoreHeader) {
        width = loadLe16(file, 18);
        height = static_cast<std::int16_t>(loadLe16(file, 20));
        bits = loadLe16(file, 24);
    } else {
        width = static_cast<std::int32_t>(loadLe32(file, 18));
        height = static_cast<std::int32_t>(loadLe32(file, 22));
        bits = loadLe16(file, 28);
        compression = loadLe32(file, 30);
        coloursUsed = loadLe32(file, 46);
    }
    const bool topDown = height < 0;
    height = std::llabs(height);
    // Compression 3 (bit fields) is accepted for 32-bit files with the usual masks only.
    const bool plainBitfields32 =
        compression == 3 && bits == 32 && headerSize >= 52 && loadLe32(file, 54) == 0x00FF0000u &&
        loadLe32(file, 58) == 0x0000FF00u && loadLe32(file, 62) == 0x000000FFu;
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide ||
        static_cast<std::uint64_t>(width * height) > kMaxPicturePixels ||
        (compression != 0 && !plainBitfields32) ||
        (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32))
        return picture;

    // The colour table follows the header (and the bit-field masks of a 40-byte header).
    std::size_t paletteEntries = 0;
    if (bits <= 8)
        paletteEntries = coloursUsed ? coloursUsed : (std::size_t{1} << bits);
    if (paletteEntries > 256)
        return picture;
    const std::size_t entryBytes = headerSize == kCoreHeader ? 3 : 4;
    const std::size_t paletteAt = kFileHeader + headerSize;
    if (paletteAt + paletteEntries * entryBytes > file.size())
        return picture;

    const std::size_t stride = ((static_cast<std::size_t>(width) * bits + 31) / 32) * 4;
    const std::size_t imageBytes = stride * static_cast<std::size_t>(height);
    if (bitsOffset < paletteAt || bitsOffset > file.size() || file.size() - bitsOffset < imageBytes)
        return picture;

    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    const std::size_t pixelsPerByte = bits < 8 ? 8 / bits : 1;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::size_t fileRow = static_cast<std::size_t>(topDown ? y : height - 1 - y);
        const std::uint8_t* row = file.data() + bitsOffset + fileRow * stride;
        std::uint8_t* out = picture.pixels.data() + static_cast<std::size_t>(y) * width * 3;
        for (std::int64_t x = 0; x < width; ++x, out += 3) {
            if (bits >= 24) {
                const std::uint8_t* p = row + static_cast<std::size_t>(x) * (bits / 8);
                out[0] = p[2];
                out[1] = p[1];
                out[2] = p[0];
                continue;
            }
            const std::size_t byte = static_cast<std::size_t>(x) / pixelsPerByte;
            const unsigned shift = 8 - bits * (static_cast<unsigned>(x % pixelsPerByte) + 1);
            const std::size_t index = (row[byte] >> shift) & ((1u << bits) - 1);
            if (index >= paletteEntries) {
                picture = {};
                return picture;
            }
            const std::uint8_t* entry = file.data() + paletteAt + index * entryBytes;
            out[0] = entry[2];
            out[1] = entry[1];
            out[2] = entry[0];
        }
    }
    return picture;
}

Status ReadBitmapFile(const std::filesystem::path& path, RgbPicture& picture) {
    Bytes bytes;
    // The largest bitmap taken: its pixels at 32 bits, padding of its rows, headers and a
    // colour table.
    constexpr std::uintmax_t limit = kMaxPicturePixels * 4 + 4 * kMaxBitmapSide + (1 << 20);
    if (!platform::readWholeFile(path, bytes, limit))
        return status::Failed;
    picture = ReadBitmap(bytes);
    return picture.valid() ? status::Ok : status::Failed;
}

} // namespace kv::imaging
