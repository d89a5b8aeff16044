#include "imaging/process/cell_render.h"

#include <gtest/gtest.h>

namespace kv::process {
namespace {

TEST(LightnessTables, EndsAndInverse) {
    const LightnessTable& f = ForwardLightnessTable();
    const LightnessTable& inv = InverseLightnessTable();
    EXPECT_EQ(f[0], 0);
    EXPECT_EQ(f[1023], 32767);
    EXPECT_EQ(inv[0], 0);
    EXPECT_EQ(inv[1023], 32767);
    // Near black both are linear: slope 9.0329 and 0.1107 per unit of t.
    EXPECT_EQ(f[5], static_cast<std::uint16_t>(9.0329 * 5 / 1023 * 32767 + 0.5));
    // The inverse undoes the forward table within the tables' steps.
    for (int i = 0; i < 1024; i += 7) {
        const int lightnessIndex = f[i] >> 5; // 0..1023
        EXPECT_NEAR(inv[lightnessIndex] / 32.0, i, 6.0 + i * 0.01) << i;
    }
    for (int i = 1; i < 1024; ++i) {
        ASSERT_GE(f[i], f[i - 1]);
        ASSERT_GE(inv[i], inv[i - 1]);
    }
}

TEST(RenderCells, ClampsMatrixResultsBeforeTheTable) {
    struct Row {
        CellSamples cell;
        std::uint8_t r, g, b;
    };
    const LightnessTable& f = ForwardLightnessTable();
    // G alone: R = -0.6421 G < 0 -> 0; G = 3.7923 G > 1023 -> 1023; B < 0 -> 0.
    // White: B = 0.4342 x 1023 = 444.2. R = 100: outputs 380.78, -43.35 (0), -3.53 (0).
    const Row rows[] = {
        {{0, 1023, 0, 0}, 0, 255, 0},
        {{0, 0, 0, 100}, static_cast<std::uint8_t>(f[380] >> 7), 0, 0},
        {{0, 0, 0, 0}, 0, 0, 0},
        {{1023, 1023, 1023, 1023}, 255, 255, static_cast<std::uint8_t>(f[444] >> 7)},
    };
    for (const Row& row : rows) {
        std::uint8_t rgb[3];
        RenderCell(row.cell, DefaultCellMatrix(), rgb);
        EXPECT_EQ(rgb[0], row.r);
        EXPECT_EQ(rgb[1], row.g);
        EXPECT_EQ(rgb[2], row.b);
    }
}

TEST(RenderCells, RowsFromTheTopAreRamPositionsFromTheBottom) {
    Bytes ram(kRamFileSize, 0);
    // Cell k = 3 at RAM position y = 0 (the bottom row): G high byte 0xFF.
    ram[kRamPictureOffset + 3 * kRamLineBytes + 400 + 0] = 0xFF;
    std::vector<std::uint8_t> out(kCellCount * 3, 1);
    RenderCells(ram, out.data());
    const std::size_t lit = 3 * (std::size_t(399) * kCellColumns + 3);
    EXPECT_EQ(out[lit + 1], 255);
    std::size_t nonzero = 0;
    for (std::uint8_t v : out)
        nonzero += v != 0;
    EXPECT_EQ(nonzero, 1u);

    // The mosaic form gives the same picture.
    const auto mosaic = UnpackMosaic(ram, 0);
    std::vector<std::uint8_t> fromMosaic(kCellCount * 3);
    RenderMosaicCells(mosaic.data(), fromMosaic.data());
    EXPECT_EQ(fromMosaic, out);
}

} // namespace
} // namespace kv::process
