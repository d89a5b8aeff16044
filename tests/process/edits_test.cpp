#include "imaging/edits.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kv::imaging {
namespace {

using Pixels = std::vector<std::uint8_t>;

Pixels numbered(int width, int height) {
    Pixels p(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < p.size() / 3; ++i) {
        p[3 * i] = static_cast<std::uint8_t>(i);
        p[3 * i + 1] = static_cast<std::uint8_t>(i >> 8);
        p[3 * i + 2] = static_cast<std::uint8_t>(i * 7);
    }
    return p;
}

// The RGB triple of pixel (row, col) in a picture `width` wide.
std::array<std::uint8_t, 3> at(const Pixels& p, int width, int row, int col) {
    const std::size_t i = 3 * (static_cast<std::size_t>(row) * width + col);
    return {p[i], p[i + 1], p[i + 2]};
}

TEST(RotatePixels, MovesEveryPixelWhereTheRotationSays) {
    const int w = 5, h = 3;
    const Pixels src = numbered(w, h);
    for (int rotation : {1, 2, 3}) {
        Pixels p = src;
        RotatePixels(rotation, p.data(), w, h);
        int rw = 0, rh = 0;
        RotatedSize(rotation, w, h, &rw, &rh);
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                int outR = 0, outC = 0;
                if (rotation == 1) {
                    outR = c;
                    outC = h - 1 - r;
                } else if (rotation == 2) {
                    outR = h - 1 - r;
                    outC = w - 1 - c;
                } else {
                    outR = w - 1 - c;
                    outC = r;
                }
                EXPECT_EQ(at(p, rw, outR, outC), at(src, w, r, c))
                    << "rotation " << rotation << " r " << r << " c " << c;
            }
        }
    }
}

TEST(RotatePixels, FourQuarterTurnsAndOutOfRangeValuesKeepThePicture) {
    const Pixels src = numbered(4, 7);
    Pixels p = src;
    int w = 4, h = 7;
    for (int i = 0; i < 4; ++i) {
        RotatePixels(1, p.data(), w, h);
        std::swap(w, h);
    }
    EXPECT_EQ(p, src);
    for (int rotation : {0, 4, -1}) {
        RotatePixels(rotation, p.data(), 4, 7);
        EXPECT_EQ(p, src);
    }
}

TEST(WhiteBalance, FindsWhitePointsStoresThemAndScalesToTheLargest) {
    // 1000 pixels: red 0..199 repeated (white point near 190), green all 100, blue all 0.
    Pixels p;
    for (int i = 0; i < 1000; ++i) {
        p.push_back(static_cast<std::uint8_t>(i % 200));
        p.push_back(100);
        p.push_back(0);
    }
    WhiteBalanceState state;
    state.enabled = 1;
    ApplyWhiteBalance(&state, p.data(), p.size());
    // Red: 95 % of 1000 = 950 reached at level 189; levels with more than 1 pixel follow.
    EXPECT_EQ(state.whitePoint[0], 200);
    EXPECT_EQ(state.whitePoint[1], 101);
    EXPECT_EQ(state.whitePoint[2], 1); // an all-zero channel gets white point 1
    // Largest is 200: green 100 * 200 / 101 = 198, red 199 * 200 / 200 = 199.
    EXPECT_EQ(p[1], 198);
    EXPECT_EQ(p[3 * 199], 199);
    EXPECT_EQ(p[2], 0);
}

TEST(WhiteBalance, DisabledStoredAndTemporaryStates) {
    Pixels p(30, 100);
    p[0] = 50;
    const Pixels before = p;
    WhiteBalanceState off;
    ApplyWhiteBalance(&off, p.data(), p.size());
    EXPECT_EQ(p, before);
    EXPECT_EQ(off, WhiteBalanceState{});

    // Stored white points are used as they are, not recomputed.
    WhiteBalanceState stored{{200, 100, 50}, 7, 1};
    ApplyWhiteBalance(&stored, p.data(), p.size());
    EXPECT_EQ(p[0], 50);
    EXPECT_EQ(p[1], 200);
    EXPECT_EQ(p[2], 255);
    EXPECT_EQ(stored.reserved, 7);

    // No entry: the white points come from the pixels and are not kept anywhere.
    Pixels q(30, 100);
    for (std::size_t i = 2; i < q.size(); i += 3)
        q[i] = 50;
    ApplyWhiteBalance(nullptr, q.data(), q.size());
    EXPECT_EQ(q[0], 100);
    EXPECT_EQ(q[2], 99); // 50 * 101 / 51

    // A damaged stored state with white point 0 in a later channel does not divide by zero.
    WhiteBalanceState damaged{{10, 0, 10}, 0, 1};
    Pixels r{5, 5, 5};
    ApplyWhiteBalance(&damaged, r.data(), r.size());
    EXPECT_EQ(r, (Pixels{5, 50, 5}));
}

