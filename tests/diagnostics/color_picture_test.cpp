#include "camera/parameter_block.h"
#include "diagnostics/color_commands.h"
#include "diagnostics/picture_commands.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"
#include "station_rig.h"

namespace kv::testing {
namespace {

using namespace diagnostics;

TEST(NeutralBalance, MakesTheTargetNeutralWithTheSmallestChange) {
    const process::ColorParams params = process::DefaultColorParams();
    const ChannelMeans target{360, 450, 405, 382};
    const auto k = neutralBalance(params, params.balanceDay, target);
    ASSERT_TRUE(k);
    // The matrix columns (and the balance) are B, R, G, T; the means B, G, T, R.
    const ChannelMeans means = process::ToColumnOrder(target);
    std::array<double, 3> rgb{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            rgb[std::size_t(r)] += params.high[std::size_t(r)][std::size_t(c)] *
                                   (*k)[std::size_t(c)] * means[std::size_t(c)];
    EXPECT_NEAR(rgb[0], rgb[1], 1e-6 * rgb[1]);
    EXPECT_NEAR(rgb[2], rgb[1], 1e-6 * rgb[1]);
    // A target that is neutral already keeps its coefficients.
    ChannelMeans neutral{};
    const auto again = neutralBalance(params, *k, target);
    ASSERT_TRUE(again);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR((*again)[std::size_t(c)], (*k)[std::size_t(c)], 1e-9);
    EXPECT_FALSE(neutralBalance(params, params.balanceDay, neutral)); // no light: singular
}

TEST(ColorCommands, NeutralizeWritesTheBalanceIntoTheCamera) {
    struct Row {
        std::string rect;
        bool flash;
        bool succeeds;
        std::string box;
    };
    const Row rows[] = {
        {"160 120 319 279", false, true, "Color Conversion Change Successfull."},
        {"150 110 330 290", true, true, "Color Conversion Change Successfull."},
        {"0 0 40 40", false, false, "Error: neutral target not found!"},       // dark corner
        {"400 300 500 420", false, false, "Error: neutral target not found!"}, // outside
    };
    for (const Row& row : rows) {
        StationRig rig;
        const Bytes before = rig.store([](camsim::TransferStore& s) { return s.parameterRecord; });
        rig.op.answers["If flash picture, press OK\nOtherwise CANCEL."] = row.flash ? "yes" : "no";
        rig.op.answers["Enter Rect: l t r b:"] = row.rect;
        EXPECT_EQ(neutralizeCameraColor(rig.station), row.succeeds) << row.rect;
        EXPECT_TRUE(rig.op.said(row.box)) << row.rect;
        EXPECT_EQ(rig.profile.getString("COLOR_PARAMS", "NEUTRAL_RECTANGLE_LTRB"), row.rect);
        const Bytes after = rig.store([](camsim::TransferStore& s) { return s.parameterRecord; });
        if (!row.succeeds) {
            EXPECT_EQ(after, before);
            continue;
        }
        // Only the colour block changed (the record read mirrors bytes 36..67 at 88..119);
        // the balance of the chosen light is no longer the default (1 0.95 0.76 1), the other
        // one still is.
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + 88, after.begin()));
        EXPECT_TRUE(std::equal(before.begin() + 120, before.begin() + camera::kParamColorOffset,
                               after.begin() + 120));
        EXPECT_TRUE(std::equal(before.begin() + camera::kParamColorEnd, before.end(),
                               after.begin() + camera::kParamColorEnd));
        const std::size_t day = 268, flash = 276;
        const std::int16_t defaultG = process::ToCameraFixed(0.95);
        EXPECT_EQ(camera::paramWord(after, row.flash ? day + 2 : flash + 2), defaultG);
        EXPECT_NE(camera::paramWord(after, row.flash ? flash + 2 : day + 2), defaultG);
    }
}

TEST(ColorCommands, ColorMatrixTakesLevelsFromTheSettingsOrAWhiteImage) {
    StationRig rig;
    rig.profile.writeString("COLOR_PARAMS", "BRGT_LEVELS", "900 700 1000 800");
    ASSERT_TRUE(colorMatrix(rig.station));
    EXPECT_TRUE(rig.op.said("No white image\nBRGT levels read from *.INI file\nor default to "
                            "uniform levels"));
    Bytes record = rig.store([](camsim::TransferStore& s) { return s.parameterRecord; });
    const std::int16_t levels[4] = {900, 700, 1000, 800};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(camera::paramWord(record, camera::kParamLevelsOffset + 2 * i), levels[i]);
    EXPECT_EQ(camera::paramWord(record, camera::kParamColorOffset),
              process::ConvertColorParams(process::DefaultColorParams()).high[0][0]);

    // A white picture of the panel: its channel means, in B, R, G, T order.
    std::vector<std::uint16_t> white(process::kMosaicSamples);
    for (int j = 0; j < process::kCellRows; ++j)
        for (int k = 0; k < process::kCellColumns; ++k)
            process::SetMosaicCell(white.data(), k, j, {500 << 6, 600 << 6, 550 << 6, 450 << 6});
    const auto path = rig.dir / "white.tif";
    ASSERT_EQ(imaging::WriteMono16Tiff(path, 960, 800, white.data()), status::Ok);
    ASSERT_TRUE(colorMatrix(rig.station, path.string()));
    record = rig.store([](camsim::TransferStore& s) { return s.parameterRecord; });
    const std::int16_t measured[4] = {500, 450, 600, 550};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(camera::paramWord(record, camera::kParamLevelsOffset + 2 * i), measured[i]);
}

TEST(PictureCommands, CompensatedPictureWithAndWithoutP7) {
    for (bool refuseP7 : {false, true}) {
        StationRig rig;
        if (refuseP7) {
            camsim::FaultOptions f;
            f.refuseCommand = "P7";
            rig.camera.setFaults(f);
        }
        rig.camera.clearLogs();
        const auto before = rig.bench.clock().now();
        EXPECT_TRUE(takeUncompressedCompensated(rig.station));
        const auto order = rig.sequence({"P", "Q0", "Z1"});
        const std::vector<std::string> expected =
            refuseP7 ? std::vector<std::string>{"P7",   "Q0;3", "P0",   "Z1;1537",
                                                "Q0;0", "P0",   "Z1;0", "Q0;0"}
                     : std::vector<std::string>{"P7"};
        EXPECT_EQ(order, expected);
        EXPECT_EQ(rig.bench.clock().now() - before, refuseP7 ? 9000ms : 6000ms);
        EXPECT_TRUE(rig.station.errorText.empty());
    }
}

TEST(PictureCommands, SaveMonoWritesTheSensorMosaic) {
    StationRig rig;
    const auto path = rig.dir / "mono.tif";
    ASSERT_TRUE(acquireAndSaveMono(rig.station, path.string()));
    imaging::WorkingPicture picture;
    ASSERT_EQ(imaging::ReadWorkingTiff(path, picture), status::Ok);
    EXPECT_EQ(picture.ifd.width, 960u);
    EXPECT_EQ(picture.ifd.height, 800u);
    const auto samples = imaging::samples16(picture);
    ASSERT_EQ(samples.size(), process::kMosaicSamples);
    // The neutral target in the middle is brighter than the corner, samples shifted by 6.
    EXPECT_GT(samples[400 * 960 + 480], samples[10 * 960 + 10] + (100 << 6));
    EXPECT_EQ(samples[400 * 960 + 480] & 63, 0);
    const auto order = rig.sequence({"Z1", "Q0;3", "P0"});
    EXPECT_EQ(order, (std::vector<std::string>{"Z1;641", "Q0;3", "P0", "Z1;0"}));
}

TEST(PictureCommands, ContinuousTakePictureToggles) {
    StationRig rig;
    EXPECT_FALSE(continuousTakePictureChecked(rig.station));
    EXPECT_TRUE(toggleContinuousTakePicture(rig.station));
    EXPECT_EQ(rig.profile.getString("DIAGNOSTICS", "CONTINUOUS_TAKE_PICTURE"), "1");
    EXPECT_FALSE(toggleContinuousTakePicture(rig.station));
    rig.profile.writeString("DIAGNOSTICS", "CONTINUOUS_TAKE_PICTURE", "1x");
    EXPECT_TRUE(continuousTakePictureChecked(rig.station));
}

} // namespace
} // namespace kv::testing
