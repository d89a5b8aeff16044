#include "file_test_support.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/picture_file.h"
#include "imaging/tiff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using namespace kv::imaging;
using kv::Bytes;
using kvtest::ScratchDir;

// Entries of the IFD at `offset` by tag: (count, value field) of a little-endian file.
std::map<std::uint16_t, std::pair<std::uint32_t, std::uint32_t>> tagsAt(const Bytes& f,
                                                                        std::uint32_t offset) {
    std::map<std::uint16_t, std::pair<std::uint32_t, std::uint32_t>> m;
    const std::uint16_t n = kv::loadLe16(f, offset);
    for (std::uint16_t i = 0; i < n; ++i) {
        const std::size_t at = offset + 2 + 12 * i;
        m[kv::loadLe16(f, at)] = {kv::loadLe32(f, at + 4), kv::loadLe32(f, at + 8)};
    }
    return m;
}

std::uint32_t secondIfd(const Bytes& f) {
    return kv::loadLe32(f, 8 + 2 + 12 * std::size_t(kv::loadLe16(f, 8)));
}

PictureAttributes uncompressedPicture(const Bytes& rgb) {
    PictureAttributes a;
    a.quality = kQualityUncompressed;
    a.flash = 0;
    a.exposureIndex = 7;
    a.cameraId = "KV01";
    a.manufacturingWord = 1090518974;
    a.captureTime = 1000000000;
    a.pictureData = rgb;
    return a;
}

TEST_F(ScratchDir, UncompressedPictureIsStoredWithCompression1AndReturnedUnchanged) {
    const Bytes rgb = kvtest::testPicture(480, 400);
    PictureAttributes a = uncompressedPicture(rgb);
    ASSERT_EQ(StorePictureFile(a, path("p.kvi"), rgb), kv::status::Ok);

    const Bytes f = kvtest::readFile(path("p.kvi"));
    EXPECT_EQ(kv::loadLe16(f, 2), kTiffVersion); // a fresh uncompressed picture: version 42
    const auto t0 = tagsAt(f, 8);
    const auto t1 = tagsAt(f, secondIfd(f));
    EXPECT_EQ(t0.at(tifftag::NewSubfileType).second, 1u);
    EXPECT_EQ(t0.at(tifftag::ImageWidth).second, 120u);
    EXPECT_EQ(t0.at(tifftag::StripByteCounts).second, 36000u);
    EXPECT_EQ(t0.at(tifftag::RowsPerStrip).second, 100u);
    EXPECT_EQ(t1.at(tifftag::NewSubfileType).second, 0u);
    EXPECT_EQ(t1.at(tifftag::ImageWidth).second, 480u);
    EXPECT_EQ(t1.at(tifftag::Compression).second, 1u);
    EXPECT_EQ(t1.at(tifftag::StripByteCounts).second, 576000u);
    EXPECT_EQ(t1.at(tifftag::PictureDataLength).second, 576000u);
    for (const auto& tags : {t0, t1}) {
        // No sound, never white-balanced, not rotated: none of their tags.
        EXPECT_FALSE(tags.count(tifftag::SoundClip));
        EXPECT_FALSE(tags.count(tifftag::WhiteBalanceState));
        EXPECT_FALSE(tags.count(tifftag::Orientation));
        EXPECT_EQ(tags.at(tifftag::PictureQuality).second, 3u);
        EXPECT_EQ(tags.at(tifftag::ExposureIndex).second, 7u);
        EXPECT_EQ(tags.at(tifftag::ManufacturingWord).second, 1090518974u);
    }

    Bytes out;
    std::uint32_t length = 0;
    ASSERT_EQ(ReadPictureFile(path("p.kvi"), PicturePart::Picture, out, length), kv::status::Ok);
    EXPECT_EQ(length, 576000u);
    EXPECT_EQ(out, rgb);
    ASSERT_EQ(ReadPictureFile(path("p.kvi"), PicturePart::Thumbnail, out, length), kv::status::Ok);
    EXPECT_EQ(length, 36000u);
    EXPECT_EQ(out, MakeThumbnail(rgb, 480, 400));
    ASSERT_EQ(ReadPictureFile(path("p.kvi"), PicturePart::Sound, out, length), kv::status::Ok);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(ReadPictureFile(path("p.kvi"), PicturePart::Note, out, length), kv::status::Ok);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(length, 0u);

    PictureAttributes r;
    ASSERT_EQ(ReadPictureFile(path("p.kvi"), r), kv::status::Ok);
    EXPECT_EQ(r.quality, 3);
    EXPECT_EQ(r.flash, 0);
    EXPECT_EQ(r.exposureIndex, 7);
    EXPECT_EQ(r.cameraId, "KV01");
    EXPECT_EQ(r.manufacturingWord, 1090518974u);
    EXPECT_EQ(r.captureTime, 1000000000u);
    EXPECT_EQ(r.rotation, 0);
    EXPECT_EQ(r.whiteBalance, WhiteBalanceState{});
    EXPECT_EQ(r.soundLength, 0u);
    EXPECT_EQ(r.pictureDataLength, 576000u);
}

