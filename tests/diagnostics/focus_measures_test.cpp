// The focus station's image measures and peak analysis on windows and curves with known answers.

#include "diagnostics/cradle_protocol.h"
#include "diagnostics/focus_measures.h"
#include "diagnostics/focus_peak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace kv::diagnostics {
namespace {

// ---- window order ----

TEST(FocusWindow, InterleavedColumnsArePermutationForEvenSides) {
    for (int n : {2, 8, 16, 128}) {
        std::vector<int> seen(static_cast<std::size_t>(n), 0);
        for (int k = 0; k < n; ++k)
            ++seen[static_cast<std::size_t>(interleavedColumn(n, k))];
        for (int count : seen)
            EXPECT_EQ(count, 1) << "n=" << n;
    }
    EXPECT_EQ(interleavedColumn(8, 0), 7);
    EXPECT_EQ(interleavedColumn(8, 1), 3);
    EXPECT_EQ(interleavedColumn(8, 2), 6);
    EXPECT_EQ(interleavedColumn(8, 7), 0);
    EXPECT_FALSE(validWindowSide(7));
    EXPECT_FALSE(validWindowSide(0));
    EXPECT_FALSE(validWindowSide(802));
    EXPECT_TRUE(validWindowSide(128));
}

TEST(FocusWindow, ReorderUndoesTheCameraOrderAndSubtractsDark) {
    const int n = 6;
    // An asymmetric picture: every pixel distinct, so a transposition or mirror shows.
    std::vector<std::uint8_t> picture(36);
    std::iota(picture.begin(), picture.end(), std::uint8_t{10});
    std::vector<std::uint8_t> wire(36);
    interleaveForCamera(picture, n, wire);
    EXPECT_NE(wire, picture);
    // Raw row 0 holds input columns: output row 0 is input column 5 read top to bottom.
    EXPECT_EQ(wire[0 * 6 + 5], picture[0]);
    EXPECT_EQ(wire[1 * 6 + 5], picture[1]);

    std::vector<std::uint8_t> dark(36, 0);
    dark[0 * 6 + 5] = 4;  // under picture[0]
    dark[1 * 6 + 5] = 50; // more than picture[1]: clipped to 0
    std::vector<std::uint8_t> out(36);
    subtractDarkAndReorder(wire, dark, n, out);
    std::vector<std::uint8_t> expected = picture;
    expected[0] = 6;
    expected[1] = 0;
    EXPECT_EQ(out, expected);
    subtractDarkAndReorder(wire, {}, n, out);
    EXPECT_EQ(out, picture);
}

// ---- equalisation ----

TEST(FocusEqualise, StretchesEachPlaneAndCountsGrey) {
    const int n = 20; // 100 pixels a plane: 1% = 1, 99% = 99
    std::vector<std::uint8_t> w(400);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int plane = (y % 2) * 2 + (x % 2);
            // Each plane a two-level target with its own gain: dark 10, bright 10 + 20*(plane+1).
            const bool bright = ((x / 4) + (y / 4)) % 2 == 0;
            w[static_cast<std::size_t>(y * n + x)] =
                static_cast<std::uint8_t>(bright ? 10 + 20 * (plane + 1) : 10);
        }
    const EqualiseStats s = equaliseWindow(w, n);
    for (int p = 0; p < 4; ++p) {
        EXPECT_EQ(s.planes[static_cast<std::size_t>(p)].low, 10);
        EXPECT_EQ(s.planes[static_cast<std::size_t>(p)].high, 10 + 20 * (p + 1));
        EXPECT_DOUBLE_EQ(s.planes[static_cast<std::size_t>(p)].scale, 255.0 / (20 * (p + 1)));
    }
    EXPECT_DOUBLE_EQ(s.maxScale, 255.0 / 20);
    EXPECT_EQ(s.grey, 0);
    EXPECT_EQ(s.black + s.white, 400);
    EXPECT_EQ(s.greyRatio, 0.0);
    for (std::uint8_t px : w)
        EXPECT_TRUE(px == 0 || px == 255);
    EXPECT_TRUE(targetQualityOk(s, 0.33, 13.0));
    EXPECT_FALSE(targetQualityOk(s, 0.33, 4.0)); // too much gain

