#include "imaging/picture_file.h"
#include "imaging/process/cell_render.h"
#include "imaging/process/process_commands.h"
#include "imaging/process/ram_file.h"
#include "imaging/process/ycc_planes.h"
#include "imaging/tiff_forms.h"
#include "platform/atomic_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace kv::process {
namespace {

// A RAM file with a smooth picture: every site a different ramp.
Bytes smoothRam() {
    std::vector<std::uint16_t> mosaic(kMosaicSamples);
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k)
            SetMosaicCell(mosaic.data(), k, j,
                          {std::uint16_t(k * 2), std::uint16_t(j * 2),
                           std::uint16_t((k + j) % 1024), std::uint16_t(1023 - k)});
    return PackMosaic(mosaic.data(), 0);
}

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform::writeFileAtomically(ramPath, smoothRam())); }
    testing::ScratchDir dir;
    Path ramPath = dir / "picture.ram";
    testing::RecordingOperator op;
};

TEST_F(CommandsTest, RamFileThroughMono16AndBack) {
    ASSERT_EQ(RamFileToMono16Tiff(ramPath, dir / "m16.tif", &op), status::Ok);
    EXPECT_EQ(op.messages.back(), "Finished writing file: " + (dir / "m16.tif").string());
    ASSERT_EQ(Mono16TiffToRamFile(dir / "m16.tif", dir / "back.ram", &op), status::Ok);
    Bytes original, back;
    ASSERT_TRUE(platform::readWholeFile(ramPath, original));
    ASSERT_TRUE(platform::readWholeFile(dir / "back.ram", back));
    EXPECT_EQ(back, original);

    imaging::WorkingPicture p;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "m16.tif", p), status::Ok);
    EXPECT_EQ(p.ifd.subfileType, 0u);
    EXPECT_EQ(p.ifd.time, 0u);
    EXPECT_EQ(imaging::samples16(p), UnpackMosaic(original, 6));
}

TEST_F(CommandsTest, RgbRenderingsWithAndWithoutUnityGains) {
    ASSERT_EQ(RamFileToRgbTiff(ramPath, dir / "rgb.tif", &op), status::Ok);
    std::vector<std::uint16_t> unity(kMosaicSamples, 1024);
    ASSERT_EQ(imaging::WriteMono16Tiff(dir / "gain.tif", kMosaicWidth, kMosaicHeight, unity.data()),
              status::Ok);
    ASSERT_EQ(RamFileToGainCorrectedRgb(ramPath, dir / "gain.tif", dir / "gc.tif", &op),
              status::Ok);
    imaging::WorkingPicture plain, corrected;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "rgb.tif", plain), status::Ok);
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "gc.tif", corrected), status::Ok);
    EXPECT_EQ(corrected.ifd.width, 480u);
    EXPECT_EQ(corrected.ifd.height, 400u);
    EXPECT_EQ(plain.ifd.samplesPerPixel, 3);
    EXPECT_EQ(corrected.data, plain.data);

    Bytes ram;
    ASSERT_TRUE(LoadRamFile(ramPath, ram, nullptr));
    std::vector<std::uint8_t> expected(kCellCount * 3);
    RenderCells(ram, expected.data());
    EXPECT_EQ(plain.data, Bytes(expected.begin(), expected.end()));
}

TEST_F(CommandsTest, GainCorrectedMono16DoublesWithGain2048) {
    std::vector<std::uint16_t> gains(kMosaicSamples, 2048);
    ASSERT_EQ(imaging::WriteMono16Tiff(dir / "gain.tif", kMosaicWidth, kMosaicHeight, gains.data()),
              status::Ok);
    ASSERT_EQ(RamFileToGainCorrectedMono16(ramPath, dir / "gain.tif", dir / "gc16.tif", &op),
              status::Ok);
    imaging::WorkingPicture p;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "gc16.tif", p), status::Ok);
    const auto out = imaging::samples16(p);
    Bytes ram;
    ASSERT_TRUE(LoadRamFile(ramPath, ram, nullptr));
    const auto in = UnpackMosaic(ram, 6);
    for (std::size_t i = 0; i < kMosaicSamples; i += 997)
        EXPECT_EQ(out[i], std::min(65535, in[i] * 2)) << i;
}