TEST_F(ScratchDir, RotationSoundAndWhiteBalanceTagsFollowTheAttributes) {
    struct Case {
        std::int16_t rotation;
        int orientationTag; // 0 = no tag
    };
    const Bytes rgb = kvtest::testPicture(480, 400);
    for (const Case c : {Case{0, 0}, Case{1, 6}, Case{2, 3}, Case{3, 8}}) {
        PictureAttributes a = uncompressedPicture(rgb);
        a.rotation = c.rotation;
        a.soundClip = {1, 2, 3, 4, 5};
        a.whiteBalance = {{250, 240, 230}, 9, 1};
        ASSERT_EQ(StorePictureFile(a, path("r.kvi"), rgb), kv::status::Ok);
        const Bytes f = kvtest::readFile(path("r.kvi"));
        const auto t0 = tagsAt(f, 8);
        const auto t1 = tagsAt(f, secondIfd(f));
        for (const auto& tags : {t0, t1}) {
            if (c.orientationTag == 0) {
                EXPECT_FALSE(tags.count(tifftag::Orientation));
            } else {
                EXPECT_EQ(tags.at(tifftag::Orientation).second, unsigned(c.orientationTag));
            }
            EXPECT_EQ(tags.at(tifftag::WhiteBalanceState).first, 6u);
        }
        EXPECT_EQ(t0.at(tifftag::SoundClip).first, 5u);
        EXPECT_FALSE(t1.count(tifftag::SoundClip)); // the picture IFD never carries the sound

        PictureAttributes r;
        ASSERT_EQ(ReadPictureFile(path("r.kvi"), r), kv::status::Ok);
        EXPECT_EQ(r.rotation, c.rotation);
        EXPECT_EQ(r.whiteBalance, a.whiteBalance);
        EXPECT_EQ(r.soundLength, 5u);
        Bytes clip;
        std::uint32_t length = 99;
        ASSERT_EQ(ReadPictureFile(path("r.kvi"), PicturePart::Sound, clip, length), kv::status::Ok);
        EXPECT_EQ(clip, a.soundClip);
        EXPECT_EQ(length, 0u);
        // The pixels are never rotated in the file.
        ASSERT_EQ(ReadPictureFile(path("r.kvi"), PicturePart::Picture, clip, length),
                  kv::status::Ok);
        EXPECT_EQ(clip, rgb);
    }
}

TEST_F(ScratchDir, RewriteKeepsThumbnailSoundAndDataAndTakesNewAttributes) {
    const Bytes rgb = kvtest::testPicture(480, 400, 1);
    PictureAttributes a = uncompressedPicture(rgb);
    a.soundClip = Bytes(3001, 0x55);
    ASSERT_EQ(StorePictureFile(a, path("w.kvi"), rgb), kv::status::Ok);

    PictureAttributes changed;
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), changed), kv::status::Ok);
    changed.rotation = 3;
    changed.whiteBalance = {{10, 20, 30}, 0, 1};
    ASSERT_EQ(RewritePictureFile(changed), kv::status::Ok);

    const Bytes f = kvtest::readFile(path("w.kvi"));
    EXPECT_EQ(kv::loadLe16(f, 2), kKviVersion);
    PictureAttributes r;
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), r), kv::status::Ok);
    EXPECT_EQ(r.rotation, 3);
    EXPECT_EQ(r.whiteBalance, changed.whiteBalance);
    EXPECT_EQ(r.captureTime, a.captureTime);
    EXPECT_EQ(r.cameraId, a.cameraId);
    Bytes out;
    std::uint32_t length = 0;
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), PicturePart::Sound, out, length), kv::status::Ok);
    EXPECT_EQ(out, a.soundClip);
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), PicturePart::Thumbnail, out, length), kv::status::Ok);
    EXPECT_EQ(out, MakeThumbnail(rgb, 480, 400));
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), PicturePart::Picture, out, length), kv::status::Ok);
    EXPECT_EQ(out, rgb);

    // Switching automatic white balance on before the white points are known is kept.
    changed.whiteBalance = {{0, 0, 0}, 0, 1};
    ASSERT_EQ(RewritePictureFile(changed), kv::status::Ok);
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), r), kv::status::Ok);
    EXPECT_EQ(r.whiteBalance, changed.whiteBalance);

    PictureAttributes missing;
    missing.path = path("none.kvi").string();
    EXPECT_NE(RewritePictureFile(missing), kv::status::Ok);
    EXPECT_FALSE(std::filesystem::exists(path("none.kvi")));
}

