#include "imaging/process/ycc_planes.h"
#include "imaging/process/ycc_simulation.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kv::process {
namespace {

TEST(YccPlanes, BytesSurviveTheTripThroughPlanes) {
    std::vector<std::uint8_t> rgb(kPlaneSize * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<std::uint8_t>(i * 31 % 256);
    const Planes planes = PlanesFromRgb8(rgb);
    EXPECT_EQ(PlanesToRgb8(planes), rgb);
    // Row 0 of the picture is the top: position y = 399 of the planes.
    EXPECT_FLOAT_EQ(planes.at(0, 1, 399) * kPlaneToByte, float(rgb[3]));
}

TEST(YccPlanes, ColourConversionsAreNearlyInverse) {
    Planes planes;
    for (int c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < kPlaneSize; ++i)
            planes.p[c][i] = float((i * (c + 3)) % 32000);
    const Planes original = planes;
    ConvertRgbToYcc(planes);
    // Grey has no colour difference.
    Planes grey;
    for (auto& p : grey.p)
        std::fill(p.begin(), p.end(), 1000.0f);
    ConvertRgbToYcc(grey);
    EXPECT_NEAR(grey.p[0][0], 1000.0f, 0.01f);
    EXPECT_NEAR(grey.p[1][0], 0.0f, 0.01f);
    EXPECT_NEAR(grey.p[2][0], 0.0f, 0.01f);
    ConvertYccToRgb(planes);
    for (int c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < kPlaneSize; i += 101)
            ASSERT_NEAR(planes.p[c][i], original.p[c][i], 32000 * 0.001) << c << " " << i;
}

TEST(YccPlanes, MeansAndVariances) {
    Planes planes;
    std::fill(planes.p[0].begin(), planes.p[0].end(), 500.0f);
    for (std::size_t i = 0; i < kPlaneSize; ++i)
        planes.p[1][i] = i % 2 ? 10.0f : -10.0f;
    std::array<double, 3> means{}, variances{};
    RemoveMeans(planes, means, variances);
    EXPECT_DOUBLE_EQ(means[0], 500.0);
    EXPECT_DOUBLE_EQ(variances[0], 0.0);
    EXPECT_DOUBLE_EQ(means[1], 0.0);
    EXPECT_DOUBLE_EQ(variances[1], 100.0);
    EXPECT_EQ(planes.p[0][17], 0.0f);
    AddMeans(planes, means);
    EXPECT_EQ(planes.p[0][17], 500.0f);
}

TEST(YccPlanes, ToneTableOnPlaneValues) {
    Planes planes;
    planes.p[0][0] = 100 * 32.0f; // tone entry 100 is 359
    planes.p[0][1] = -5.0f;       // below 0 takes entry 0
    planes.p[0][2] = 40000.0f;    // past the end takes entry 1023
    ApplyToneTable(planes);
    EXPECT_EQ(planes.p[0][0], 359 * 32.0f);
    EXPECT_EQ(planes.p[0][1], 0.0f);
    EXPECT_EQ(planes.p[0][2], 1023 * 32.0f);
}

} // namespace
} // namespace kv::process
