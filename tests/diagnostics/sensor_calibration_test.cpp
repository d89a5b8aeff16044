#include "diagnostics/sensor_calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

namespace kv::testing {
namespace {

using namespace diagnostics;

std::vector<std::uint16_t> flatFrame(int value) {
    return std::vector<std::uint16_t>(kRawPixels, static_cast<std::uint16_t>(value << 6));
}

// A clean sensor: flat white, dark, blue; a reset frame with a little noise.
std::unique_ptr<SensorCalibration> cleanRun(const BlemishParams& params = {},
                                            bool withReset = true) {
    auto cal = std::make_unique<SensorCalibration>(params);
    const auto white = flatFrame(300);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(cal->accumulateWhite(white), ExposureLevel::Accepted);
    cal->storeDark(flatFrame(20));
    cal->checkBlue(flatFrame(200));
    if (withReset) {
        std::mt19937 random(7);
        std::vector<std::uint16_t> reset(kRawPixels);
        for (auto& v : reset)
            v = static_cast<std::uint16_t>((800 + random() % 5) << 6);
        cal->storeReset(reset);
    }
    return cal;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SensorCalibration, WhiteExposureRangeIsInclusive) {
    struct Row {
        int value;
        ExposureLevel level;
    };
    for (const Row& row : {Row{127, ExposureLevel::TooDark}, Row{128, ExposureLevel::Accepted},
                           Row{400, ExposureLevel::Accepted}, Row{401, ExposureLevel::TooBright}}) {
        SensorCalibration cal({});
        EXPECT_EQ(cal.accumulateWhite(flatFrame(row.value)), row.level) << row.value;
    }
    SensorCalibration cal({});
    EXPECT_EQ(cal.accumulateWhite(std::vector<std::uint16_t>(10)), ExposureLevel::TooDark);
}

TEST(SensorCalibration, GainsFlattenTheWhiteAndZeroWhiteHasNoGain) {
    auto cal = cleanRun();
    auto white = flatFrame(300);
    white[static_cast<std::size_t>(SensorCalibration::rawIndex(2, 200, 240))] = 0;
    SensorCalibration zero({});
    zero.accumulateWhite(white);
    zero.createGains();
    EXPECT_EQ(zero.gains()[static_cast<std::size_t>(SensorCalibration::rawIndex(2, 200, 240))],
              kNoGain);

    cal->createGains();
    // The centre is unraised; the corners are raised by the vignetting factor, so their gain is
    // lower than the centre's.
    const auto centre =
        cal->gains()[static_cast<std::size_t>(SensorCalibration::rawIndex(0, 200, 240))];
    const auto corner =
        cal->gains()[static_cast<std::size_t>(SensorCalibration::rawIndex(0, 0, 0))];
    EXPECT_GT(centre, 1024);
    EXPECT_NEAR(double(centre) / corner, 1.0 + 205.0 / 1024, 0.01);
    EXPECT_NEAR(cal->whiteMean(), 300 * 1.067, 2);
}

// Gains of 1100 everywhere but one pixel; the pixel's map code after buildBlemishMap.
std::uint16_t codeAfterBuild(std::uint16_t pixelGain, const BlemishParams& params,
                             std::uint16_t* finalGain = nullptr) {
    SensorCalibration cal(params);
    std::fill(cal.gains().begin(), cal.gains().end(), 1100);
    const auto at = static_cast<std::size_t>(SensorCalibration::rawIndex(1, 200, 200));
    cal.gains()[at] = pixelGain;
    cal.buildBlemishMap();
    if (finalGain)
        *finalGain = cal.gains()[at];
    return cal.blemishMap()[static_cast<std::size_t>(SensorCalibration::mapIndex(1, 200, 200))];
}

// The pixel gain whose deviation from its own smoothed value is `d` (the pixel is part of
// its own window, so this is searched).
std::uint16_t gainForDeviation(int d) {
    SensorCalibration cal({});
    std::vector<std::uint16_t> smoothed(kRawPixels);
    const auto at = static_cast<std::size_t>(SensorCalibration::rawIndex(1, 200, 200));
    for (int g = d + 76 - 10; g <= d + 76 + 10; ++g) {
        std::fill(cal.gains().begin(), cal.gains().end(), 1100);
        cal.gains()[at] = static_cast<std::uint16_t>(g);
        cal.smoothGains(cal.gains(), smoothed, cal.blemishMap());
        if (g - smoothed[at] + 1024 == d)
            return static_cast<std::uint16_t>(g);
    }
    ADD_FAILURE() << "no gain for " << d;
    return 0;
}

TEST(SensorCalibration, BadGainThresholds) {
    std::uint16_t gain = 0;
    // First pass: above 4096 is set to unity; 4096 is left to the second pass (smoothed gain).
    EXPECT_EQ(codeAfterBuild(4097, {}, &gain), kMarkBadGain);
    EXPECT_EQ(gain, 1024);
    EXPECT_EQ(codeAfterBuild(4096, {}, &gain), kMarkBadGain);
    EXPECT_NEAR(gain, 1100, 10);

    BlemishParams wide;
    wide.maxGainPixel = 2000; // only the gross limits apply
    struct Row {
        int d;
        std::uint16_t code;
    };
    for (const Row& row : {Row{681, kMarkBadGain}, Row{682, kMarkExcessGain},
                           Row{2048, kMarkExcessGain}, Row{2049, kMarkBadGain}, Row{1000, 0}})
        EXPECT_EQ(codeAfterBuild(gainForDeviation(row.d), wide), row.code) << row.d;
}

struct Mark {
    int plane, line, sample;
    std::uint16_t code;
};

std::unique_ptr<SensorCalibration> analysed(const std::vector<Mark>& marks) {
    auto cal = std::make_unique<SensorCalibration>(BlemishParams{});
    for (const auto& m : marks)
        cal->blemishMap()[static_cast<std::size_t>(
            SensorCalibration::mapIndex(m.plane, m.line, m.sample))] = m.code;
    cal->analyseBlemishMap();
    return cal;
}

std::uint16_t codeAt(SensorCalibration& cal, int p, int l, int s) {
    return cal.blemishMap()[static_cast<std::size_t>(SensorCalibration::mapIndex(p, l, s))];
}

std::vector<Mark> horizontal(int plane, int line, int sample, int n) {
    std::vector<Mark> marks;
    for (int i = 0; i < n; ++i)
        marks.push_back({plane, line, sample + i, kMarkBadGain});
    return marks;
}

TEST(SensorCalibration, ClassifiesIsolatedRowsAndClusters) {
    auto cal = analysed({{0, 100, 100, kMarkBadGain}, {1, 100, 100, kMarkDark}});
    EXPECT_EQ(codeAt(*cal, 0, 100, 100), 4);
    EXPECT_EQ(codeAt(*cal, 1, 100, 100), 9);
    EXPECT_EQ(cal->isolatedList().entries.size(), 1u);
    EXPECT_EQ(cal->isolatedDarkList().entries.size(), 1u);
    EXPECT_EQ(cal->isolatedCounts().detected, 2);

    cal = analysed(horizontal(2, 50, 60, 10));
    ASSERT_EQ(cal->rowList().entries.size(), 1u);
    EXPECT_EQ(cal->rowList().entries[0].length, 10);
    EXPECT_EQ(cal->rowCounts().detected, 10);
    EXPECT_EQ(codeAt(*cal, 2, 50, 69), 2);

    cal = analysed(horizontal(2, 50, 60, 9));
    EXPECT_TRUE(cal->rowList().entries.empty());
    ASSERT_EQ(cal->clusterList().entries.size(), 9u);
    for (const auto& c : cal->clusterList().entries) {
        EXPECT_EQ(c.mask, 24);
        EXPECT_EQ(c.patternClass, 2);
    }
    EXPECT_EQ(codeAt(*cal, 2, 50, 68), 3);
}

TEST(SensorCalibration, VerticalRunOfTenBecomesAColumnReachingBeyondIt) {
    std::vector<Mark> marks;
    for (int l = 100; l < 110; ++l)
        marks.push_back({3, l, 100, kMarkBadGain});
    auto cal = analysed(marks);
    ASSERT_EQ(cal->columnList().entries.size(), 1u);
    const auto c = cal->columnList().entries[0];
    EXPECT_EQ(c.line, 1);
    EXPECT_EQ(c.length, 310); // to 200 lines past the run
    EXPECT_EQ(codeAt(*cal, 3, 300, 100), 1);
    EXPECT_EQ(codeAt(*cal, 3, 311, 100), 0);

    marks.pop_back();
    cal = analysed(marks);
    EXPECT_TRUE(cal->columnList().entries.empty());
    EXPECT_EQ(cal->clusterList().entries.size(), 9u);
    EXPECT_EQ(cal->clusterList().entries[0].mask, 66);
}

TEST(SensorCalibration, BlobWithoutCleanNeighbourAndSeventhCeilingPairFail) {
    std::vector<Mark> marks;
    for (int l = 0; l < 3; ++l)
        for (int s = 0; s < 3; ++s)
            marks.push_back({0, 200 + l, 200 + s, kMarkBadGain});
    for (int pair = 0; pair < 7; ++pair) {
        marks.push_back({1, 10 + 10 * pair, 479, kMarkBadGain});
        marks.push_back({1, 11 + 10 * pair, 479, kMarkBadGain});
    }
    auto cal = analysed(marks);
    // The top middle pixel has a clean neighbour (N); the centre has none and is not listed.
    EXPECT_EQ(cal->blobCounts().detected, 2);
    ASSERT_EQ(cal->blobList().entries.size(), 1u);
    EXPECT_EQ(cal->blobList().entries[0].direction, 16);
    EXPECT_EQ(codeAt(*cal, 0, 201, 201), 8);
    EXPECT_EQ(cal->ceilingPairs(), 7);
    EXPECT_EQ(cal->ceilingCounts().detected, 14);
    EXPECT_EQ(cal->ceilingCounts().included, 13);

    cal->encodeBlemishList();
    cal->evaluate();
    EXPECT_EQ(cal->passed(), 0);
    EXPECT_TRUE(contains(cal->report(), "FAILURE: Uncorrectable Blobs.\n"));
    EXPECT_TRUE(
        contains(cal->report(), "FAILURE: Uncorrectable Ceiling Pixels. \t 93 Percent Included\n"));
}

TEST(SensorCalibration, DoubleRowNeedsMoreThanTen) {
    for (int n : {10, 11}) {
        auto marks = horizontal(0, 100, 100, n);
        auto below = horizontal(0, 101, 100, n);
        marks.insert(marks.end(), below.begin(), below.end());
        auto cal = analysed(marks);
        EXPECT_EQ(cal->doubleRow(), n > 10 ? n : 0) << n;
    }
}

TEST(SensorCalibration, EncodedGainsDecodeWithinTheCodersStep) {
    SensorCalibration cal({});
    std::mt19937 random(3);
    for (int y = 0; y < kRawLines; ++y)
        for (int x = 0; x < kRawSamples; ++x)
            cal.gains()[static_cast<std::size_t>(y * kRawSamples + x)] =
                static_cast<std::uint16_t>(1000 + y / 8 + x / 16 + random() % 17);
    const auto spike = static_cast<std::size_t>(401 * kRawSamples + 301);
    cal.gains()[spike] = 1600;
    const auto before = cal.gains();
    cal.encodeGains();
    const auto decoded = decodeGainImage(cal.encodedGains());
    ASSERT_EQ(decoded.size(), static_cast<std::size_t>(kRawPixels));
    EXPECT_GT(cal.scaleFactor(), 1.0);
    int plane = 0, line = 0, sample = 0;
    ASSERT_EQ(cal.encodeFailureList().entries.size(), 1u);
    const auto entry = cal.encodeFailureList().entries[0];
    ASSERT_TRUE(planePixel(entry.address, plane, line, sample));
    EXPECT_EQ(static_cast<std::size_t>(SensorCalibration::rawIndex(plane, line, sample)), spike);
    EXPECT_EQ(entry.gain, static_cast<std::uint16_t>(1600 * cal.scaleFactor()));
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (i == spike || i == spike + 2 * kRawSamples)
            continue; // listed; and the line after it
        const int scaled = static_cast<int>(before[i] * cal.scaleFactor());
        ASSERT_LE(std::abs(decoded[i] - scaled), 4) << i;
    }
}

TEST(SensorCalibration, BlemishListReadsBackItsSections) {
    std::vector<Mark> marks = horizontal(2, 50, 60, 12);
    auto cluster = horizontal(1, 300, 300, 3);
    marks.insert(marks.end(), cluster.begin(), cluster.end());
    marks.push_back({0, 100, 100, kMarkBadGain});
    marks.push_back({3, 120, 130, kMarkDark});
    for (int l = 150; l < 162; ++l)
        marks.push_back({1, l, 20, kMarkBadGain});
    auto cal = analysed(marks);
    std::fill(cal->gains().begin(), cal->gains().end(), 1024);
    cal->gains()[static_cast<std::size_t>(300 * kRawSamples + 500)] = 3000;
    cal->encodeGains();
    const auto& list = cal->encodeBlemishList();
    DecodedBlemishList d;
    ASSERT_TRUE(decodeBlemishList(list, d));
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.passed, 1);
    ASSERT_EQ(d.rows.size(), 1u);
    EXPECT_EQ(d.rows[0].plane, 2);
    EXPECT_EQ(d.rows[0].line, 50);
    EXPECT_EQ(d.rows[0].sample, 60);
    EXPECT_EQ(d.rows[0].length, 12);
    ASSERT_EQ(d.columns.size(), 1u);
    EXPECT_EQ(d.columns[0].plane, 1);
    EXPECT_EQ(d.clusters.size(), 3u);
    ASSERT_EQ(d.isolated.size(), 2u);
    EXPECT_EQ(d.isolated[0].plane, 0); // bad gains before dark pixels
    EXPECT_EQ(d.isolated[1].plane, 3);
    ASSERT_EQ(d.corrections.size(), 1u);
    EXPECT_EQ(d.corrections[0].gain, 3000);
    EXPECT_TRUE(d.endMarker);