TEST_F(ScratchDir, WaveletPictureKeepsItsDataAndDecodesThroughTheCodec) {
    const Bytes rgb = kvtest::testPicture(480, 400, 2);
    kv::codec::WaveletCodec codec;
    PictureAttributes a;
    a.quality = kQualityBest;
    a.exposureIndex = 3;
    a.pictureData = codec.encodeCameraPicture(rgb, {.quality = 0});
    ASSERT_GT(a.pictureData.size(), 8u);
    ASSERT_EQ(StorePictureFile(a, path("w.kvi"), nullptr, &codec), kv::status::Ok);
    EXPECT_NE(a.captureTime, 0u); // a picture without a time gets the current time

    const Bytes f = kvtest::readFile(path("w.kvi"));
    EXPECT_EQ(kv::loadLe16(f, 2), kKviVersion);
    const auto t1 = tagsAt(f, secondIfd(f));
    EXPECT_EQ(t1.at(tifftag::Compression).second, 492u);
    EXPECT_EQ(t1.at(tifftag::StripByteCounts).second, 576000u); // nominal
    EXPECT_EQ(t1.at(tifftag::PictureDataLength).second, a.pictureData.size());
    EXPECT_EQ(f.size(), t1.at(tifftag::StripOffsets).second + a.pictureData.size());

    Bytes expected(576000);
    ASSERT_EQ(codec.DecodePicture(SplitPictureData(kSectionStream, a.pictureData), expected, 0),
              kv::status::Ok);
    Bytes out;
    std::uint32_t length = 0;
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), PicturePart::Picture, out, length, &codec),
              kv::status::Ok);
    EXPECT_EQ(length, 576000u);
    EXPECT_EQ(out, expected);
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), PicturePart::Thumbnail, out, length), kv::status::Ok);
    EXPECT_EQ(out, MakeThumbnail(expected, 480, 400));
    ASSERT_EQ(ReadPictureFile(path("w.kvi"), PicturePart::Note, out, length), kv::status::Ok);
    EXPECT_EQ(out, kv::codec::cameraNoteSection(0));
    EXPECT_EQ(length, out.size());

    // A damaged stream reports failure and length 0.
    PictureAttributes bad = a;
    bad.pictureData.resize(bad.pictureData.size() / 2);
    EXPECT_NE(StorePictureFile(bad, path("bad.kvi"), nullptr, &codec), kv::status::Ok);
    EXPECT_FALSE(std::filesystem::exists(path("bad.kvi")));
}

TEST(SplitPictureData, FindsTheNoteSectionFromPositionFourOn) {
    struct Case {
        Bytes data;
        std::size_t noteLength;
    };
    const std::vector<Case> cases = {
        {{0x03, 0x03, 'a', 'b', 0x04, 0x04, 9, 9}, 6},
        {{0x03, 0x03, 'a', 'b', 0x04, 0x04}, 6},
        {{0x03, 0x03, 0x04, 0x04, 7, 7}, 0},             // the search starts at position 4
        {{0x03, 0x03, 0, 0, 0, 0x04, 0x04, 0x04, 1}, 7}, // the first match wins
        {{0x03, 0x03, 1, 2, 3}, 0},                      // no end marker
        {{0x03, 0x04, 1, 2, 0x04, 0x04}, 0},             // no start marker
        {{0x03, 0x03}, 0},
        {{}, 0},
    };
    for (const Case& c : cases) {
        const kv::ByteSpan note = SplitPictureData(kSectionNote, c.data);
        const kv::ByteSpan stream = SplitPictureData(kSectionStream, c.data);
        EXPECT_EQ(note.size(), c.noteLength);
        EXPECT_EQ(stream.size(), c.data.size() - c.noteLength);
        if (!c.data.empty()) {
            EXPECT_EQ(stream.data(), c.data.data() + c.noteLength);
        }
    }
}

TEST(MakeThumbnail, AveragesEachFourByFourBlockTruncated) {
    Bytes rgb(8 * 4 * 3, 0);
    // Block 0: red values 0..15 (sum 120 -> 7), green all 255, blue a single 15 (-> 0).
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            std::uint8_t* p = &rgb[(std::size_t(y) * 8 + std::size_t(x)) * 3];
            p[0] = static_cast<std::uint8_t>(y * 4 + x);
            p[1] = 255;
            p[2] = (x == 0 && y == 0) ? 15 : 0;
        }
    }
    const Bytes t = MakeThumbnail(rgb, 8, 4);
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0], 7);
    EXPECT_EQ(t[1], 255);
    EXPECT_EQ(t[2], 0);
    EXPECT_EQ(t[3], 0);
}