    // One stretch for the whole window: the planes' gains stay in the picture.
    std::vector<std::uint8_t> again(400);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int plane = (y % 2) * 2 + (x % 2);
            const bool bright = ((x / 4) + (y / 4)) % 2 == 0;
            again[static_cast<std::size_t>(y * n + x)] =
                static_cast<std::uint8_t>(bright ? 10 + 20 * (plane + 1) : 10);
        }
    const EqualiseStats whole = equaliseWindow(again, n, false);
    for (const PlaneStats& p : whole.planes) {
        EXPECT_EQ(p.low, 10);
        EXPECT_EQ(p.high, 90);
    }
    EXPECT_GT(whole.grey, 0); // the weaker planes' bright squares land in the grey band

    std::vector<std::uint8_t> flat(400, 128);
    const EqualiseStats f = equaliseWindow(flat, n);
    EXPECT_EQ(f.planes[0].high, f.planes[0].low + 1); // equal ends are pulled apart
    EXPECT_DOUBLE_EQ(f.maxScale, 255.0);
}

TEST(FocusEqualise, GreyRatioFailsTheTarget) {
    const int n = 20;
    std::vector<std::uint8_t> w(400);
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<std::uint8_t>(i % 100); // a ramp: a third of it grey
    const EqualiseStats s = equaliseWindow(w, n);
    EXPECT_GT(s.greyRatio, 0.3);
    EXPECT_FALSE(targetQualityOk(s, 0.2, 100.0));
}

// ---- sharpness ----

// Stripes of period 32 (edges sparse enough that the 99th percentile lies on them), each edge
// a ramp of `ramp` + 1 equal steps between 0 and 255.
std::vector<std::uint8_t> stripes(int n, int ramp, bool vertical) {
    const int period = 32;
    std::vector<int> profile(period);
    for (int t = 0; t < period; ++t) {
        const int up = 255 * std::clamp(t - 7, 0, ramp + 1) / (ramp + 1);
        const int down = 255 * std::clamp(t - 23, 0, ramp + 1) / (ramp + 1);
        profile[static_cast<std::size_t>(t)] = up - down;
    }
    std::vector<std::uint8_t> w(static_cast<std::size_t>(n * n));
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            w[static_cast<std::size_t>(y * n + x)] = static_cast<std::uint8_t>(
                profile[static_cast<std::size_t>((vertical ? x : y) % period)]);
    return w;
}

TEST(FocusSharpness, SharpEdgesMeasureHigherThanSoftOnes) {
    const int n = 128;
    struct Row {
        int ramp;
        int minimum;
        int maximum;
    };
    // Only the hard edges land in the measured top bins; softer ones measure lower.
    int previous = 1 << 30;
    for (const Row& r : {Row{0, 4080, 4080}, Row{1, 2000, 2060}, Row{3, 1000, 1030}}) {
        SharpnessState state;
        const auto w = stripes(n, r.ramp, true);
        const Sharpness s = measureSharpness(w, n, state);
        EXPECT_GE(s.horizontal, r.minimum) << r.ramp;
        EXPECT_LE(s.horizontal, r.maximum) << r.ramp;
        EXPECT_EQ(s.vertical, 0); // no vertical edges in vertical stripes
        EXPECT_EQ(s.combined, 0);
        EXPECT_LT(s.horizontal, previous);
        previous = s.horizontal;
        EXPECT_GT(state.horizontalCount, 0);
    }
}

TEST(FocusSharpness, DirectionsAndModeOneUseTheRememberedCount) {
    const int n = 128;
    auto w = stripes(n, 1, false); // horizontal stripes: vertical differences
    SharpnessState state;
    const Sharpness first = measureSharpness(w, n, state);
    EXPECT_EQ(first.horizontal, 0);
    EXPECT_GT(first.vertical, 0);
    const long remembered = state.verticalCount;
    state.mode = 1;
    const Sharpness again = measureSharpness(w, n, state);
    EXPECT_EQ(state.verticalCount, remembered); // mode 1 keeps the count
    EXPECT_GE(again.vertical, first.vertical);  // taken from the 99th percentile down
}

