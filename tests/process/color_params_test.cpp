#include "imaging/process/color_params.h"
#include "imaging/process/lumin_table.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kv::process {
namespace {

class ColorParamsTest : public ::testing::Test {
protected:
    testing::ScratchDir dir;
    settings::Profile profile{dir / "kvmini.INI"};
};

TEST_F(ColorParamsTest, AllKeysAbsentGiveDefaultsAndDerivedRows) {
    const ColorParams p = LoadColorParams(profile);
    EXPECT_DOUBLE_EQ(p.high[0][0], -0.5222);
    EXPECT_DOUBLE_EQ(p.high[2][3], -0.5613);
    EXPECT_DOUBLE_EQ(p.low[1][3], 0.8928);
    EXPECT_EQ(p.saturation, (std::array<double, 3>{1.3564, 1.0288, 1}));
    EXPECT_EQ(p.balanceFlash, (ChannelRow{1, 0.95, 0.76, 1}));
    for (int c = 0; c < 4; ++c) {
        EXPECT_NEAR(p.high[3][c], 0.29 * p.high[0][c] + 0.606 * p.high[1][c] + 0.104 * p.high[2][c],
                    1e-12);
        EXPECT_NEAR(p.low[3][c], 0.29 * p.low[0][c] + 0.606 * p.low[1][c] + 0.104 * p.low[2][c],
                    1e-12);
        for (int r = 0; r < 3; ++r)
            EXPECT_EQ(p.working[r][c], p.high[r][c]);
    }
}

TEST_F(ColorParamsTest, PresentValuesOverrideOnlyWhatTheyHold) {
    profile.writeString("COLOR_PARAMS", "MTX_HIGH", "1 2 3 4 5");
    profile.writeString("COLOR_PARAMS", "MTX_SAT", "  2.5\t0.5 ");
    profile.writeString("COLOR_PARAMS", "MTX_LUM_RGB", "1 0 0");
    profile.writeString("COLOR_PARAMS", "BAL_COEFFS_DAY", "0.5 abc 7");
    profile.writeString("COLOR_PARAMS", "BAL_COEFFS_SAT", "");
    const ColorParams p = LoadColorParams(profile);
    EXPECT_EQ(p.high[0], (ChannelRow{1, 2, 3, 4}));
    EXPECT_DOUBLE_EQ(p.high[1][0], 5);
    EXPECT_DOUBLE_EQ(p.high[1][1], -0.4318); // not in the shorter text: default
    EXPECT_EQ(p.saturation, (std::array<double, 3>{2.5, 0.5, 1}));
    EXPECT_EQ(p.balanceDay, (ChannelRow{0.5, 0.95, 0.76, 1})); // reading stops at "abc"
    EXPECT_EQ(p.balanceSaturation, (ChannelRow{1, 0.95, 0.76, 1}));
    // Luminance weights 1 0 0: the derived row is row R; the working matrix follows MTX_HIGH.
    EXPECT_EQ(p.high[3], p.high[0]);
    EXPECT_EQ(p.low[3], p.low[0]);
    EXPECT_EQ(p.working[0], (ChannelRow{1, 2, 3, 4}));
}

TEST(ColorParams, ParseNumbersStopsAtTheFirstNonNumber) {
    struct Row {
        const char* text;
        int count;
    };
    for (Row row : {Row{"", 0}, Row{"1 2 3", 3}, Row{"+1 -2e1 .5 4.", 4}, Row{"1 nan 3", 1},
                    Row{"inf", 0}, Row{"1e999", 0}, Row{"1,2", 1}, Row{"   ", 0}}) {
        double v[4] = {};
        EXPECT_EQ(ParseNumbers(row.text, v, 4), row.count) << row.text;
    }
    double v[2];
    ASSERT_EQ(ParseNumbers("+1 -2e1", v, 2), 2);
    EXPECT_EQ(v[1], -20.0);
}

TEST(ColorParams, FixedPointClampsNeverWraps) {
    struct Row {
        double value;
        std::int16_t fixed;
    };
    for (Row row :
         {Row{4.0, 32767}, Row{3.9998779296875, 32767}, Row{100.0, 32767}, Row{-5.0, -32768},
          Row{-4.0, -32768}, Row{1.0, 8192}, Row{0.5, 4096}, Row{-0.00006, 0}, Row{0.99999, 8191},
          Row{-1.5, -12288}, Row{std::numeric_limits<double>::quiet_NaN(), 0}})
        EXPECT_EQ(ToCameraFixed(row.value), row.fixed) << row.value;
}

TEST(ColorParams, ConversionPremultipliesByTheYccMatrix) {
    ColorParams p = DefaultColorParams();
    p.high[0] = {1, 0, 0, 5}; // R
    p.high[1] = {0, 1, 0, 5}; // G
    p.high[2] = {0, 0, 1, 5}; // B
    p.working = {p.high[0], p.high[1], p.high[2]};
    const CameraColorBlock b = ConvertColorParams(p);
    // Column j of Y, Cb, Cr is the YCC matrix's column j; column 3 sums to 5 x the row sums.
    EXPECT_EQ(b.high[0][0], ToCameraFixed(0.299));
    EXPECT_EQ(b.high[1][1], ToCameraFixed(-0.3313));
    EXPECT_EQ(b.high[2][2], ToCameraFixed(-0.0813));
    EXPECT_EQ(b.high[0][3], ToCameraFixed(5 * (0.299 + 0.587 + 0.114)));
    EXPECT_EQ(b.high[1][3], ToCameraFixed(5 * (-0.1687 - 0.3313 + 0.5)));
    EXPECT_EQ(b.working, b.high);
    EXPECT_EQ(b.saturation, (std::array<std::int16_t, 3>{11111, 8427, 8192}));
    EXPECT_EQ(b.balanceDay, (std::array<std::int16_t, 4>{8192, 7782, 6225, 8192}));
    EXPECT_EQ(b.highLuminance[0], ToCameraFixed(p.high[3][0]));
}

TEST(LuminTable, FollowsTheSlopeLimitNearBlackAndThePowerCurveAbove) {
    const ToneTable t = ComputeLuminTable(0.45);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(t[i], 4 * i) << i;
    EXPECT_EQ(t[100], 359);
    EXPECT_EQ(t[256], 548);
    EXPECT_EQ(t[1023], 1023);
    for (int i = 1; i < 1024; ++i)
        ASSERT_GE(t[i], t[i - 1]) << i;
}

TEST(LuminTable, FilesAreFormattedAsTheFirmwareBuildReadsThem) {
    ToneTable t{};
    for (int i = 0; i < 1024; ++i)
        t[i] = static_cast<std::int16_t>(i);
    const std::string mtx = LuminMtxText(t);
    EXPECT_EQ(mtx.substr(0, 12), "    0\t    1\t");
    EXPECT_EQ(std::count(mtx.begin(), mtx.end(), '\n'), 64);
    EXPECT_EQ(std::count(mtx.begin(), mtx.end(), '\t'), 1024 - 64);
    EXPECT_TRUE(mtx.ends_with(" 1022\t 1023\n"));

    const std::string c = LuminCText(t);
    EXPECT_EQ(c.rfind("short lumin[] = {\n    0,\t    1,\t", 0), 0u);
    EXPECT_NE(c.find("   15,\n   16,\t"), std::string::npos);
    EXPECT_TRUE(c.ends_with(" 1022,\t 1023 \n};\n"));

    const std::string a = LuminAsmText(t);
    std::istringstream lines(a);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("; $Header:", 0), 0u);
    EXPECT_NE(line.find(" 1.15 "), std::string::npos);
    EXPECT_NE(line.find("1997/12/"), std::string::npos);
    EXPECT_EQ(line.back(), '$');
    std::getline(lines, line);
    EXPECT_EQ(line, "\t.sect \".text\"");
    std::getline(lines, line);
    EXPECT_EQ(line, "\t.def _lumin");
    std::getline(lines, line);
    EXPECT_EQ(line, "_lumin:");
    std::getline(lines, line);
    EXPECT_EQ(line,
              "\t.word     0,    1,    2,    3,    4,    5,    6,    7,    8,    9,   10,   11,"
              "   12,   13,   14,   15");
    EXPECT_TRUE(a.ends_with(" 1022, 1023\n\t.end\n"));
    EXPECT_EQ(std::count(a.begin(), a.end(), '\n'), 1 + 3 + 64 + 1);
}

