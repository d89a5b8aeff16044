#include "imaging/process/gain_file.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"
#include "platform/atomic_file.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace kv::process {
namespace {

// An encoded gain image whose streams all start at `start` with zero differences.
Bytes flatImage(std::uint16_t start) {
    Bytes b(kEncodedGainBytes, 0);
    for (std::size_t s = 0; s < 1920; ++s)
        storeLe16(b, 2 * s, start);
    return b;
}

std::uint16_t gainAt(const std::vector<std::uint16_t>& g, int line, int column) {
    return g[std::size_t(line) * kMosaicWidth + column];
}

TEST(GainFile, DecodesStartValuesAndDifferencesUpEachColumn) {
    Bytes b = flatImage(128);
    // Column 5, p = 0 (lines 799, 797, ...): first difference +1, fifth -2 (second word).
    const std::size_t stream0 = 3968 + (2 * 5 + 0) * 200;
    storeLe16(b, stream0, 0x0001);
    storeLe16(b, stream0 + 2, 0x000E);
    // Column 5, p = 1 (lines 798, 796, ...): second difference -8.
    const std::size_t stream1 = 3968 + (2 * 5 + 1) * 200;
    storeLe16(b, stream1, 0x0080);
    std::vector<std::uint16_t> g;
    ASSERT_TRUE(DecodeGainImage(b, g));
    ASSERT_EQ(g.size(), kMosaicSamples);
    EXPECT_EQ(gainAt(g, 0, 0), kGainUnity);
    EXPECT_EQ(gainAt(g, 799, 5), 129 * 8);
    EXPECT_EQ(gainAt(g, 793, 5), 129 * 8); // values 0..3 of the stream
    EXPECT_EQ(gainAt(g, 791, 5), 127 * 8); // value 4 took -2
    EXPECT_EQ(gainAt(g, 1, 5), 127 * 8);
    EXPECT_EQ(gainAt(g, 798, 5), 128 * 8);
    EXPECT_EQ(gainAt(g, 796, 5), 120 * 8);
    EXPECT_EQ(gainAt(g, 0, 5), 120 * 8);
    EXPECT_EQ(gainAt(g, 799, 4), kGainUnity);

    Bytes shorter(kEncodedGainBytes - 1);
    EXPECT_FALSE(DecodeGainImage(shorter, g));
}

TEST(GainFile, HostileStartValuesStayWithinGains) {
    Bytes b = flatImage(0xFFFF);
    std::vector<std::uint16_t> g;
    ASSERT_TRUE(DecodeGainImage(b, g));
    EXPECT_EQ(gainAt(g, 0, 0), 8191 * 8);
}

TEST(GainFile, ApplyingGains) {
    struct Row {
        std::uint16_t sample, gain, expected;
    };
    for (Row row :
         {Row{1000, 1024, 1000}, Row{1000, 2048, 2000}, Row{1000, 512, 500},
          Row{65472, 2048, 65535}, Row{1000, 65535, 1000}, Row{1000, 0, 0}, Row{3, 1365, 3}}) {
        std::uint16_t s = row.sample;
        ApplyGains(&s, &row.gain, 1);
        EXPECT_EQ(s, row.expected) << row.sample << " x " << row.gain;
    }
    std::uint16_t s = 1000, gain = 2048;
    ApplyGains(&s, &gain, 1, 1023);
    EXPECT_EQ(s, 1023);
}

TEST(GainFile, LoadsBothForms) {
    testing::ScratchDir dir;
    std::vector<std::uint16_t> gains(kMosaicSamples, 2048);
    gains[12345] = 700;
    ASSERT_EQ(imaging::WriteMono16Tiff(dir / "g.tif", kMosaicWidth, kMosaicHeight, gains.data()),
              status::Ok);
    ASSERT_TRUE(platform::writeFileAtomically(dir / "gain.bin", flatImage(64)));

    std::vector<std::uint16_t> loaded;
    std::string error;
    ASSERT_TRUE(LoadGainFile(dir / "g.tif", loaded, &error)) << error;
    EXPECT_EQ(loaded, gains);
    ASSERT_TRUE(LoadGainFile(dir / "gain.bin", loaded, &error)) << error;
    EXPECT_EQ(loaded[0], 512);

    // Wrong sizes and missing files are refused with a reason.
    ASSERT_EQ(imaging::WriteMono16Tiff(dir / "small.tif", 10, 10, gains.data()), status::Ok);
    EXPECT_FALSE(LoadGainFile(dir / "small.tif", loaded, &error));
    EXPECT_NE(error.find("960 x 800"), std::string::npos);
    testing::RecordingOperator op;
    EXPECT_FALSE(LoadGainFile(dir / "none.tif", loaded, &error, &op));
    EXPECT_EQ(op.messages, std::vector<std::string>{"FileError!"});
}

} // namespace
} // namespace kv::process