    Bytes wrong(list.begin(), list.end());
    wrong[6] = 0xFF; // column count far beyond the buffer
    wrong[7] = 0xFF;
    EXPECT_FALSE(decodeBlemishList(wrong, d));
    EXPECT_FALSE(decodeBlemishList(Bytes(100), d));
}

TEST(SensorCalibration, CleanSensorPassesAndReportsItsStatistics) {
    auto cal = cleanRun();
    EXPECT_EQ(cal->calculate(), 1);
    EXPECT_TRUE(contains(cal->report(), "Sensor:\tPASSED\n")) << cal->report();
    EXPECT_FALSE(contains(cal->report(), "FAILURE"));
    EXPECT_TRUE(contains(cal->report(), "Rows:\nNone\nColumns:\nNone\n"));
    EXPECT_NEAR(cal->resetStats().average, 802 * 64, 2);
    EXPECT_EQ(cal->resetStats().blemishes, 0);

    cal = cleanRun({}, false);
    cal->calculate();
    EXPECT_TRUE(contains(cal->report(), "Reset image average:\t     0\n"));
    EXPECT_TRUE(contains(cal->report(), "Reset image high value:\t 65535\n"));
    EXPECT_TRUE(contains(cal->report(), "Ceiling:\t 65535   (= 1023 - 1023)\n"));
}

