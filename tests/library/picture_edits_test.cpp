// The library layer's picture edits: a record and its .kvi file change together.
#include "imaging/edits.h"
#include "imaging/picture_file.h"
#include "library/picture_edits.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

namespace kv::library {
namespace {

TEST(PictureEdits, OrientationTurnsAndWraps) {
    struct Row {
        std::int16_t from;
        int direction;
        std::int16_t to;
    };
    for (Row row : {Row{0, 1, 1}, Row{1, 1, 2}, Row{2, 1, 3}, Row{3, 1, 0}, Row{0, -1, 3},
                    Row{2, -1, 1}, Row{7, 1, 0}, Row{-4, -1, 3}})
        EXPECT_EQ(NextOrientation(row.from, row.direction), row.to)
            << row.from << " " << row.direction;
}

class PictureEditsFile : public ::testing::Test {
protected:
    void SetUp() override {
        record.path = (dir / "picture.kvi").string();
        record.attributes.quality = imaging::kQualityUncompressed;
        record.attributes.pictureData.assign(imaging::kPictureBytes, 0x40);
        ASSERT_EQ(imaging::StorePictureFile(record.attributes, record.path,
                                            ByteSpan(record.attributes.pictureData)),
                  status::Ok);
        record.attributes.pictureData.clear();
    }
    imaging::PictureAttributes readBack() {
        imaging::PictureAttributes a;
        EXPECT_EQ(imaging::ReadPictureFile(record.path, a), status::Ok);
        return a;
    }
    kv::testing::ScratchDir dir;
    PictureRecord record;
};

TEST_F(PictureEditsFile, RotationIsWrittenIntoTheKviFile) {
    ASSERT_EQ(RotatePicture(record, kRotateClockwise), status::Ok);
    EXPECT_EQ(readBack().rotation, 1);
    ASSERT_EQ(RotatePicture(record, kRotateClockwise), status::Ok);
    EXPECT_EQ(readBack().rotation, 2);
    ASSERT_EQ(RotatePicture(record, kRotateCounterClockwise), status::Ok);
    ASSERT_EQ(RotatePicture(record, kRotateCounterClockwise), status::Ok);
    EXPECT_EQ(record.edits.rotation, 0);
    EXPECT_EQ(readBack().rotation, 0);
    // The picture data is never turned.
    Bytes picture;
    std::uint32_t length = 0;
    ASSERT_EQ(imaging::ReadPictureFile(record.path, imaging::PicturePart::Picture, picture, length),
              status::Ok);
    EXPECT_EQ(picture, Bytes(imaging::kPictureBytes, 0x40));
}

TEST_F(PictureEditsFile, WhiteBalanceFlagAndLaterWhitePointsAreWritten) {
    ASSERT_EQ(AutoWhiteBalance(record), status::Ok);
    EXPECT_EQ(record.edits.whiteBalance.enabled, 1);
    // The flag is kept even before any white point is known.
    EXPECT_EQ(readBack().whiteBalance, (imaging::WhiteBalanceState{{0, 0, 0}, 0, 1}));
    // Showing the picture finds the white points; storing the record keeps them.
    Bytes pixels(imaging::kPictureBytes, 0x40);
    imaging::ApplyWhiteBalance(&record.edits.whiteBalance, pixels.data(), pixels.size());
    ASSERT_EQ(StorePictureAttributes(record), status::Ok);
    EXPECT_EQ(readBack().whiteBalance, (imaging::WhiteBalanceState{{65, 65, 65}, 0, 1}));
}

TEST_F(PictureEditsFile, JpegPicturesChangeOnlyTheirRecord) {
    const auto before = std::filesystem::last_write_time(record.path);
    record.isJpeg = 1;
    record.path = (dir / "missing.jpg").string();
    ASSERT_EQ(RotatePicture(record, kRotateClockwise), status::Ok);
    ASSERT_EQ(AutoWhiteBalance(record), status::Ok);
    EXPECT_EQ(record.edits.rotation, 1);
    EXPECT_EQ(record.edits.whiteBalance.enabled, 1);
    EXPECT_FALSE(std::filesystem::exists(record.path));
    EXPECT_EQ(std::filesystem::last_write_time(dir / "picture.kvi"), before);
}

TEST_F(PictureEditsFile, AFailedRewriteKeepsRecordAndFileInStep) {
    std::vector<PictureRecord> list(3, record);
    list[0].highlighted = true;
    list[1].highlighted = true;
    list[1].path = (dir / "gone.kvi").string();
    EXPECT_EQ(RotatePictures(list, kRotateClockwise), status::Failed);
    EXPECT_EQ(list[0].edits.rotation, 1);
    EXPECT_EQ(list[1].edits.rotation, 0); // its file could not be rewritten
    EXPECT_EQ(list[2].edits.rotation, 0); // not highlighted
    EXPECT_EQ(AutoWhiteBalancePictures(list), status::Failed);
    EXPECT_EQ(list[1].edits.whiteBalance.enabled, 0);
    EXPECT_EQ(list[0].edits.whiteBalance.enabled, 1);
}

TEST(PictureEdits, DialogResults) {
    std::vector<PictureRecord> list(2);
    SetNoiseFilter(list, 25);
    EXPECT_EQ(list[0].edits.noiseIterations, 10);
    EXPECT_EQ(list[1].edits.noiseEnabled, 1);
    SetNoiseFilter(list, 0);
    EXPECT_EQ(list[0].edits.noiseIterations, 1);
    SetBrightness(list[0], imaging::BrightnessFactorForSlider(150));
    EXPECT_FLOAT_EQ(list[0].edits.brightness, 2.5f);
}

} // namespace
} // namespace kv::library
