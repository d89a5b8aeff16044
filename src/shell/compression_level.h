// Set Compression Level without a GUI: which of the three dialogs a camera gets (by its kind
// and the program's edition), the sliders' ranges and labels, and the older wavelet camera's
// parameter-record arithmetic (a target picture size in bytes and half of it after it).
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kv::shell {

enum class CompressionDialogKind {
    JpegScale,  // JPEG camera, editions 0 and 2: 40..100 with "Lower/Higher Quality"
    JpegWords,  // JPEG camera, editions 1 and 3: 40..90 with "Good", "Better", "Best"
    WaveletNew, // new wavelet firmware: the level sent as it is, 10..100
    WaveletOld, // older wavelet camera: the target size in the parameter record
};

struct CompressionDialogSpec {
    CompressionDialogKind kind;
    std::string_view title;
    std::string_view caption; // over the slider; empty = none
    int minimum;
    int maximum;
    int tickInterval;                     // 0 = no tick marks
    std::vector<std::string_view> labels; // spread evenly under the slider, left to right
};

CompressionDialogKind compressionDialogKind(bool variantB, bool newFirmwareA, int edition);
CompressionDialogSpec compressionDialogSpec(CompressionDialogKind kind);

// Where the older wavelet camera keeps its target picture size (bytes) in the parameter
// record; the 32-bit field after it holds half of it.
inline constexpr std::size_t kParamTargetSizeOffset = 300;

// The slider position the dialog opens at for a record: the target in kilobytes (35 when
// outside 10..100), plus 10. Nothing when the record is too short.
std::optional<int> oldWaveletSliderStart(ByteSpan record);
// Writes the slider's value `v` into the record (kilobytes v - 10 from 11 on, else v).
// False when the record is too short.
bool applyOldWaveletSlider(Bytes& record, int v);

inline constexpr std::string_view kCameraNotConnected = "Camera Not Connected!";
inline constexpr std::string_view kCommunicationsError = "Communications Error.";
inline constexpr std::string_view kCompressionChanged = "Compression Level Change Successful.";
inline constexpr std::string_view kCompressionFailed = "Compression Level Change FAILED!";

} // namespace kv::shell