TEST(SensorCalibration, VignettingAndMissingBlueFail) {
    // The vignetting checks, from measured shading: bench_sensor_test.cpp.
    SensorCalibration noBlue({});
    noBlue.accumulateWhite(flatFrame(300));
    noBlue.storeDark(flatFrame(20));
    EXPECT_EQ(noBlue.calculate(), 0);
    EXPECT_EQ(noBlue.operatorMessage(), "Sensor Failed!\nNo Blue Image for Color Correction.\n");
}

TEST(SensorCalibration, HotDarkPixelsAreFoundAndCorrected) {
    auto cal = cleanRun();
    auto dark = flatFrame(20);
    dark[static_cast<std::size_t>(SensorCalibration::rawIndex(0, 200, 200))] = 600 << 6;
    cal->storeDark(dark);
    EXPECT_EQ(cal->calculate(), 1);
    EXPECT_EQ(cal->darkBlemishCount(), 1);
    DecodedBlemishList d;
    ASSERT_TRUE(decodeBlemishList(cal->encodedBlemishList(), d));
    ASSERT_EQ(d.isolated.size(), 1u);
    EXPECT_EQ(d.isolated[0].line, 200);
    EXPECT_EQ(d.isolated[0].sample, 200);
}

// More gain corrections than the list's section holds: the overflow section takes 2728, the
// rest are counted, and the first one left out is reported.
TEST(SensorCalibration, GainCorrectionsOverflowAndExclude) {
    SensorCalibration cal({});
    std::fill(cal.gains().begin(), cal.gains().end(), 1024);
    for (int y = 0; y < kRawLines; y += 4)
        for (int x = 0; x < kRawSamples; x += 3)
            cal.gains()[static_cast<std::size_t>(y * kRawSamples + x)] = 2000;
    cal.analyseBlemishMap();
    cal.encodeGains();
    // Every spike, and the clean pixels the coder cannot follow after a spike in a stream's
    // first two values.
    EXPECT_GE(cal.encodeFailureList().total, 200 * 320);
    EXPECT_EQ(cal.encodeFailureList().entries.size(), 20000u);
    DecodedBlemishList d;
    ASSERT_TRUE(decodeBlemishList(cal.encodeBlemishList(), d));
    EXPECT_EQ(d.corrections.size(), 5454u + 2728u);
    EXPECT_TRUE(d.endMarker);
    EXPECT_EQ(cal.correctionsWritten(), 5454 + 2728);
    EXPECT_EQ(cal.firstExcludedGain(), 2000);
    cal.evaluate();
    EXPECT_EQ(cal.operatorMessage(), "Sensor Failed!\nNo Blue Image for Color Correction.\n");
    char percent[64];
    std::snprintf(percent, sizeof percent,
                  "FAILURE: Uncorrectable Gains. \t%3.0f Percent Included\n",
                  8182.0 * 100 / double(cal.encodeFailureList().total));
    EXPECT_TRUE(contains(cal.report(), percent));
    EXPECT_TRUE(contains(cal.report(), "FAILURE: Excessive Encodes.\n"));
}