TEST(Brightness, FactorsAndSlider) {
    Pixels p{0, 1, 100, 200, 255};
    ApplyBrightness(1.0f, p.data(), p.size());
    EXPECT_EQ(p, (Pixels{0, 1, 100, 200, 255}));
    ApplyBrightness(1.5f, p.data(), p.size());
    EXPECT_EQ(p, (Pixels{0, 1, 150, 255, 255}));
    ApplyBrightness(0.5f, p.data(), p.size());
    EXPECT_EQ(p, (Pixels{0, 0, 75, 127, 127}));
    ApplyBrightness(-2.0f, p.data(), p.size());
    EXPECT_EQ(p, (Pixels{0, 0, 0, 0, 0}));

    struct Row {
        int position;
        float factor;
    };
    for (Row row : {Row{75, 1.0f}, Row{150, 2.5f}, Row{1, 0.408f}, Row{76, 1.02f}, Row{0, 0.408f},
                    Row{500, 2.5f}})
        EXPECT_NEAR(BrightnessFactorForSlider(row.position), row.factor, 1e-5f) << row.position;
    EXPECT_EQ(BrightnessFactorForSlider(75), 1.0f);
}

// A 5 x 5 grey picture of `background` with `centre` in the middle, one channel checked.
struct NoiseRow {
    const char* name;
    std::uint8_t background;
    std::uint8_t centre;
    std::uint8_t expectedCentre;
    std::uint8_t expectedBackground; // at a pixel far from the centre
};

TEST(NoiseFilter, OnePassOnPeaksPitsAndFlatAreas) {
    for (const NoiseRow& row :
         {NoiseRow{"peak", 100, 200, 99, 99}, NoiseRow{"pit", 100, 50, 101, 99},
          NoiseRow{"flat", 100, 100, 99, 99}, NoiseRow{"black", 0, 0, 1, 1},
          NoiseRow{"white", 255, 255, 254, 254}}) {
        Pixels p(5 * 5 * 3, row.background);
        p[3 * 12] = p[3 * 12 + 1] = p[3 * 12 + 2] = row.centre;
        ASSERT_TRUE(ApplyNoiseFilter(1, p.data(), 5, 5));
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(p[3 * 12 + c], row.expectedCentre) << row.name;
            EXPECT_EQ(p[c], row.expectedBackground) << row.name << " corner";
        }
    }
}

TEST(NoiseFilter, FlatPictureStaysFlatAtTheBorderToo) {
    Pixels p(7 * 4 * 3, 80);
    ASSERT_TRUE(ApplyNoiseFilter(3, p.data(), 7, 4));
    EXPECT_EQ(p, Pixels(7 * 4 * 3, 77));
}

TEST(NoiseFilter, CornerPeakIsJudgedOnItsNeighboursInsideThePicture) {
    Pixels p(4 * 4 * 3, 100);
    p[0] = 200;
    ASSERT_TRUE(ApplyNoiseFilter(1, p.data(), 4, 4));
    EXPECT_EQ(p[0], 99);
}

TEST(NoiseFilter, ReportsProgressBetweenChannelsAndRestoresWhenCancelled) {
    Pixels p = numbered(6, 6);
    const Pixels before = p;
    std::vector<int> steps;
    ASSERT_TRUE(ApplyNoiseFilter(2, p.data(), 6, 6, [&](int done, int total) {
        EXPECT_EQ(total, 6);
        steps.push_back(done);
        return true;
    }));
    EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_NE(p, before);

    p = before;
    EXPECT_FALSE(ApplyNoiseFilter(2, p.data(), 6, 6, [](int done, int) { return done < 4; }));
    EXPECT_EQ(p, before);
}

TEST(ApplyEdits, RunsWhiteBalanceBeforeBrightnessAndRotatesLast) {
    // Two pixels wide, one high: rotation 3 makes it one wide and two high, second pixel on top.
    Pixels p{100, 50, 50, 0, 3, 3};
    EditSettings settings;
    settings.whiteBalance = {{200, 100, 100}, 0, 1};
    settings.brightness = 0.5f;
    settings.rotation = 3;
    const EditedSize size = ApplyEdits(&settings, p.data(), 2, 1);
    EXPECT_EQ(size.width, 1);
    EXPECT_EQ(size.height, 2);
    EXPECT_TRUE(size.completed);
    // White balance doubles green and blue first (3 -> 6), then brightness halves (6 -> 3);
    // the other order would give 2.
    EXPECT_EQ(p, (Pixels{0, 3, 3, 50, 50, 50}));
}

} // namespace
} // namespace kv::imaging