TEST(LuminTable, WritesTheThreeFilesIntoTheFolderSetting) {
    testing::ScratchDir dir;
    settings::Profile profile(dir / "kvmini.INI");
    profile.writeString("FILES", kToneTableFolderKey, dir.path().string());
    const auto folder = ToneTableFolder(profile);
    EXPECT_EQ(folder, dir.path());
    const LuminFilesResult r = MakeLuminTable(0.45, folder);
    EXPECT_TRUE(r.failed.empty());
    ASSERT_EQ(r.written.size(), 3u);
    std::ifstream in(dir / "lumin.c");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), LuminCText(ComputeLuminTable(0.45)));

    const LuminFilesResult missing = MakeLuminTable(0.45, dir / "no" / "such" / "folder");
    EXPECT_EQ(missing.failed.size(), 3u);
    EXPECT_EQ(missing.table[1023], 1023);
}

TEST(LuminTable, FolderDefaultsToTheDesktop) {
    testing::ScratchDir dir;
    settings::Profile profile(dir / "kvmini.INI");
    ::setenv("XDG_DESKTOP_DIR", (dir / "Desktop").c_str(), 1);
    EXPECT_EQ(ToneTableFolder(profile), dir / "Desktop");
    ::unsetenv("XDG_DESKTOP_DIR");
}

} // namespace
} // namespace kv::process