// ---- peak analysis ----

std::vector<std::uint16_t> bell(int n, double centre, double width, int base, int top) {
    std::vector<std::uint16_t> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double d = (i - centre) / width;
        v[static_cast<std::size_t>(i)] =
            static_cast<std::uint16_t>(base + (top - base) * std::exp(-d * d));
    }
    return v;
}

TEST(FocusPeakAnalysis, SpansFromTheDefaults) {
    const auto p = findFocusPeak(bell(51, 25, 8, 500, 3000), 63000, 2, FocusPeakParams{});
    EXPECT_EQ(p.ignore, 10);
    EXPECT_EQ(p.requiredW, 50);
    EXPECT_EQ(p.toleranceW, 30);
}

TEST(FocusPeakAnalysis, CountLimits) {
    FocusPeakParams params;
    params.requiredSpan = 10; // so a short sweep can pass
    params.ignoreSpan = 2;
    params.tolerance = 4;
    const auto nineteen = findFocusPeak(bell(19, 9.5, 3, 300, 3000), 1000, 1, params);
    EXPECT_FALSE(nineteen.ok);
    EXPECT_EQ(nineteen.message, "Focusing range must have more than 20 steps!");
    const auto twenty = findFocusPeak(bell(20, 9.5, 3, 300, 3000), 1000, 1, params);
    EXPECT_NE(twenty.message, "Focusing range must have more than 20 steps!");
    EXPECT_TRUE(twenty.ok) << twenty.message;
}

TEST(FocusPeakAnalysis, FindsTheCentreOfABell) {
    struct Row {
        double centre;
        long start;
        long step;
    };
    FocusPeakParams params;
    for (const Row& r : {Row{100, 62800, 2}, Row{80.3, 62800, 2}, Row{60, 10000, 4}}) {
        const auto v = bell(201, r.centre, 30, 400, 3200);
        const auto p = findFocusPeak(v, r.start, r.step, params);
        ASSERT_TRUE(p.ok) << p.message;
        const double truth = r.start + r.centre * r.step;
        EXPECT_NEAR(p.position, truth, r.step) << r.centre;
        EXPECT_GT(p.required, 400);
        EXPECT_LT(p.required, 3200);
        EXPECT_GE(p.high - p.mid, 2);
    }
}

TEST(FocusPeakAnalysis, Failures) {
    FocusPeakParams params;
    struct Row {
        const char* name;
        std::vector<std::uint16_t> values;
        const char* message;
    };
    auto rising = std::vector<std::uint16_t>(101);
    for (std::size_t i = 0; i < rising.size(); ++i)
        rising[i] = static_cast<std::uint16_t>(200 + 25 * i); // peak at the last position
    auto falling = rising;
    std::reverse(falling.begin(), falling.end());
    auto plateau = bell(201, 100, 30, 400, 3000);
    for (std::size_t i = 60; i < 140; ++i)
        plateau[i] = 3000; // 80 positions wide at the top: wider than R
    auto twoPeaks = bell(201, 50, 10, 400, 3000);
    const auto second = bell(201, 150, 10, 400, 3000);
    for (std::size_t i = 0; i < twoPeaks.size(); ++i)
        twoPeaks[i] = std::max(twoPeaks[i], second[i]);
    const std::vector<Row> rows = {
        {"flat", std::vector<std::uint16_t>(101, 1500), "Focusin algorithm: no recognizable peak!"},
        {"touches last", rising, "Focusin algorithm: no recognizable peak!"},
        {"touches first", falling, "Focusin algorithm: no recognizable peak!"},
        {"default sweep is too short for R", bell(51, 25, 8, 500, 3000),
         "Focusin algorithm: peak too narrow!"},
        {"plateau", plateau, "Focusin algorithm: peak too broad!"},
    };
    for (const Row& r : rows) {
        const auto p = findFocusPeak(r.values, 0, 2, params);
        EXPECT_FALSE(p.ok) << r.name;
        EXPECT_EQ(p.message, r.message) << r.name;
    }
    const auto two = findFocusPeak(twoPeaks, 0, 2, params);
    EXPECT_FALSE(two.ok);
}