// A raised block of gains leaves colour deltas along its upper and lower edges: two patches of
// five pixels in plane 2 (B).
TEST(SensorCalibration, ColourPatchesFromTheDeltaMap) {
    BlemishParams params;
    params.allowedPatchArea = 4;
    SensorCalibration cal(params);
    std::fill(cal.gains().begin(), cal.gains().end(), 1024);
    for (int l = 100; l < 105; ++l)
        for (int s = 100; s < 105; ++s)
            cal.gains()[static_cast<std::size_t>(SensorCalibration::rawIndex(2, l, s))] = 1184;
    cal.analyseBlemishMap();
    cal.encodeGains();
    cal.encodeBlemishList();
    cal.evaluate();
    ASSERT_EQ(cal.colourPatches().size(), 2u);
    EXPECT_EQ(cal.colourPatches()[0].area, 5);
    EXPECT_TRUE(contains(cal.report(), "FAILURE: Uncorrectable Color Patches.\n"));
    EXPECT_TRUE(contains(cal.report(), "Color Patches:      2  Thresh Cnt:  100  Largest Area:     "
                                       "05  Thresh Area:      4\tFAIL\n"))
        << cal.report();
    EXPECT_TRUE(
        contains(cal.report(), "Color B Total:\t     2\tAvg Area:     5\tStd_dev:     0\n"));
    EXPECT_TRUE(
        contains(cal.report(), "Color R Total:\t     0\tAvg Area:     0\tStd_dev:     0\n"));
}

// A line whose mean gain jumps becomes a whole-line row defect of the planes that average it.
TEST(SensorCalibration, RowAverageJumpBecomesARowDefect) {
    SensorCalibration cal({});
    std::fill(cal.gains().begin(), cal.gains().end(), 1024);
    for (int x = 0; x < kRawSamples; ++x)
        cal.gains()[static_cast<std::size_t>(203 * kRawSamples + x)] = 1100;
    cal.analyseBlemishMap();
    cal.checkRowAverages();
    std::vector<std::array<int, 4>> rows;
    for (const auto& r : cal.rowList().entries)
        rows.push_back({r.plane, r.line, r.sample, r.length});
    // Line 100 itself is judged against the line two before (nearer the expected mean); the
    // jump back on line 101 is not.
    const std::vector<std::array<int, 4>> expected = {{2, 101, 1, 478}, {3, 101, 1, 478}};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(cal.rowCounts().detected, 2 * 478);
    EXPECT_EQ(cal.rowCounts().dead, 2 * 478);
    EXPECT_EQ(codeAt(cal, 2, 101, 1), 2);
    EXPECT_EQ(codeAt(cal, 2, 101, 0), 0);
}

} // namespace
} // namespace kv::testing