TEST_F(CommandsTest, MissingInputsReportFileErrorAndWriteNothing) {
    using Command = std::function<Status()>;
    const Path none = dir / "none.ram";
    const Command commands[] = {
        [&] { return RamFileToRgbTiff(none, dir / "o1.tif", &op); },
        [&] { return RamFileToMono8Tiff(none, dir / "o2.tif", &op); },
        [&] { return Mono16TiffToRamFile(dir / "none.tif", dir / "o3.ram", &op); },
        [&] {
            return RamFileToGainCorrectedMono16(ramPath, dir / "nogain.tif", dir / "o4.tif", &op);
        },
        [&] { return TransferToRgbLuminance(none, dir / "o5.tif", &op); },
        [&] { return Tiff16ToBlackWhite(dir / "none.tif", dir / "o6.tif", &op); },
    };
    for (const Command& command : commands) {
        op.messages.clear();
        EXPECT_EQ(command(), status::Failed);
        EXPECT_EQ(op.messages, std::vector<std::string>{"FileError!"});
    }
    for (const char* name : {"o1.tif", "o2.tif", "o3.ram", "o4.tif", "o5.tif", "o6.tif"})
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
}

TEST_F(CommandsTest, MatrixConversionAndTheYccPair) {
    ASSERT_EQ(RamFileToMono16Tiff(ramPath, dir / "m16.tif"), status::Ok);
    // Columns B, R, G, T: this matrix copies each colour to its own site.
    ASSERT_TRUE(platform::writeFileAtomically(dir / "color.mtx",
                                              std::string_view("0 1 0 0\n0 0 1 0\n1 0 0 0\n")));
    ASSERT_EQ(MatrixConversion(dir / "m16.tif", dir / "color.mtx", dir / "same.tif"), status::Ok);
    imaging::WorkingPicture in, same;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "m16.tif", in), status::Ok);
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "same.tif", same), status::Ok);
    EXPECT_EQ(same.data, in.data);

    ASSERT_EQ(CellRgbToYcc(dir / "m16.tif", dir / "ycc.tif"), status::Ok);
    ASSERT_EQ(CellYccToRgb(dir / "ycc.tif", dir / "rgb.tif"), status::Ok);
    imaging::WorkingPicture back;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "rgb.tif", back), status::Ok);
    const auto a = imaging::samples16(in), b = imaging::samples16(back);
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    EXPECT_LE(worst, 64); // the four-digit coefficients are not an exact inverse pair

    ASSERT_TRUE(platform::writeFileAtomically(dir / "short.mtx", std::string_view("1 2 3")));
    EXPECT_EQ(MatrixConversion(dir / "m16.tif", dir / "short.mtx", dir / "x.tif", &op),
              status::Failed);
    EXPECT_FALSE(std::filesystem::exists(dir / "x.tif"));
}

TEST_F(CommandsTest, LuminanceChannelAndBlackWhite) {
    ASSERT_EQ(TransferToRgbLuminance(ramPath, dir / "rgbl.tif"), status::Ok);
    imaging::WorkingPicture p;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "rgbl.tif", p), status::Ok);
    ASSERT_EQ(p.ifd.samplesPerPixel, 4);
    for (std::size_t i = 0; i < kCellCount; i += 1013) {
        const double y =
            0.299 * p.data[4 * i] + 0.587 * p.data[4 * i + 1] + 0.114 * p.data[4 * i + 2];
        EXPECT_NEAR(p.data[4 * i + 3], y, 1.0) << i;
    }

    ASSERT_EQ(RamFileToMono16Tiff(ramPath, dir / "m16.tif"), status::Ok);
    ASSERT_EQ(Tiff16ToBlackWhite(dir / "m16.tif", dir / "bw.tif"), status::Ok);
    imaging::WorkingPicture m16, bw;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "m16.tif", m16), status::Ok);
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "bw.tif", bw), status::Ok);
    const auto s = imaging::samples16(m16);
    ASSERT_EQ(bw.data.size(), s.size());
    for (std::size_t i = 0; i < s.size(); i += 1009)
        EXPECT_EQ(bw.data[i], s[i] >> 8);

    // Three 16-bit planes give their luminance.
    std::vector<std::uint16_t> planes(3 * 4, 0);
    for (int i = 0; i < 4; ++i)
        planes[i] = planes[4 + i] = planes[8 + i] = 0x8000;
    ASSERT_EQ(imaging::WriteRgb16PlanesTiff(dir / "p16.tif", 2, 2, planes.data()), status::Ok);
    ASSERT_EQ(Tiff16ToBlackWhite(dir / "p16.tif", dir / "pbw.tif"), status::Ok);
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "pbw.tif", bw), status::Ok);
    EXPECT_EQ(bw.data, Bytes(4, 0x80));
}