// Files written by another writer: a thumbnail of another width, a manufacturing word stored
// as text and a camera id longer than 10 characters.
TEST_F(ScratchDir, ForeignThumbnailWidthsAndTextFieldsAreRead) {
    IfdDescription d;
    d.width = 160;
    d.height = 90;
    d.subfileType = 1;
    d.photometric = 2;
    d.cameraId = "ABCDEFGHIJKLMN";
    const Bytes thumb = kvtest::testPicture(160, 90);
    auto w = CreateTiff(path("f.tif"), 1, false);
    ASSERT_EQ(WriteIfd(*w, d), 0);
    ASSERT_TRUE(WriteData(*w, thumb));
    ASSERT_EQ(CloseTiff(*w), kv::status::Ok);

    Bytes out;
    std::uint32_t length = 0;
    ASSERT_EQ(ReadPictureFile(path("f.tif"), PicturePart::Thumbnail, out, length), kv::status::Ok);
    ASSERT_EQ(out.size(), 36000u);
    for (int y : {0, 45, 89}) {
        for (int x : {0, 60, 119}) {
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(out[(std::size_t(y) * 120 + std::size_t(x)) * 3 + std::size_t(c)],
                          thumb[(std::size_t(y) * 160 + std::size_t(x)) * 3 + std::size_t(c)]);
        }
    }
    for (int c = 0; c < 3; ++c) // rows below the foreign thumbnail stay black
        EXPECT_EQ(out[(95 * 120 + 5) * 3 + std::size_t(c)], 0);

    PictureAttributes r;
    r.quality = 1; // absent tags keep the record's values
    ASSERT_EQ(ReadPictureFile(path("f.tif"), r), kv::status::Ok);
    EXPECT_EQ(r.cameraId, "ABCDEFGHIJ");
    EXPECT_EQ(r.quality, 1);
    EXPECT_EQ(r.pictureDataLength, 576000u);

    // Tag 522 as ASCII "1090519331".
    Bytes f{'I', 'I', 42, 0, 8, 0, 0, 0};
    kv::appendLe16(f, 1);
    kv::appendLe16(f, tifftag::ManufacturingWord);
    kv::appendLe16(f, kTiffAscii);
    kv::appendLe32(f, 11);
    kv::appendLe32(f, 26);
    kv::appendLe32(f, 0);
    const std::string text = "1090519331";
    f.insert(f.end(), text.begin(), text.end());
    f.push_back(0);
    kvtest::writeFile(path("m.tif"), f);
    ASSERT_EQ(ReadPictureFile(path("m.tif"), r), kv::status::Ok);
    EXPECT_EQ(r.manufacturingWord, 1090519331u);
}

TEST_F(ScratchDir, TruncatedAndMissingFilesFailWithoutCrashing) {
    const Bytes rgb = kvtest::testPicture(480, 400, 3);
    kv::codec::WaveletCodec codec;
    PictureAttributes a;
    a.quality = kQualityStandard;
    a.soundClip = Bytes(2000, 0x11);
    a.pictureData = codec.encodeCameraPicture(rgb, {.quality = 1});
    ASSERT_EQ(StorePictureFile(a, path("full.kvi"), nullptr, &codec), kv::status::Ok);
    const Bytes f = kvtest::readFile(path("full.kvi"));

    Bytes out;
    std::uint32_t length = 0;
    for (std::size_t n = 0; n < f.size(); n += (n < 600 ? 1 : 997)) {
        kvtest::writeFile(path("t.kvi"), kv::ByteSpan(f).first(n));
        for (PicturePart part : {PicturePart::Sound, PicturePart::Thumbnail, PicturePart::Note})
            (void)ReadPictureFile(path("t.kvi"), part, out, length, &codec);
        PictureAttributes r;
        (void)ReadPictureFile(path("t.kvi"), r);
        // The picture data ends the file: every cut of it must fail.
        EXPECT_NE(ReadPictureFile(path("t.kvi"), PicturePart::Picture, out, length, &codec),
                  kv::status::Ok)
            << n;
        EXPECT_EQ(length, 0u);
    }
    for (PicturePart part :
         {PicturePart::Sound, PicturePart::Thumbnail, PicturePart::Picture, PicturePart::Note})
        EXPECT_EQ(ReadPictureFile(path("none.kvi"), part, out, length), kv::status::Failed);
    PictureAttributes r;
    EXPECT_EQ(ReadPictureFile(path("none.kvi"), r), kv::status::Failed);
}

} // namespace
