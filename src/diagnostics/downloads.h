// Firmware and calibration downloads: block downloads with checksums (gain image, blemish
// list, gamma table, raw camera memory), the firmware in S-record form, the DAC setting and the
// serial number.
#pragma once

#include "base/bytes.h"
#include "base/result.h"

#include <optional>
#include <string>

namespace kv::diagnostics {

struct Station;

// Download kinds: the camera command that announces each block.
inline constexpr int kDownloadGain = 7;
inline constexpr int kDownloadBlemish = 8;
inline constexpr int kDownloadGamma = 9;
inline constexpr int kDownloadDram = 34;

// Sends data[start, size) in blocks of at most 8192 bytes (L0, the announcing command, the
// bytes, "OK\r\n"); a block failing five times ends it. Then waits for the camera to program
// its flash (a status poll a second, at most 65). The flash setting is restored on every
// path. 0, or the failing camera status code.
Status downloadBlock(Station& s, ByteSpan buffer, long start, int kind);

// The S-record firmware download. `file` is the program file (automatic mode: the setting
// "DOWNLOAD_PROGRAM"; otherwise the operator picks one unless given). Reconnects afterwards,
// since the camera restarts on its new program. True when every record was accepted.
bool downloadFirmware(Station& s, std::optional<std::string> file = std::nullopt);

// "Download default Gamma Table?": the built-in table, or a gamma text file (`file`, or the
// operator's pick). True on success.
bool downloadGammaTable(Station& s, std::optional<std::string> file = std::nullopt);

// The encoded blemish list (49 152 bytes) from `file` or the operator's pick.
bool downloadBlemishList(Station& s, std::optional<std::string> file = std::nullopt);

// "Batch Process": a memory image from `file` (or the operator's pick) goes into the camera's
// memory, which then processes it as a picture.
bool batchProcess(Station& s, std::optional<std::string> file = std::nullopt);

// Writes `value` to the DAC word of the camera's process parameters and reads it back.
// 0 when the camera holds the value, −1 otherwise (boxes as the failures need).
int downloadDacSetting(Station& s, long value);

// Lets the camera give itself a serial number (see the .cpp for the rule). True when the
// camera answered afterwards.
bool setSerialNumber(Station& s);

// Sizes of the calibration images.
inline constexpr std::size_t kGainImageBytes = 387968;
inline constexpr std::size_t kBlemishListBytes = 49152;
inline constexpr std::size_t kGammaTableBytes = 2048;
// Where the camera keeps the gain image it programmed: read back through "U2" (its FRAM
// window) to check what it holds.
inline constexpr long kGainFlashAddress = 0x80000;
// A batch image is at most the camera's 1 MiB frame memory.
inline constexpr std::size_t kMaxBatchImage = 1u << 20;

} // namespace kv::diagnostics
