#include "imaging/process/color_params.h"
#include "imaging/process/dsp_params.h"
#include "imaging/process/dsp_simulation.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace kv::process {
namespace {

TEST(DspParams, ReadsEveryLabel) {
    const std::string text = "camera parameters\n"
                             "BTGR black: 10 20 30 40\n"
                             "pass3_scale: 300\n"
                             "color_matrix_hi[BGTR]: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
                             "color_matrix_flash[BGTR]: -1 -2 -3\n"
                             "saturation_coeffs[RGB]: 9000 8192 7000\n"
                             "alpha high = 300, low = 40\n";
    const DspParams p = ParseDspParams(text);
    EXPECT_EQ(p.labelsFound, 7);
    // B T G R in the file, B G T R in the cells.
    EXPECT_EQ(p.black, (std::array<int, 4>{10, 30, 20, 40}));
    EXPECT_EQ(p.scale, (std::array<int, 4>{300, 300, 300, 300}));
    EXPECT_EQ(p.matrixHigh[0], (std::array<int, 4>{1, 2, 3, 4}));
    EXPECT_EQ(p.matrixHigh[3], (std::array<int, 4>{13, 14, 15, 16}));
    const DspParams defaults = DefaultDspParams();
    EXPECT_EQ(p.matrixFlash[0], (std::array<int, 4>{-1, -2, -3, defaults.matrixFlash[0][3]}));
    EXPECT_EQ(p.matrixFlash[1], defaults.matrixFlash[1]);
    EXPECT_EQ(p.saturation, (std::array<int, 3>{9000, 8192, 7000}));
    EXPECT_EQ(p.alphaHigh, 300);
    EXPECT_EQ(p.alphaLow, 40);
}

TEST(DspParams, DefaultsMissingLabelsAndTheReadLimit) {
    const DspParams defaults = DefaultDspParams();
    // The defaults come from the converted default colour parameters.
    const CameraColorBlock block = ConvertColorParams(DefaultColorParams());
    // Their columns B, R, G, T are put into the cells' order B, G, T, R.
    EXPECT_EQ(defaults.matrixHigh[1][kT], block.high[1][kColumnT]);
    EXPECT_EQ(defaults.matrixHigh[1][kR], block.high[1][kColumnR]);
    EXPECT_EQ(defaults.matrixHigh[3][kG], block.highLuminance[kColumnG]);
    EXPECT_EQ(defaults.saturation[0], 11111);

    struct Row {
        std::string text;
        int labels;
        int blackB;
        std::array<int, 4> scale;
    };
    const Row rows[] = {
        {"", 0, 0, {256, 256, 256, 256}},
        {"BTGR black: 5", 1, 5, {256, 256, 256, 256}},
        {"BTGR black: x 5", 1, 0, {256, 256, 256, 256}},
        {"pass3_scale: 1 2 3 4", 1, 0, {1, 3, 2, 4}},
        {"BTGR black: 99999999999 7", 1, 0, {256, 256, 256, 256}},
        {std::string(1990, ' ') + "BTGR black: 5", 0, 0, {256, 256, 256, 256}},
        {std::string(1980, ' ') + "BTGR black: 5 6", 1, 5, {256, 256, 256, 256}},
        {std::string("BTGR black:\0 5", 14), 1, 0, {256, 256, 256, 256}},
    };
    for (const Row& row : rows) {
        const DspParams p = ParseDspParams(row.text);
        EXPECT_EQ(p.labelsFound, row.labels) << row.text.size();
        EXPECT_EQ(p.black[kB], row.blackB) << row.text.size();
        EXPECT_EQ(p.scale, row.scale) << row.text.size();
        EXPECT_EQ(p.matrixHigh, defaults.matrixHigh);
    }
}

TEST(DspSimulation, SharpeningGainFollowsItsThresholds) {
    struct Row {
        std::int32_t y, s;
        int high, low;
        std::int32_t gain;
    };
    // Y in 16-bit units; thresholds compare with Y >> 6. k = 16384 / (256 - 64) = 85.
    for (Row row : {Row{63 << 6, 2 * (63 << 6), 256, 64, 4096},   // below low: w = 0
                    Row{257 << 6, 257 << 6, 256, 64, 4096},       // flat: S = Y
                    Row{257 << 6, 2 * (257 << 6), 256, 64, 8192}, // above high, S = 2Y
                    Row{257 << 6, (257 << 6) / 2, 256, 64, 2048},
                    Row{160 << 6, 2 * (160 << 6), 256, 64, 4096 + 64 * ((85 * 160 - 85 * 64) >> 8)},
                    Row{0, 1000, 256, 0, 4096},              // Y = 0 never divides
                    Row{100 << 6, 200 << 6, 100, 100, 8192}, // equal thresholds: a step
                    Row{99 << 6, 200 << 6, 100, 100, 4096},
                    Row{257 << 6, 65535, 256, 64, 4096 + (64 * 65535 / (257 << 6) - 64) * 64}})
        EXPECT_EQ(SharpeningGain(row.y, row.s, row.high, row.low), row.gain)
            << row.y << " " << row.s << " " << row.high << " " << row.low;
}

TEST(DspSimulation, DefaultGammaGainsAreTheBuiltInTable) {
    const GammaGainTable g = DefaultGammaGainTable();
    EXPECT_EQ(g[0], 0);
    for (int i = 1; i <= 4; ++i)
        EXPECT_EQ(g[i], 4096);
    EXPECT_EQ(g[1023], 4098);
    EXPECT_EQ(g[255], 8799);
    const auto peak = std::max_element(g.begin(), g.end());
    EXPECT_EQ(*peak, 16287);
    EXPECT_EQ(peak - g.begin(), 82);

    std::uint8_t bytes[kGammaGainBytes] = {};
    bytes[2] = 0x00;
    bytes[3] = 0x10;
    GammaGainTable parsed{};
    ASSERT_TRUE(ParseGammaGainTable(bytes, sizeof bytes, parsed));
    EXPECT_EQ(parsed[1], 4096);
    EXPECT_FALSE(ParseGammaGainTable(bytes, sizeof bytes - 1, parsed));
}

std::vector<std::uint16_t> flatMosaic(std::uint16_t b, std::uint16_t g, std::uint16_t t,
                                      std::uint16_t r) {
    std::vector<std::uint16_t> m(kMosaicSamples);
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k)
            SetMosaicCell(m.data(), k, j, {b, g, t, r});
    return m;
}

