#include "twain_source/handoff_bitmap.h"

#include "base/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace kvsource {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFileHeader = 14;
constexpr std::size_t kInfoHeader = 40;

std::uint16_t le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// Where the loader reads from: a file descriptor, or bytes in memory.
class Source {
public:
    virtual ~Source() = default;
    virtual bool read(std::uint8_t* out, std::size_t n) = 0;
    virtual bool seek(std::uint64_t offset) = 0;
    virtual std::uint64_t size() const = 0;
};

class FdSource : public Source {
public:
    FdSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    bool read(std::uint8_t* out, std::size_t n) override {
        while (n > 0) {
            const ssize_t r = ::read(fd_, out, n);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            out += r;
            n -= std::size_t(r);
        }
        return true;
    }
    bool seek(std::uint64_t offset) override {
        return ::lseek(fd_, off_t(offset), SEEK_SET) == off_t(offset);
    }
    std::uint64_t size() const override { return size_; }

private:
    int fd_;
    std::uint64_t size_;
};

class SpanSource : public Source {
public:
    explicit SpanSource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool read(std::uint8_t* out, std::size_t n) override {
        if (n > bytes_.size() - pos_)
            return false;
        std::memcpy(out, bytes_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    bool seek(std::uint64_t offset) override {
        if (offset > bytes_.size())
            return false;
        pos_ = std::size_t(offset);
        return true;
    }
    std::uint64_t size() const override { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

std::optional<LoadedBitmap> fail(const MessageSink& message, std::string_view text) {
    if (message)
        message(text);
    return std::nullopt;
}

std::optional<LoadedBitmap> load(Source& in, const MessageSink& message) {
    std::uint8_t fileHeader[kFileHeader];
    if (!in.read(fileHeader, sizeof fileHeader))
        return fail(message, kErrorFileHeader);
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M')
        return fail(message, kNotABitmap);
    std::uint8_t info[kInfoHeader];
    if (!in.read(info, sizeof info))
        return fail(message, kErrorInfoHeader);
    if (!in.seek(kFileHeader))
        return fail(message, kErrorSeeking);

    // The block is what the file header's size says; it must be there in the file before it
    // is allocated, and hold at least the info header.
    const std::uint32_t fileSize = le32(fileHeader + 2);
    if (fileSize < kFileHeader + kInfoHeader)
        return fail(message, kErrorReading);
    const std::uint64_t blockSize = fileSize - kFileHeader;
    if (blockSize > kMaxBitmapBlock)
        return fail(message, kNotEnoughMemory);
    if (blockSize > in.size() - kFileHeader)
        return fail(message, kErrorReading);
    LoadedBitmap bmp;
    try {
        bmp.block.assign(std::size_t(blockSize), 0);
    } catch (const std::bad_alloc&) {
        return fail(message, kNotEnoughMemory);
    }
    if (!in.read(bmp.block.data(), bmp.block.size()))
        return fail(message, kErrorReading);

    const std::uint8_t* h = bmp.block.data();
    const std::uint32_t headerSize = le32(h);
    bmp.width = std::int32_t(le32(h + 4));
    bmp.height = std::int32_t(le32(h + 8));
    const std::uint16_t planes = le16(h + 12);
    bmp.bitsPerPixel = le16(h + 14);
    const std::uint32_t compression = le32(h + 16);
    bmp.xPelsPerMeter = std::int32_t(le32(h + 24));
    bmp.yPelsPerMeter = std::int32_t(le32(h + 28));
    const std::uint32_t coloursUsed = le32(h + 32);
    // Only what the program writes is converted: uncompressed 24-bit rows, bottom-up.
    if (headerSize < kInfoHeader || headerSize > 124 || planes != 1 || bmp.bitsPerPixel != 24 ||
        compression != 0 || coloursUsed > 256 || bmp.width <= 0 || bmp.height <= 0 ||
        bmp.width > 16384 || bmp.height > 16384)
        return fail(message, kNotSupported);
    bmp.rowsOffset = headerSize + std::size_t(coloursUsed) * 4;
    bmp.stride = (std::size_t(bmp.width) * bmp.bitsPerPixel / 8 + 3) & ~std::size_t(3);
    if (bmp.rowsOffset + bmp.stride * std::size_t(bmp.height) > bmp.block.size())
        return fail(message, kErrorReading);
    FlipAndSwapRows(bmp.block.data() + bmp.rowsOffset, bmp.stride, bmp.width, bmp.height);
    return bmp;
}

// The number after "kvimage" in a matching name, or nothing when the name does not match.
std::optional<long long> handoffNumber(const std::string& name) {
    constexpr std::string_view prefix = "kvimage";
    constexpr std::string_view suffix = ".bmp";
    if (name.size() < prefix.size() + suffix.size())
        return std::nullopt;
    if (!kv::equalsIgnoreCase(std::string_view(name).substr(0, prefix.size()), prefix) ||
        !kv::equalsIgnoreCase(std::string_view(name).substr(name.size() - suffix.size()), suffix))
        return std::nullopt;
    const std::string middle =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (middle.empty() || middle.size() > 12 ||
        !std::all_of(middle.begin(), middle.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return LLONG_MAX;
    return std::stoll(middle);
}

} // namespace

std::optional<HandoffFile> FindHandoffBitmap(const fs::path& directory,
                                             const std::set<FileKey>& skip) {
    std::optional<HandoffFile> best;
    std::pair<long long, std::string> bestOrder;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const auto number = handoffNumber(name);
        if (!number)
            continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        const FileKey key{st.st_dev, st.st_ino};
        if (skip.count(key))
            continue;
        std::pair<long long, std::string> order{*number, name};
        if (!best || order < bestOrder) {
            best = HandoffFile{it->path(), key};
            bestOrder = std::move(order);
        }
    }
    return best;
}

std::optional<LoadedBitmap> LoadHandoffBitmap(const fs::path& path, const MessageSink& message) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return fail(message, kErrorOpening);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(message, kErrorOpening);
    }
    FdSource source(fd, std::uint64_t(st.st_size));
    std::optional<LoadedBitmap> result = load(source, message);
    ::close(fd);
    return result;
}

std::optional<LoadedBitmap> ParseHandoffBitmap(std::span<const std::uint8_t> file,
                                               const MessageSink& message) {
    SpanSource source(file);
    return load(source, message);
}

void FlipAndSwapRows(std::uint8_t* rows, std::size_t stride, std::int32_t width,
                     std::int32_t height) {
    auto swapBytes = [width](std::uint8_t* row) {
        for (std::int32_t x = 0; x < width; ++x)
            std::swap(row[std::size_t(x) * 3], row[std::size_t(x) * 3 + 2]);
    };
    for (std::int32_t k = 0; k < height / 2; ++k) {
        std::uint8_t* a = rows + std::size_t(k) * stride;
        std::uint8_t* b = rows + std::size_t(height - 1 - k) * stride;
        std::swap_ranges(a, a + stride, b);
        swapBytes(a);
        swapBytes(b);
    }
    if (height % 2 == 1)
        swapBytes(rows + std::size_t(height / 2) * stride);
}

std::vector<std::uint8_t> MakeNativeTiff(const LoadedBitmap& bitmap) {
    // TIFF 6.0 baseline RGB: header, one IFD of 12 entries, the out-of-line values (bits per
    // sample, two resolutions), then the pixels as one strip.
    constexpr std::uint32_t entries = 12;
    constexpr std::uint32_t ifdOffset = 8;
    constexpr std::uint32_t valuesOffset = ifdOffset + 2 + entries * 12 + 4;
    constexpr std::uint32_t bitsOffset = valuesOffset;
    constexpr std::uint32_t xResOffset = bitsOffset + 6;
    constexpr std::uint32_t yResOffset = xResOffset + 8;
    constexpr std::uint32_t pixelsOffset = yResOffset + 8;
    const std::uint32_t rowBytes = std::uint32_t(bitmap.width) * 3;
    const std::uint32_t pixelBytes = rowBytes * std::uint32_t(bitmap.height);

    std::vector<std::uint8_t> out;
    out.reserve(pixelsOffset + pixelBytes);
    auto u16 = [&](std::uint32_t v) {
        out.push_back(std::uint8_t(v));
        out.push_back(std::uint8_t(v >> 8));
    };
    auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    auto entry = [&](std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                     std::uint32_t value) {
        u16(tag);
        u16(type);
        u32(count);
        if (type == 3 && count == 1) {
            u16(value);
            u16(0);
        } else {
            u32(value);
        }
    };
    // Pixels per metre as pixels per centimetre; a bitmap without a resolution gets 72 dpi.
    const bool metric = bitmap.xPelsPerMeter > 0 && bitmap.yPelsPerMeter > 0;
    out.insert(out.end(), {'I', 'I', 42, 0});
    u32(ifdOffset);
    u16(entries);
    entry(256, 4, 1, std::uint32_t(bitmap.width));  // ImageWidth
    entry(257, 4, 1, std::uint32_t(bitmap.height)); // ImageLength
    entry(258, 3, 3, bitsOffset);                   // BitsPerSample
    entry(259, 3, 1, 1);                            // Compression: none
    entry(262, 3, 1, 2);                            // PhotometricInterpretation: RGB
    entry(273, 4, 1, pixelsOffset);                 // StripOffsets
    entry(277, 3, 1, 3);                            // SamplesPerPixel
    entry(278, 4, 1, std::uint32_t(bitmap.height)); // RowsPerStrip
    entry(279, 4, 1, pixelBytes);                   // StripByteCounts
    entry(282, 5, 1, xResOffset);                   // XResolution
    entry(283, 5, 1, yResOffset);                   // YResolution
    entry(296, 3, 1, metric ? 3 : 2);               // ResolutionUnit: centimetre or inch
    u32(0);                                         // no next IFD
    u16(8);
    u16(8);
    u16(8);
    u32(metric ? std::uint32_t(bitmap.xPelsPerMeter) : 72);
    u32(metric ? 100 : 1);
    u32(metric ? std::uint32_t(bitmap.yPelsPerMeter) : 72);
    u32(metric ? 100 : 1);
    for (std::int32_t y = 0; y < bitmap.height; ++y)
        out.insert(out.end(), bitmap.row(y), bitmap.row(y) + rowBytes);
    return out;
}

} // namespace kvsource
