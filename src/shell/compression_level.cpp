#include "shell/compression_level.h"

namespace kv::shell {

namespace {

std::uint32_t readU32(ByteSpan b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

void writeU32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

constexpr std::size_t kFieldsEnd = kParamTargetSizeOffset + 8;

} // namespace

CompressionDialogKind compressionDialogKind(bool variantB, bool newFirmwareA, int edition) {
    if (variantB)
        return (edition == 1 || edition == 3) ? CompressionDialogKind::JpegWords
                                              : CompressionDialogKind::JpegScale;
    return newFirmwareA ? CompressionDialogKind::WaveletNew : CompressionDialogKind::WaveletOld;
}

CompressionDialogSpec compressionDialogSpec(CompressionDialogKind kind) {
    switch (kind) {
    case CompressionDialogKind::JpegScale:
        return {kind, "JPEG Compression Level",           "", 40, 100,
                5,    {"Lower Quality", "Higher Quality"}};
    case CompressionDialogKind::JpegWords:
        return {kind, "JPEG Compression Level", "", 40, 90, 0, {"Good", "Better", "Best"}};
    case CompressionDialogKind::WaveletNew:
        return {
            kind,         "Wavelet Compression Level", "Best Target Image Size in KB", 10, 100, 10,
            {"10", "100"}};
    case CompressionDialogKind::WaveletOld:
        break;
    }
    // The older camera's slider carries kilobytes + 10. Its range keeps the target within the
    // 10..100 KB that reading the record accepts back (a slider at 11..19 would store 1..9 KB,
    // which the next dialog would throw away as invalid).
    return {CompressionDialogKind::WaveletOld,
            "Wavelet Compression Level",
            "Best Target Image Size in KB",
            20,
            110,
            10,
            {"10", "100"}};
}

std::optional<int> oldWaveletSliderStart(ByteSpan record) {
    if (record.size() < kFieldsEnd)
        return std::nullopt;
    std::uint32_t kb = readU32(record, kParamTargetSizeOffset) / 1000;
    if (kb < 10 || kb > 100)
        kb = 35;
    return static_cast<int>(kb) + 10;
}

bool applyOldWaveletSlider(Bytes& record, int v) {
    if (record.size() < kFieldsEnd || v < 0)
        return false;
    const int kb = v >= 11 ? v - 10 : v;
    const std::uint32_t target = static_cast<std::uint32_t>(kb) * 1000;
    writeU32(record, kParamTargetSizeOffset, target);
    writeU32(record, kParamTargetSizeOffset + 4, target / 2);
    return true;
}

} // namespace kv::shell
