#include "shell/compression_level.h"

#include <gtest/gtest.h>

namespace kv::shell {
namespace {

Bytes recordWithTarget(std::uint32_t bytes) {
    Bytes r(1024, 0);
    for (int i = 0; i < 4; ++i)
        r[kParamTargetSizeOffset + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(bytes >> (8 * i));
    return r;
}

std::uint32_t u32(const Bytes& r, std::size_t at) {
    return r[at] | r[at + 1] << 8 | r[at + 2] << 16 | std::uint32_t(r[at + 3]) << 24;
}

TEST(CompressionLevel, DialogByCameraAndEdition) {
    struct Case {
        bool variantB, newFirmwareA;
        int edition;
        CompressionDialogKind kind;
        int minimum, maximum;
    };
    const Case cases[] = {
        {true, false, 0, CompressionDialogKind::JpegScale, 40, 100},
        {true, false, 2, CompressionDialogKind::JpegScale, 40, 100},
        {true, false, 1, CompressionDialogKind::JpegWords, 40, 90},
        {true, false, 3, CompressionDialogKind::JpegWords, 40, 90},
        {false, true, 0, CompressionDialogKind::WaveletNew, 10, 100},
        {false, false, 1, CompressionDialogKind::WaveletOld, 20, 110},
    };
    for (const Case& c : cases) {
        const auto kind = compressionDialogKind(c.variantB, c.newFirmwareA, c.edition);
        EXPECT_EQ(kind, c.kind) << c.edition;
        const auto form = compressionDialogSpec(kind);
        EXPECT_EQ(form.minimum, c.minimum);
        EXPECT_EQ(form.maximum, c.maximum);
    }
    EXPECT_EQ(compressionDialogSpec(CompressionDialogKind::JpegWords).labels,
              (std::vector<std::string_view>{"Good", "Better", "Best"}));
    EXPECT_EQ(compressionDialogSpec(CompressionDialogKind::JpegScale).tickInterval, 5);
}

TEST(CompressionLevel, OlderWaveletStartFromTheRecord) {
    const std::pair<std::uint32_t, int> cases[] = {
        {5000, 45},    // 5 KB is below 10: 35 + 10
        {10000, 20},   // 10 KB kept
        {100999, 110}, // 100 KB kept
        {101000, 45},  // 101 KB too large
        {0xFFFFFFFFu, 45}, {48000, 58},
    };
    for (const auto& [target, start] : cases)
        EXPECT_EQ(oldWaveletSliderStart(recordWithTarget(target)), start) << target;
    EXPECT_FALSE(oldWaveletSliderStart(Bytes(kParamTargetSizeOffset + 7)));
}

TEST(CompressionLevel, OlderWaveletSliderWritesTargetAndHalf) {
    const std::pair<int, std::uint32_t> cases[] = {{60, 50000}, {20, 10000}, {110, 100000},
                                                   {11, 1000},  {10, 10000}, {5, 5000}};
    for (const auto& [v, target] : cases) {
        Bytes r = recordWithTarget(0);
        r[0] = 0x5A; // the rest of the record is left alone
        ASSERT_TRUE(applyOldWaveletSlider(r, v));
        EXPECT_EQ(u32(r, kParamTargetSizeOffset), target) << v;
        EXPECT_EQ(u32(r, kParamTargetSizeOffset + 4), target / 2) << v;
        EXPECT_EQ(r[0], 0x5A);
    }
    // Every position the slider offers comes back as itself when the dialog opens again.
    const auto form = compressionDialogSpec(CompressionDialogKind::WaveletOld);
    for (int v = form.minimum; v <= form.maximum; ++v) {
        Bytes r = recordWithTarget(0);
        ASSERT_TRUE(applyOldWaveletSlider(r, v));
        EXPECT_EQ(oldWaveletSliderStart(r), v);
    }
    Bytes shortRecord(kParamTargetSizeOffset + 4);
    EXPECT_FALSE(applyOldWaveletSlider(shortRecord, 60));
}

} // namespace
} // namespace kv::shell
