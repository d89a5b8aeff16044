#include "imaging/process/ram_file.h"

#include <cstring>
#include <fstream>

namespace kv::process {
namespace {

// Line offsets of each site's high byte and of the byte holding its two low bits, in the
// B, G, T, R order of the memory.
constexpr int kHighOffset[4] = {0, 400, 1024, 1424};
constexpr int kLowOffset[4] = {804, 904, 1828, 1928};

std::uint16_t readSite(const std::uint8_t* line, int site, int y) {
    const int shift = 2 * (y % 4);
    const unsigned high = line[kHighOffset[site] + y];
    const unsigned low = (line[kLowOffset[site] + y / 4] >> shift) & 3u;
    return static_cast<std::uint16_t>(high << 2 | low);
}

void writeSite(std::uint8_t* line, int site, int y, unsigned value) {
    const int shift = 2 * (y % 4);
    line[kHighOffset[site] + y] = static_cast<std::uint8_t>(value >> 2);
    std::uint8_t& low = line[kLowOffset[site] + y / 4];
    low = static_cast<std::uint8_t>((low & ~(3u << shift)) | ((value & 3u) << shift));
}

} // namespace

bool LoadRamFile(const std::filesystem::path& path, Bytes& ram, std::string* error) {
    // Only the first 1 MiB matters, so never read more than that. The file is read straight
    // into ram, whose storage a caller loading many files keeps.
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path.string();
        return false;
    }
    ram.assign(kRamFileSize, 0);
    in.read(reinterpret_cast<char*>(ram.data()), static_cast<std::streamsize>(ram.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got == kRamFileSize)
        return true;
    if (got == kRamPictureBytes) {
        std::memmove(ram.data() + kRamPictureOffset, ram.data(), got);
        std::memset(ram.data(), 0, kRamPictureOffset);
        return true;
    }
    if (error)
        *error = path.string() + " is " + std::to_string(got) +
                 " bytes long; a RAM file has 1048576 (or the 983040 picture bytes alone)";
    return false;
}

CellSamples ReadLineCell(const std::uint8_t* line, int y) {
    return {readSite(line, 0, y), readSite(line, 1, y), readSite(line, 2, y), readSite(line, 3, y)};
}

void WriteLineCell(std::uint8_t* line, int y, const CellSamples& cell) {
    writeSite(line, 0, y, cell.b & 1023u);
    writeSite(line, 1, y, cell.g & 1023u);
    writeSite(line, 2, y, cell.t & 1023u);
    writeSite(line, 3, y, cell.r & 1023u);
}

CellSamples ReadCell(ByteSpan ram, int k, int y) {
    return ReadLineCell(ram.data() + kRamPictureOffset + std::size_t(k) * kRamLineBytes, y);
}

CellSamples MosaicCell(const std::uint16_t* mosaic, int k, int j) {
    const std::uint16_t* top = mosaic + std::size_t(2 * j) * kMosaicWidth + 2 * k;
    const std::uint16_t* bottom = top + kMosaicWidth;
    return {bottom[0], top[0], bottom[1], top[1]};
}

void SetMosaicCell(std::uint16_t* mosaic, int k, int j, const CellSamples& cell) {
    std::uint16_t* top = mosaic + std::size_t(2 * j) * kMosaicWidth + 2 * k;
    std::uint16_t* bottom = top + kMosaicWidth;
    top[0] = cell.g;
    top[1] = cell.r;
    bottom[0] = cell.b;
    bottom[1] = cell.t;
}

std::vector<std::uint16_t> UnpackMosaic(ByteSpan ram, int shift) {
    std::vector<std::uint16_t> mosaic(kMosaicSamples, 0);
    if (ram.size() < kRamFileSize)
        return mosaic;
    for (int y = kCellRows - 1; y >= 0; --y) {
        for (int k = 0; k < kCellColumns; ++k) {
            CellSamples c = ReadCell(ram, k, y);
            c.b = static_cast<std::uint16_t>(c.b << shift);
            c.g = static_cast<std::uint16_t>(c.g << shift);
            c.t = static_cast<std::uint16_t>(c.t << shift);
            c.r = static_cast<std::uint16_t>(c.r << shift);
            SetMosaicCell(mosaic.data(), k, kCellRows - 1 - y, c);
        }
    }
    return mosaic;
}

void UnpackMosaic8(ByteSpan ram, std::uint8_t* out) {
    if (ram.size() < kRamFileSize) {
        std::memset(out, 0, kMosaicSamples);
        return;
    }
    // The 8 most significant bits of a 10-bit sample are its high byte in the memory.
    for (int y = kCellRows - 1; y >= 0; --y) {
        const int j = kCellRows - 1 - y;
        std::uint8_t* top = out + std::size_t(2 * j) * kMosaicWidth;
        std::uint8_t* bottom = top + kMosaicWidth;
        for (int k = 0; k < kCellColumns; ++k) {
            const std::uint8_t* line =
                ram.data() + kRamPictureOffset + std::size_t(k) * kRamLineBytes;
            bottom[2 * k] = line[kHighOffset[0] + y];
            top[2 * k] = line[kHighOffset[1] + y];
            bottom[2 * k + 1] = line[kHighOffset[2] + y];
            top[2 * k + 1] = line[kHighOffset[3] + y];
        }
    }
}

Bytes PackMosaic(const std::uint16_t* mosaic, int shift) {
    Bytes ram(kRamFileSize, 0);
    for (int k = 0; k < kCellColumns; ++k) {
        std::uint8_t* line = ram.data() + kRamPictureOffset + std::size_t(k) * kRamLineBytes;
        for (int y = 0; y < kCellRows; ++y) {
            const CellSamples c = MosaicCell(mosaic, k, kCellRows - 1 - y);
            WriteLineCell(line, y,
                          {static_cast<std::uint16_t>(c.b >> shift),
                           static_cast<std::uint16_t>(c.g >> shift),
                           static_cast<std::uint16_t>(c.t >> shift),
                           static_cast<std::uint16_t>(c.r >> shift)});
        }
    }
    return ram;
}

} // namespace kv::process
