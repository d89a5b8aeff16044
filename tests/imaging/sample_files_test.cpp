// Stored sample files (tests/data): files written by an earlier build must keep reading the
// same, and rewriting one with its own attributes must give the same bytes.

#include "file_test_support.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "imaging/rgb_picture.h"
#include "imaging/tiff.h"

#include <gtest/gtest.h>

namespace {

using namespace kv::imaging;
using kv::Bytes;
using kvtest::ScratchDir;

const std::filesystem::path kData = KV_TEST_DATA_DIR;

TEST_F(ScratchDir, StoredKviSampleReadsAndRewritesByteForByte) {
    const auto sample = kData / "picture_standard.kvi";
    PictureAttributes a;
    ASSERT_EQ(ReadPictureFile(sample, a), kv::status::Ok);
    EXPECT_EQ(a.quality, kQualityStandard);
    EXPECT_EQ(a.flash, 0);
    EXPECT_EQ(a.exposureIndex, 6);
    EXPECT_EQ(a.cameraId, "KVMINI0001");
    EXPECT_EQ(a.manufacturingWord, 1090518974u);
    EXPECT_EQ(a.rotation, 1);
    EXPECT_EQ(a.whiteBalance, (WhiteBalanceState{{231, 225, 240}, 0, 1}));
    EXPECT_EQ(a.soundLength, 400u);
    EXPECT_EQ(a.pictureDataLength, 8742u);
    EXPECT_EQ(formatTiffDateTime(a.captureTime), "99:00:01 12:00:00");

    Bytes out;
    std::uint32_t length = 0;
    ASSERT_EQ(ReadPictureFile(sample, PicturePart::Note, out, length), kv::status::Ok);
    EXPECT_EQ(out, kv::codec::cameraNoteSection(1));
    kv::codec::WaveletCodec codec;
    ASSERT_EQ(ReadPictureFile(sample, PicturePart::Picture, out, length, &codec), kv::status::Ok);
    EXPECT_EQ(length, 576000u);

    // The same attributes written again give the same file: the layout is stable.
    std::filesystem::copy_file(sample, path("copy.kvi"));
    a.path = path("copy.kvi").string();
    ASSERT_EQ(RewritePictureFile(a), kv::status::Ok);
    EXPECT_EQ(kvtest::readFile(path("copy.kvi")), kvtest::readFile(sample));
}

TEST(SampleFiles, StoredJpegSampleKeepsItsMarkers) {
    int w = 0;
    int h = 0;
    JpegMarkers m;
    ASSERT_EQ(ReadJpegSize(kData / "picture_markers.jpg", w, h, &m), kv::status::Ok);
    EXPECT_EQ(w, 96);
    EXPECT_EQ(h, 80);
    EXPECT_EQ(m.quality, 90);
    EXPECT_EQ(m.exposureIndex, 6);
    EXPECT_EQ(m.flash, 1);
    EXPECT_EQ(m.waveletCompression, 1);
    EXPECT_EQ(m.note, "\x03\x03KVQ\x01\x04\x04\r\n");
}

TEST(SampleFiles, EveryTruncationOfTheSamplesReadsSafely) {
    const Bytes kvi = kvtest::readFile(kData / "picture_standard.kvi");
    ASSERT_FALSE(kvi.empty());
    kv::codec::WaveletCodec codec;
    Bytes out;
    std::uint32_t length = 0;
    for (std::size_t n = 0; n < kvi.size(); n += (n < 2000 || n > 36000 ? 7 : 1999)) {
        const Bytes cut(kvi.begin(), kvi.begin() + static_cast<std::ptrdiff_t>(n));
        for (PicturePart part : {PicturePart::Sound, PicturePart::Thumbnail, PicturePart::Note})
            (void)ReadPictureBytes(cut, part, out, length, &codec);
        PictureAttributes a;
        (void)ReadPictureBytes(cut, a);
        EXPECT_NE(ReadPictureBytes(cut, PicturePart::Picture, out, length, &codec), kv::status::Ok);
    }
    const Bytes jpg = kvtest::readFile(kData / "picture_markers.jpg");
    ASSERT_FALSE(jpg.empty());
    Bytes box(120 * 100 * 3);
    for (std::size_t n = 0; n < jpg.size(); ++n) {
        JpegMarkers m;
        (void)ReadJpegBytes(kv::ByteSpan(jpg).first(n), box, 120, 100, true, &m);
    }
}

TEST(ResizeRgb, DoublesExactlyAveragesDownAndKeepsFlatPicturesFlat) {
    RgbPicture flat{30, 20, Bytes(30 * 20 * 3, 90)};
    for (const auto& [w, h] : {std::pair{60, 40}, std::pair{120, 80}, std::pair{15, 10},
                               std::pair{7, 3}, std::pair{45, 30}, std::pair{30, 20}}) {
        const RgbPicture r = ResizeRgb(flat, w, h);
        ASSERT_TRUE(r.valid()) << w << "x" << h;
        EXPECT_EQ(r.pixels, Bytes(std::size_t(w) * std::size_t(h) * 3, 90)) << w << "x" << h;
    }
    // Halving averages each 2 x 2 block.
    RgbPicture checker{2, 2, {0, 0, 0, 200, 200, 200, 200, 200, 200, 0, 0, 0}};
    EXPECT_EQ(ResizeRgb(checker, 1, 1).pixels, (Bytes{100, 100, 100}));
    EXPECT_FALSE(ResizeRgb(RgbPicture{}, 10, 10).valid());
    EXPECT_FALSE(ResizeRgb(flat, 0, 10).valid());
}

} // namespace
