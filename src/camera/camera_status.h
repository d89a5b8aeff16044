// CameraStatus: what the camera last said about itself in its status line, and the
// capability tests derived from it. Plain data (no heap members): the ping thread may refresh
// it while another thread reads it, as the camera link's shared words allow.
#pragma once

#include "base/bytes.h"

#include <array>
#include <cstdint>
#include <string_view>

namespace kv::camera {

// Bits of the type word.
inline constexpr std::uint16_t kTypeFileSystem = 0x400; // pictures are files on a memory card
inline constexpr std::uint16_t kTypeVariantB = 0x1000;  // second variant, JPEG pictures

struct CameraStatus {
    std::uint16_t type = 0;
    std::array<char, 12> firmware{}; // at most 11 characters and a NUL
    std::int32_t serialNumber = 0;
    std::int16_t pictures = -1;
    std::int16_t battery = 0; // 999 = mains power, else percent
    std::int16_t errorStatus = 0;
    std::int16_t exposureTime = 4;
    std::int16_t autoExposure = 0;
    std::int16_t flash = 1;
    std::int16_t quality = 70;
    std::int16_t legacyQuality = 0;
    std::int16_t sound = 1;
    std::int16_t number = 0;
    bool picturesFlag = false; // pictures == -99

    std::string_view firmwareText() const;
    // The firmware text read as a decimal number (0 when it is not one).
    double firmwareRevision() const;

    bool hasFileSystem() const { return (type & kTypeFileSystem) != 0; }
    bool variantB() const { return (type & kTypeVariantB) != 0; }
    // (variantB and firmware >= 2.0) or (not variantB and firmware >= 3.0)
    bool hasNewFirmware() const;
    // not variantB and firmware >= 3.0
    bool hasNewFirmwareA() const;
};

// Parses a status line
// "Type: %hd S/W: %s S/N: %ld Pix: %ld Bat: %hd EStat: %ld E0;%hd E1;%hd F0;%hd Q0;%hd S0;%hd No.
// %hd" into `status` as a scanf would: fields from the first one that does not match keep their old
// values; the scan stops at a NUL or the end of `line`. The firmware token keeps its first 11
// characters. Then the "Q0;" value goes to `quality` (variant B or firmware >= 3.0) or to
// `legacyQuality`, and `picturesFlag` follows `pictures`. Returns the number of fields read.
int parseStatusLine(ByteSpan line, CameraStatus& status);

} // namespace kv::camera
