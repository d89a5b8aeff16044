// RAM files: the cell reader and writer on the bytes they see, and the loader's size rules on
// files of the sizes it decides between.
//
// Input: a selector byte, then records of 21 bytes, each one group of four cells of a picture
// line as the memory holds it: the group number q (of 100), the four high bytes of B, G, T
// and R at positions 4q..4q+3, then the byte holding the four low bit pairs of each. A short
// last record is zero-padded.

#include "imaging/process/cell_render.h"
#include "imaging/process/ram_file.h"
#include "memory_file.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using namespace kv::process;

constexpr int kHighOffset[4] = {0, 400, 1024, 1424};
constexpr int kLowOffset[4] = {804, 904, 1828, 1928};
constexpr std::size_t kRecord = 21;

// Sizes around the two the loader accepts, and short ones it refuses.
constexpr std::array<std::size_t, 8> kFileSizes = {0,
                                                   1,
                                                   kRamPictureBytes - 1,
                                                   kRamPictureBytes,
                                                   kRamPictureBytes + 1,
                                                   kRamFileSize - 1,
                                                   kRamFileSize,
                                                   kRamFileSize + 4096};

// The loader reads a path; an in-memory file keeps the disk out of the loop.
const MemoryFile& file() {
    static const MemoryFile f("kv_fuzz_ram");
    return f;
}

void loadAsFile(const std::uint8_t* data, std::size_t size, std::size_t fileSize, int k) {
    if (!file().fill(data, std::min(size, fileSize), fileSize))
        return;
    static kv::Bytes ram; // kept, as a program loading many files would
    std::string error;
    const bool loaded = LoadRamFile(file().path(), ram, &error);
    const bool expected = fileSize == kRamPictureBytes || fileSize >= kRamFileSize;
    if (loaded != expected || (loaded && ram.size() != kRamFileSize) || (!loaded && error.empty()))
        __builtin_trap();
    if (loaded) {
        const std::uint8_t* line = ram.data() + kRamPictureOffset + std::size_t(k) * kRamLineBytes;
        for (int y = 0; y < kCellRows; y += 37)
            if (ReadCell(ram, k, y) != ReadLineCell(line, y))
                __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t select = data[0];
    std::uint8_t line[kRamLineBytes] = {};
    std::uint8_t copy[kRamLineBytes] = {};
    std::uint8_t rgb[3];
    for (std::size_t at = 1; at < size; at += kRecord) {
        std::uint8_t record[kRecord] = {};
        std::memcpy(record, data + at, std::min(kRecord, size - at));
        const int q = record[0] % (kCellRows / 4);
        for (int site = 0; site < 4; ++site) {
            std::memcpy(line + kHighOffset[site] + 4 * q, record + 1 + 4 * site, 4);
            line[kLowOffset[site] + q] = record[17 + site];
        }
        // Each cell's samples are 10-bit, render within the lightness table, and come back
        // the same from an empty line they are written into.
        for (int y = 4 * q; y < 4 * q + 4; ++y) {
            const CellSamples cell = ReadLineCell(line, y);
            if ((cell.b | cell.g | cell.t | cell.r) > 1023)
                __builtin_trap();
            RenderCell(cell, DefaultCellMatrix(), rgb);
            WriteLineCell(copy, y, cell);
        }
        // The four cells carry every bit of their bytes.
        for (int site = 0; site < 4; ++site)
            if (std::memcmp(copy + kHighOffset[site] + 4 * q, line + kHighOffset[site] + 4 * q,
                            4) != 0 ||
                copy[kLowOffset[site] + q] != line[kLowOffset[site] + q])
                __builtin_trap();
    }
    // One input in 32 also goes through the loader, whose 1 MiB read costs as much as
    // thousands of cells.
    if (select < 8)
        loadAsFile(data + 1, size - 1, kFileSizes[select], size * 61 % kCellColumns);
    return 0;
}