TEST(DspSimulation, BlackStaysBlackAndGreyStaysNeutral) {
    DspParams params = DefaultDspParams();
    params.black = {30, 30, 30, 30};
    // At the black level and below everything is subtracted away.
    const auto dark = flatMosaic(30, 20, 10, 30);
    const DspResult black = RunDspSimulation(dark.data(), params, {});
    ASSERT_TRUE(black.completed) << black.error;
    EXPECT_EQ(black.rgb8, std::vector<std::uint8_t>(kCellCount * 3, 0));

    // A matrix that maps every channel equally to Y (and not to colour) gives a grey picture,
    // brighter for a brighter input.
    params.black = {0, 0, 0, 0};
    params.matrixHigh = {
        {{2048, 2048, 2048, 2048}, {0, 0, 0, 0}, {0, 0, 0, 0}, {2048, 2048, 2048, 2048}}};
    std::uint8_t previous = 0;
    for (std::uint16_t level : {50, 200, 600}) {
        const auto grey = flatMosaic(level, level, level, level);
        const DspResult r = RunDspSimulation(grey.data(), params, {});
        ASSERT_TRUE(r.completed);
        EXPECT_EQ(r.rgb8[0], r.rgb8[1]);
        EXPECT_EQ(r.rgb8[1], r.rgb8[2]);
        EXPECT_GT(r.rgb8[0], previous) << level;
        previous = r.rgb8[0];
        EXPECT_EQ(r.ycc[1][1000], 0);
    }
}

TEST(DspSimulation, WritesTheDebugPicturesInOrder) {
    testing::ScratchDir dir;
    DspOptions options;
    options.debugFolder = dir.path();
    const auto mosaic = flatMosaic(100, 300, 200, 250);
    const DspResult r = RunDspSimulation(mosaic.data(), DefaultDspParams(), options);
    ASSERT_TRUE(r.completed) << r.error;
    ASSERT_EQ(r.debugFiles.size(), std::size_t(kDspDebugCount));
    for (int i = 0; i < kDspDebugCount; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%03d%s", i, kDspDebugNames[i]);
        EXPECT_EQ(r.debugFiles[i], dir / name);
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    }
    struct Form {
        const char* name;
        std::uint32_t width;
        int samples, bits;
    };
    for (Form f : {Form{"002dmono16.tif", 960, 1, 16}, Form{"003drgbt16.tif", 480, 4, 8},
                   Form{"004raw_drgb16.tif", 480, 3, 16}, Form{"009maxBRGT.tif", 480, 1, 16}}) {
        imaging::WorkingPicture p;
        ASSERT_EQ(imaging::ReadWorkingTiff(dir / f.name, p), status::Ok) << f.name;
        EXPECT_EQ(p.ifd.width, f.width) << f.name;
        EXPECT_EQ(p.ifd.samplesPerPixel, f.samples) << f.name;
        EXPECT_EQ(p.ifd.bitsPerSample, f.bits) << f.name;
        EXPECT_EQ(p.ifd.subfileType, 1u) << f.name;
    }
    // The four raw channels shifted right by 2, in the order R, G, B, T.
    imaging::WorkingPicture rgbt;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "003drgbt16.tif", rgbt), status::Ok);
    EXPECT_EQ(rgbt.data[0], 250 >> 2);
    EXPECT_EQ(rgbt.data[1], 300 >> 2);
    EXPECT_EQ(rgbt.data[2], 100 >> 2);
    EXPECT_EQ(rgbt.data[3], 200 >> 2);
    // The YCbCr pictures carry Cb and Cr around 32768.
    imaging::WorkingPicture unsat;
    ASSERT_EQ(imaging::ReadWorkingTiff(dir / "016unsat.tif", unsat, 1), status::Ok);
    EXPECT_EQ(imaging::samples16(unsat)[0], 32768);
}

TEST(DspSimulation, CancelsBetweenStages) {
    testing::RecordingOperator op(2);
    const auto mosaic = flatMosaic(100, 100, 100, 100);
    const DspResult r = RunDspSimulation(mosaic.data(), DefaultDspParams(), {}, &op);
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(op.steps, 2);
    EXPECT_TRUE(r.rgb8.empty());
}

TEST(DspSimulation, DevelopMtxHasOneValuePerLine) {
    DspParams p = DefaultDspParams();
    p.matrixFlash[0][0] = 4096;
    const std::string text = DevelopMtxText(p, true);
    EXPECT_EQ(text.rfind("color_matrix_flash[BGTR]\r\n0.5\r\n", 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 16 + 1 + 4 + 1 + 4 + 1 + 3 + 2 + 2);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'),
              std::count(text.begin(), text.end(), '\n'));
    EXPECT_TRUE(text.ends_with("alpha low\r\n64\r\n"));
}

} // namespace
} // namespace kv::process