TEST_F(CommandsTest, YccCompressDecompressKeepsThePicture) {
    ASSERT_EQ(RamFileToRgbTiff(ramPath, dir / "rgb.tif"), status::Ok);
    ASSERT_EQ(YccCompressDecompress(dir / "rgb.tif", dir.path(), dir / "result.tif",
                                    kDefaultYccScales, &op),
              status::Ok);
    for (const char* name : {"ycbcr.tif", "lessmean.tif", "xform.tif", "decomp.dat", "decoded.tif",
                             "qerr.tif", "invxfm.tif", "plusmean.tif", "to_rgb.tif", "lookup.tif"})
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    imaging::WorkingPicture rgb, toRgb;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "rgb.tif", rgb), status::Ok);
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "to_rgb.tif", toRgb), status::Ok);
    EXPECT_EQ(toRgb.ifd.subfileType, 1u);
    EXPECT_NE(toRgb.ifd.time, 0u);
    // Lossy but close: a PSNR floor over all but the repeated last column.
    double squared = 0;
    std::size_t count = 0;
    for (int r = 0; r < 400; ++r)
        for (int x = 0; x < 479; ++x)
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = 3 * (std::size_t(r) * 480 + x) + c;
                const double d = double(rgb.data[i]) - toRgb.data[i];
                squared += d * d;
                ++count;
            }
    const double psnr = 10 * std::log10(255.0 * 255.0 / std::max(squared / count, 1e-9));
    EXPECT_GT(psnr, 30.0);
    imaging::WorkingPicture result;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "result.tif", result), status::Ok);
    EXPECT_EQ(result.ifd.width, 960u);
}

TEST_F(CommandsTest, DspSimulationAndWaveletPicture) {
    DspCommand command;
    command.variant = DspVariant::D;
    command.input = ramPath;
    command.out = dir / "dsp.tif";
    command.debugFolder = dir / "debug";
    command.developFolder = dir.path();
    std::filesystem::create_directories(command.debugFolder);
    ASSERT_EQ(DspSimulationCommand(command, &op), status::Ok);
    EXPECT_TRUE(std::filesystem::exists(dir / "develop.mtx"));
    EXPECT_TRUE(std::filesystem::exists(dir / "debug" / "022drgb sharp.tif"));
    imaging::WorkingPicture p;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "dsp.tif", p), status::Ok);
    EXPECT_EQ(p.data.size(), kCellCount * 3);

    // Variant A writes no debug pictures.
    command.variant = DspVariant::A;
    command.debugFolder = dir / "debugA";
    std::filesystem::create_directories(command.debugFolder);
    ASSERT_EQ(DspSimulationCommand(command, &op), status::Ok);
    EXPECT_TRUE(std::filesystem::is_empty(command.debugFolder));

    ASSERT_EQ(RamFileToMono16Tiff(ramPath, dir / "m16.tif"), status::Ok);
    ASSERT_EQ(TiffToKviWavelet(dir / "m16.tif", std::nullopt, dir / "p.kvi", &op), status::Ok);
    Bytes picture;
    std::uint32_t length = 0;
    ASSERT_EQ(
        imaging::ReadPictureFile(dir / "p.kvi", imaging::PicturePart::Picture, picture, length),
        status::Ok);
    EXPECT_EQ(length, 576000u);
}

} // namespace
} // namespace kv::process
