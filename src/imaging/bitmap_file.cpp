#include "imaging/bitmap_file.h"

#include "platform/atomic_file.h"

#include <cstdlib>

namespace kv::imaging {
namespace {

void appendLeI32(Bytes& out, std::int32_t v) {
    appendLe32(out, static_cast<std::uint32_t>(v));
}

Bytes fileHeader(std::uint32_t fileSize, std::uint32_t bitsOffset) {
    Bytes h{'B', 'M'};
    appendLe32(h, fileSize);
    appendLe16(h, 0);
    appendLe16(h, 0);
    appendLe32(h, bitsOffset);
    return h;
}

} // namespace

std::size_t bitmapRowStride(int width) {
    return (std::size_t(width > 0 ? width : 0) * 3 + 3) & ~std::size_t(3);
}

Bytes MakeBitmap24(ByteSpan rgb, int width, int height) {
    if (width <= 0 || height <= 0 || rgb.size() < std::size_t(width) * std::size_t(height) * 3)
        return {};
    const std::size_t stride = bitmapRowStride(width);
    const std::uint64_t image = std::uint64_t(stride) * std::uint64_t(height);
    if (image + kBitmapFileHeaderBytes + kBitmapInfoHeaderBytes > 0xFFFFFFFFu)
        return {};
    Bytes dib;
    dib.reserve(kBitmapInfoHeaderBytes + static_cast<std::size_t>(image));
    appendLe32(dib, kBitmapInfoHeaderBytes);
    appendLeI32(dib, width);
    appendLeI32(dib, height); // positive: rows bottom-up
    appendLe16(dib, 1);       // planes
    appendLe16(dib, 24);      // bits per pixel
    appendLe32(dib, 0);       // no compression
    appendLe32(dib, static_cast<std::uint32_t>(image));
    appendLeI32(dib, 0); // horizontal resolution
    appendLeI32(dib, 0); // vertical resolution
    appendLe32(dib, 0);  // colours used
    appendLe32(dib, 0);  // important colours
    const std::size_t rgbStride = std::size_t(width) * 3;
    for (int y = height - 1; y >= 0; --y) {
        const std::uint8_t* src = rgb.data() + std::size_t(y) * rgbStride;
        for (int x = 0; x < width; ++x, src += 3) {
            dib.push_back(src[2]);
            dib.push_back(src[1]);
            dib.push_back(src[0]);
        }
        dib.resize(dib.size() + (stride - rgbStride), 0);
    }
    return dib;
}

Bytes MakeBitmap24File(ByteSpan rgb, int width, int height) {
    const Bytes dib = MakeBitmap24(rgb, width, height);
    if (dib.empty())
        return {};
    const std::uint32_t image = static_cast<std::uint32_t>(dib.size() - kBitmapInfoHeaderBytes);
    Bytes file = fileHeader(54 + image, 54);
    file.insert(file.end(), dib.begin(), dib.end());
    return file;
}

Status WriteBitmap24File(const std::filesystem::path& path, ByteSpan rgb, int width, int height) {
    const Bytes file = MakeBitmap24File(rgb, width, height);
    if (file.empty())
        return status::Failed;
    return platform::writeFileAtomically(path, file) ? status::Ok : status::Failed;
}

bool describeDib(ByteSpan dib, std::uint32_t& headerSize, std::uint32_t& colourTableSize,
                 std::uint32_t& imageSize) {
    if (dib.size() < 12)
        return false;
    headerSize = loadLe32(dib, 0);
    std::uint32_t bits = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::uint32_t coloursUsed = 0;
    std::uint32_t compression = 0;
    std::uint32_t entryBytes = 4;
    imageSize = 0;
    if (headerSize == 12) { // the old core header
        width = loadLe16(dib, 4);
        height = loadLe16(dib, 6);
        bits = loadLe16(dib, 10);
        entryBytes = 3;
    } else if (headerSize >= 40 && headerSize <= 124) {
        if (dib.size() < headerSize)
            return false;
        width = static_cast<std::uint64_t>(std::llabs(std::int32_t(loadLe32(dib, 4))));
        height = static_cast<std::uint64_t>(std::llabs(std::int32_t(loadLe32(dib, 8))));
        bits = loadLe16(dib, 14);
        compression = loadLe32(dib, 16);
        imageSize = loadLe32(dib, 20);
        coloursUsed = loadLe32(dib, 32);
    } else {
        return false;
    }
    std::uint64_t colours = coloursUsed;
    if (colours == 0)
        colours = bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0;
    if (colours > 65536)
        return false;
    colourTableSize = static_cast<std::uint32_t>(colours * entryBytes);
    if (imageSize == 0) {
        if (compression != 0 && compression != 3) // compressed bitmaps must state their size
            return false;
        const std::uint64_t stride = (width * bits + 31) / 32 * 4;
        const std::uint64_t size = stride * height;
        if (size > 0xFFFFFFFFu)
            return false;
        imageSize = static_cast<std::uint32_t>(size);
    }
    return true;
}

Status WriteBitmapFile(const std::filesystem::path& path, ByteSpan dib) {
    std::uint32_t header = 0;
    std::uint32_t table = 0;
    std::uint32_t image = 0;
    if (!describeDib(dib, header, table, image))
        return status::Failed;
    const std::uint64_t dibBytes = std::uint64_t(header) + table + image;
    if (dibBytes > dib.size() || dibBytes + kBitmapFileHeaderBytes > 0xFFFFFFFFu)
        return status::Failed;
    Bytes file = fileHeader(static_cast<std::uint32_t>(kBitmapFileHeaderBytes + dibBytes),
                            static_cast<std::uint32_t>(kBitmapFileHeaderBytes + header + table));
    file.insert(file.end(), dib.begin(), dib.end());
    return platform::writeFileAtomically(path, file) ? status::Ok : status::Failed;
}

} // namespace kv::imaging
