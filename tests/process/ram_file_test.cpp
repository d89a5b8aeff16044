#include "imaging/process/ram_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace kv::process {
namespace {

std::size_t lineStart(int k) {
    return kRamPictureOffset + std::size_t(k) * kRamLineBytes;
}
std::uint16_t at(const std::vector<std::uint16_t>& m, int row, int col) {
    return m[std::size_t(row) * kMosaicWidth + col];
}

TEST(RamFile, AllOnesUnpacksTo1023InEverySite) {
    const Bytes ram(kRamFileSize, 0xFF);
    const auto mono16 = UnpackMosaic(ram, 6);
    const auto raw = UnpackMosaic(ram, 0);
    std::vector<std::uint8_t> mono8(kMosaicSamples);
    UnpackMosaic8(ram, mono8.data());
    for (std::size_t i = 0; i < kMosaicSamples; ++i) {
        ASSERT_EQ(mono16[i], 65472) << i;
        ASSERT_EQ(raw[i], 1023) << i;
        ASSERT_EQ(mono8[i], 255) << i;
    }
}

// Each site's two low bits at position y come from byte base + y / 4, bits 2 * (y mod 4).
TEST(RamFile, LowBitsComeFromTheRightSharedByte) {
    struct Row {
        const char* site;
        int lowOffset;
        std::uint16_t CellSamples::*member;
    };
    const Row rows[] = {{"B", 804, &CellSamples::b},
                        {"G", 904, &CellSamples::g},
                        {"T", 1828, &CellSamples::t},
                        {"R", 1928, &CellSamples::r}};
    for (const Row& row : rows) {
        Bytes ram(kRamFileSize, 0);
        const int k = 17;
        ram[lineStart(k) + row.lowOffset + 0] = 0xC0; // bits 6, 7: position y = 3
        ram[lineStart(k) + row.lowOffset + 1] = 0x02; // bits 0, 1: position y = 4
        EXPECT_EQ(ReadCell(ram, k, 2).*row.member, 0) << row.site;
        EXPECT_EQ(ReadCell(ram, k, 3).*row.member, 3) << row.site;
        EXPECT_EQ(ReadCell(ram, k, 4).*row.member, 2) << row.site;
        EXPECT_EQ(ReadCell(ram, k, 5).*row.member, 0) << row.site;
    }
}

TEST(RamFile, HighBytesAndMosaicPlacement) {
    Bytes ram(kRamFileSize, 0);
    const int k = 7, y = 10, j = 399 - y;
    ram[lineStart(k) + y] = 0x01;        // B
    ram[lineStart(k) + 400 + y] = 0x02;  // G
    ram[lineStart(k) + 1024 + y] = 0x03; // T
    ram[lineStart(k) + 1424 + y] = 0x04; // R
    EXPECT_EQ(ReadCell(ram, k, y), (CellSamples{4, 8, 12, 16}));
    const auto m = UnpackMosaic(ram, 0);
    EXPECT_EQ(at(m, 2 * j, 2 * k), 8);          // G top left
    EXPECT_EQ(at(m, 2 * j, 2 * k + 1), 16);     // R top right
    EXPECT_EQ(at(m, 2 * j + 1, 2 * k), 4);      // B bottom left
    EXPECT_EQ(at(m, 2 * j + 1, 2 * k + 1), 12); // T bottom right
    std::vector<std::uint8_t> mono8(kMosaicSamples);
    UnpackMosaic8(ram, mono8.data());
    EXPECT_EQ(mono8[std::size_t(2 * j) * kMosaicWidth + 2 * k + 1], 4);
}

TEST(RamFile, PackingMirrorsUnpacking) {
    std::mt19937 random(7);
    std::vector<std::uint16_t> mosaic(kMosaicSamples);
    for (auto& v : mosaic)
        v = static_cast<std::uint16_t>((random() & 1023) << 6);
    const Bytes ram = PackMosaic(mosaic.data(), 6);
    ASSERT_EQ(ram.size(), kRamFileSize);
    EXPECT_EQ(UnpackMosaic(ram, 6), mosaic);

    // And the other way: a RAM file with random sample bytes (the unused ones 0) comes back.
    Bytes random_ram(kRamFileSize, 0);
    for (int k = 0; k < kCellColumns; ++k)
        for (int off = 0; off < 2048; ++off) {
            const bool unused = (off >= 800 && off < 804) || (off >= 1004 && off < 1024) ||
                                (off >= 1824 && off < 1828) || off >= 2028;
            if (!unused)
                random_ram[lineStart(k) + off] = static_cast<std::uint8_t>(random());
        }
    EXPECT_EQ(PackMosaic(UnpackMosaic(random_ram, 0).data(), 0), random_ram);
}

TEST(RamFile, LoadAcceptsWholeFilesAndThePictureBytesAlone) {
    testing::ScratchDir dir;
    auto write = [&](const std::string& name, std::size_t size, std::uint8_t fill) {
        std::ofstream out(dir / name, std::ios::binary);
        const std::string bytes(size, char(fill));
        out.write(bytes.data(), std::streamsize(bytes.size()));
        return dir / name;
    };
    struct Row {
        std::size_t size;
        bool accepted;
        std::uint8_t firstByte;   // ram[0] after loading
        std::uint8_t pictureByte; // ram[65536]
    };
    // One buffer for every file, as a caller loading many keeps it: nothing of the 1 MiB
    // files may remain in front of the picture bytes alone.
    Bytes reused;
    for (const Row& row :
         {Row{kRamFileSize, true, 0x11, 0x11}, Row{kRamFileSize + 10, true, 0x11, 0x11},
          Row{kRamPictureBytes, true, 0, 0x11}, Row{kRamFileSize - 1, false, 0, 0},
          Row{100, false, 0, 0}, Row{0, false, 0, 0}}) {
        Bytes& ram = reused;
        std::string error;
        const bool ok = LoadRamFile(write("ram.bin", row.size, 0x11), ram, &error);
        ASSERT_EQ(ok, row.accepted) << row.size;
        if (ok) {
            ASSERT_EQ(ram.size(), kRamFileSize);
            EXPECT_EQ(ram[0], row.firstByte) << row.size;
            EXPECT_EQ(ram[kRamPictureOffset], row.pictureByte) << row.size;
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    Bytes ram;
    EXPECT_FALSE(LoadRamFile(dir / "missing.ram", ram, nullptr));
}

} // namespace
} // namespace kv::process