TEST(FocusPeakAnalysis, ARunBoundedByAFailedFrameIsPruned) {
    FocusPeakParams params;
    // Frames that failed the target test count 0; left of them the curve is cut off.
    auto v = bell(201, 100, 30, 400, 3200);
    for (std::size_t i = 0; i < 60; ++i)
        v[i] = 0;
    const auto p = findFocusPeak(v, 0, 2, params);
    // Every level's run starts right after the zeros up to where the bell rises above them:
    // those levels are pruned and the low end of the band lies above the cut.
    const auto full = findFocusPeak(bell(201, 100, 30, 400, 3200), 0, 2, params);
    ASSERT_TRUE(full.ok);
    EXPECT_GT(p.low, full.low);
}

TEST(FocusPeakAnalysis, ReportSection) {
    const auto v = bell(21, 10, 3, 100, 2000);
    FocusPeakParams params;
    const auto p = findFocusPeak(v, 500, 2, params);
    const std::string text = focusDataSection(v, 500, 2, params, p, "\nboom");
    EXPECT_EQ(text.rfind("\n\nFOCUS DATA:\n\nboom\n\nCount: 21\nIgnore span: 10\n", 0), 0u);
    EXPECT_NE(text.find("Focus level fraction: 50/255\n\n"), std::string::npos);
    EXPECT_NE(text.find("Focus values:\n\n500     100\n502     "), std::string::npos);
}

// ---- cradle replies ----

TEST(CradleProtocol, ReplyEndings) {
    struct Row {
        CradleReplyMode mode;
        std::string bytes;
        std::string reply;
    };
    for (const Row& r : {
             Row{CradleReplyMode::Star, "abc*defF", "abc*"},
             Row{CradleReplyMode::StarThenF, "abc*defF", "abc*defF"},
             Row{CradleReplyMode::StarThenF, "F1*xxF", "F1*xxF"}, // F before * is data
         }) {
        CradleReplyAssembler a(r.mode);
        std::string got;
        for (char c : r.bytes) {
            if (a.feed(static_cast<std::uint8_t>(c)) == CradleReplyAssembler::Step::Complete) {
                got = a.reply();
                break;
            }
        }
        EXPECT_EQ(got, r.reply) << r.bytes;
    }
    CradleReplyAssembler longOne(CradleReplyMode::Star);
    CradleReplyAssembler::Step step = CradleReplyAssembler::Step::NeedMore;
    int fed = 0;
    while (step == CradleReplyAssembler::Step::NeedMore && fed < 1000) {
        step = longOne.feed('x');
        ++fed;
    }
    EXPECT_EQ(step, CradleReplyAssembler::Step::Overlong);
    EXPECT_EQ(fed, 255);
    EXPECT_EQ(longOne.reply().size(), 255u);
    // Stars never overflow the buffer in mode 1.
    CradleReplyAssembler stars(CradleReplyMode::StarThenF);
    fed = 0;
    while (stars.feed('*') == CradleReplyAssembler::Step::NeedMore && fed < 1000)
        ++fed;
    EXPECT_LE(stars.reply().size(), 255u);
}

TEST(CradleProtocol, PositionReplies) {
    EXPECT_EQ(parseCradlePosition("RP0000*"), 0);
    EXPECT_EQ(parseCradlePosition("RP63000*"), 63000);
    EXPECT_EQ(parseCradlePosition("RP123"), std::nullopt); // five characters: too short
    EXPECT_EQ(parseCradlePosition("RP1234"), 1234);
    EXPECT_EQ(parseCradlePosition("RPabcd*"), std::nullopt);
    EXPECT_EQ(parseCradlePosition(std::string("RP12\0 45*", 9)), std::nullopt);
    EXPECT_EQ(cradleLine("VI", 4000), "VI 4000\r\n");
    EXPECT_EQ(cradleLine("MH 1"), "MH 1\r\n");
}

} // namespace
} // namespace kv::diagnostics
