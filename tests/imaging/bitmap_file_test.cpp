#include "file_test_support.h"
#include "imaging/bitmap_file.h"

#include <gtest/gtest.h>

namespace {

using namespace kv::imaging;
using kv::Bytes;
using kvtest::ScratchDir;

TEST(Bitmap24, HeadersRowsBottomUpBgrAndZeroPadding) {
    struct Case {
        int width;
        std::size_t stride;
    };
    for (const Case c : {Case{1, 4}, Case{3, 12}, Case{4, 12}, Case{5, 16}, Case{960, 2880}}) {
        const int height = 3;
        const Bytes rgb = kvtest::testPicture(c.width, height);
        EXPECT_EQ(bitmapRowStride(c.width), c.stride);
        const Bytes f = MakeBitmap24File(rgb, c.width, height);
        const std::size_t image = c.stride * height;
        ASSERT_EQ(f.size(), 54 + image);
        EXPECT_EQ(f[0], 'B');
        EXPECT_EQ(f[1], 'M');
        EXPECT_EQ(kv::loadLe32(f, 2), 54 + image);
        EXPECT_EQ(kv::loadLe32(f, 6), 0u);
        EXPECT_EQ(kv::loadLe32(f, 10), 54u);
        EXPECT_EQ(kv::loadLe32(f, 14), 40u);
        EXPECT_EQ(kv::loadLe32(f, 18), std::uint32_t(c.width));
        EXPECT_EQ(kv::loadLe32(f, 22), std::uint32_t(height));
        EXPECT_EQ(kv::loadLe16(f, 26), 1);
        EXPECT_EQ(kv::loadLe16(f, 28), 24);
        EXPECT_EQ(kv::loadLe32(f, 30), 0u);
        EXPECT_EQ(kv::loadLe32(f, 34), image);
        for (std::size_t at = 38; at < 54; at += 4)
            EXPECT_EQ(kv::loadLe32(f, at), 0u);
        for (int row = 0; row < height; ++row) {
            const std::size_t fileRow = 54 + std::size_t(height - 1 - row) * c.stride;
            for (int x = 0; x < c.width; ++x) {
                const std::uint8_t* src =
                    &rgb[(std::size_t(row) * std::size_t(c.width) + std::size_t(x)) * 3];
                const std::uint8_t* dst = &f[fileRow + std::size_t(x) * 3];
                EXPECT_EQ(dst[0], src[2]);
                EXPECT_EQ(dst[1], src[1]);
                EXPECT_EQ(dst[2], src[0]);
            }
            for (std::size_t pad = std::size_t(c.width) * 3; pad < c.stride; ++pad)
                EXPECT_EQ(f[fileRow + pad], 0);
        }
    }
    EXPECT_TRUE(MakeBitmap24File(Bytes(8), 3, 3).empty());
    EXPECT_TRUE(MakeBitmap24File(Bytes(8), 0, 3).empty());
}

// A packed DIB with the given header size, bit depth and colours-used count.
Bytes packedDib(std::uint32_t headerSize, std::uint16_t bits, std::uint32_t coloursUsed,
                std::uint32_t width, std::uint32_t height, std::uint32_t tableEntries,
                std::uint32_t entryBytes) {
    Bytes d;
    kv::appendLe32(d, headerSize);
    if (headerSize == 12) {
        kv::appendLe16(d, static_cast<std::uint16_t>(width));
        kv::appendLe16(d, static_cast<std::uint16_t>(height));
        kv::appendLe16(d, 1);
        kv::appendLe16(d, bits);
    } else {
        kv::appendLe32(d, width);
        kv::appendLe32(d, height);
        kv::appendLe16(d, 1);
        kv::appendLe16(d, bits);
        kv::appendLe32(d, 0); // BI_RGB
        kv::appendLe32(d, 0); // image size 0: computed
        kv::appendLe32(d, 0);
        kv::appendLe32(d, 0);
        kv::appendLe32(d, coloursUsed);
        kv::appendLe32(d, 0);
        d.resize(headerSize, 0);
    }
    d.resize(d.size() + tableEntries * entryBytes, 0x11);
    const std::size_t stride = (std::size_t(width) * bits + 31) / 32 * 4;
    d.resize(d.size() + stride * height, 0x22);
    return d;
}

TEST_F(ScratchDir, BitmapFileFromPackedDibCountsHeaderTableAndImage) {
    struct Case {
        const char* what;
        std::uint32_t headerSize;
        std::uint16_t bits;
        std::uint32_t coloursUsed;
        std::uint32_t tableEntries;
        std::uint32_t entryBytes;
    };
    const Case cases[] = {
        {"8-bit, full palette", 40, 8, 0, 256, 4},
        {"8-bit, 20 colours used", 40, 8, 20, 20, 4},
        {"4-bit", 40, 4, 0, 16, 4},
        {"1-bit", 40, 1, 0, 2, 4},
        {"24-bit", 40, 24, 0, 0, 4},
        {"core header, 8-bit", 12, 8, 0, 256, 3},
        {"V5 header, 32-bit", 124, 32, 0, 0, 4},
    };
    for (const Case& c : cases) {
        const Bytes dib =
            packedDib(c.headerSize, c.bits, c.coloursUsed, 7, 5, c.tableEntries, c.entryBytes);
        ASSERT_EQ(WriteBitmapFile(path("d.bmp"), dib), kv::status::Ok) << c.what;
        const Bytes f = kvtest::readFile(path("d.bmp"));
        ASSERT_EQ(f.size(), 14 + dib.size()) << c.what;
        EXPECT_EQ(kv::loadLe32(f, 2), 14 + dib.size()) << c.what;
        EXPECT_EQ(kv::loadLe32(f, 10), 14 + c.headerSize + c.tableEntries * c.entryBytes) << c.what;
        EXPECT_TRUE(std::equal(dib.begin(), dib.end(), f.begin() + 14)) << c.what;
    }
    // A block shorter than its header says, and unknown header sizes, are refused.
    Bytes shortDib = packedDib(40, 8, 0, 7, 5, 256, 4);
    shortDib.resize(shortDib.size() - 1);
    EXPECT_EQ(WriteBitmapFile(path("s.bmp"), shortDib), kv::status::Failed);
    EXPECT_EQ(WriteBitmapFile(path("s.bmp"), packedDib(20, 8, 0, 7, 5, 256, 4)),
              kv::status::Failed);
    EXPECT_EQ(WriteBitmapFile(path("s.bmp"), Bytes(5)), kv::status::Failed);
    EXPECT_EQ(WriteBitmapFile(path("s.bmp"), packedDib(40, 8, 0xFFFFFFF0u, 7, 5, 0, 4)),
              kv::status::Failed);
    EXPECT_FALSE(std::filesystem::exists(path("s.bmp")));
}

TEST_F(ScratchDir, NetpbmReadsOurBitmapsPixelForPixel) {
    if (!kvtest::toolPresent("bmptopnm"))
        GTEST_SKIP() << "netpbm not installed";
    for (const int width : {5, 8, 33}) {
        const int height = 4;
        const Bytes rgb = kvtest::testPicture(width, height);
        ASSERT_EQ(WriteBitmap24File(path("x.bmp"), rgb, width, height), kv::status::Ok);
        int rc = 0;
        const std::string err = kvtest::runTool("bmptopnm " + kvtest::quoted(path("x.bmp")) +
                                                    " > " + kvtest::quoted(path("x.ppm")),
                                                &rc);
        ASSERT_EQ(rc, 0) << err;
        const Bytes ppm = kvtest::readFile(path("x.ppm"));
        const std::string head =
            "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
        ASSERT_EQ(ppm.size(), head.size() + rgb.size()) << width;
        EXPECT_EQ(std::string(ppm.begin(), ppm.begin() + head.size()), head);
        EXPECT_TRUE(std::equal(rgb.begin(), rgb.end(), ppm.begin() + head.size())) << width;
    }
}

} // namespace
