// Reading bitmaps: what the program writes comes back unchanged, the other common forms read
// as an independent writer lays them out, and damaged files are refused.

#include "imaging/bitmap_file.h"
#include "imaging/bitmap_reader.h"

#include <gtest/gtest.h>

namespace kv::imaging {
namespace {

Bytes gradient(int width, int height) {
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 3);
    return rgb;
}

// A bitmap file with the given header fields and body, laid out by hand.
Bytes handMade(int width, int height, unsigned bits, const Bytes& palette, const Bytes& rows) {
    Bytes file = {'B', 'M'};
    const std::uint32_t offset = 54 + static_cast<std::uint32_t>(palette.size());
    appendLe32(file, offset + static_cast<std::uint32_t>(rows.size()));
    appendLe32(file, 0);
    appendLe32(file, offset);
    appendLe32(file, 40);
    appendLe32(file, static_cast<std::uint32_t>(width));
    appendLe32(file, static_cast<std::uint32_t>(height));
    appendLe16(file, 1);
    appendLe16(file, static_cast<std::uint16_t>(bits));
    for (int i = 0; i < 6; ++i)
        appendLe32(file, 0);
    file.insert(file.end(), palette.begin(), palette.end());
    file.insert(file.end(), rows.begin(), rows.end());
    return file;
}

TEST(BitmapReader, OwnFilesRoundTripAtOddWidths) {
    for (int width : {1, 2, 3, 5, 480}) {
        const Bytes rgb = gradient(width, 7);
        const RgbPicture back = ReadBitmap(MakeBitmap24File(rgb, width, 7));
        ASSERT_TRUE(back.valid()) << width;
        EXPECT_EQ(back.width, width);
        EXPECT_EQ(back.height, 7);
        EXPECT_EQ(back.pixels, rgb) << width;
    }
}

TEST(BitmapReader, PalettedTopDownAndThirtyTwoBit) {
    // 4-bit, 3 x 2, bottom-up: palette entry i is (B, G, R) = (i, 2i, 3i).
    Bytes palette;
    for (int i = 0; i < 16; ++i)
        palette.insert(palette.end(),
                       {std::uint8_t(i), std::uint8_t(2 * i), std::uint8_t(3 * i), 0});
    const Bytes rows = {0x12, 0x30, 0, 0,  // bottom row: 1 2 3
                        0x45, 0x60, 0, 0}; // top row: 4 5 6
    const RgbPicture four = ReadBitmap(handMade(3, 2, 4, palette, rows));
    ASSERT_TRUE(four.valid());
    const Bytes expected = {12, 8, 4, 15, 10, 5, 18, 12, 6, 3, 2, 1, 6, 4, 2, 9, 6, 3};
    EXPECT_EQ(four.pixels, expected);

    // 32-bit, 2 x 2, top-down (negative height).
    const Bytes bgra = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    const RgbPicture wide = ReadBitmap(handMade(2, -2, 32, {}, bgra));
    ASSERT_TRUE(wide.valid());
    EXPECT_EQ(wide.pixels, (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10}));
}

TEST(BitmapReader, DamagedFilesAreRefused) {
    const Bytes good = MakeBitmap24File(gradient(5, 4), 5, 4);
    ASSERT_TRUE(ReadBitmap(good).valid());
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(ReadBitmap(ByteSpan(good.data(), cut)).valid()) << cut;

    auto patched = [&](std::size_t at, std::uint32_t value) {
        Bytes bad = good;
        storeLe32(bad, at, value);
        return ReadBitmap(bad);
    };
    EXPECT_FALSE(patched(18, 0x7FFFFFFF).valid()) << "huge width";
    EXPECT_FALSE(patched(22, 0x80000000).valid()) << "most negative height";
    EXPECT_FALSE(patched(10, 0xFFFFFFF0).valid()) << "bits offset past the end";
    EXPECT_FALSE(patched(30, 1).valid()) << "run-length compression";
    EXPECT_FALSE(patched(14, 1000).valid()) << "unknown header size";

    // A palette index beyond the colours the header declares.
    Bytes palette = {0, 0, 0, 0, 255, 255, 255, 0};
    Bytes file = handMade(1, 1, 8, palette, {5, 0, 0, 0});
    storeLe32(file, 46, 2);
    EXPECT_FALSE(ReadBitmap(file).valid());
}

} // namespace
} // namespace kv::imaging
