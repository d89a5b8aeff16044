// The attributes a picture carries in its file: the camera settings at capture, the capture
// time, the user's rotation and white-balance state, the sound clip and the picture data as the
// camera delivered them. The document's picture entry holds one of these per picture.
#pragma once

#include "base/bytes.h"
#include "imaging/edit_settings.h"

#include <cstdint>
#include <string>

namespace kv::imaging {

// Picture quality codes (also the wavelet decoder's mode argument).
enum PictureQuality : std::uint16_t {
    kQualityBest = 0,
    kQualityStandard = 1,
    kQualityCine = 2,
    kQualityUncompressed = 3,
};

// 65535 in quality, flash or exposure index means "not known": the tag is not written.
// The largest picture the program takes in (the 1920 x 1600 output size): larger JPEG and
// bitmap files are refused rather than allocated.
inline constexpr std::uint64_t kMaxPicturePixels = 3072000;
inline constexpr std::uint16_t kAttributeUnknown = 0xFFFF;

// The compression codes of the picture IFD.
inline constexpr std::uint16_t kCompressionNone = 1;
inline constexpr std::uint16_t kCompressionWavelet = 492;

// Nominal sizes of the stored forms.
inline constexpr int kPictureWidth = 480;
inline constexpr int kPictureHeight = 400;
inline constexpr std::uint32_t kPictureBytes = 480 * 400 * 3; // 576000
inline constexpr int kThumbnailWidth = 120;
inline constexpr int kThumbnailHeight = 100;
inline constexpr std::uint32_t kThumbnailBytes = 120 * 100 * 3; // 36000
inline constexpr int kJpegWidth = 960;
inline constexpr int kJpegHeight = 800;

struct PictureAttributes {
    std::uint16_t quality = kQualityBest;
    std::uint16_t flash = 1;
    std::uint16_t exposureIndex = kAttributeUnknown; // -1 when unknown
    std::string cameraId;                            // at most 10 characters are kept
    std::uint32_t manufacturingWord = 0;             // 0 = none
    std::uint32_t captureTime = 0;                   // seconds since 1970; 0 = not yet known
    std::int16_t rotation = 0;                       // quarter turns clockwise, 0..3
    WhiteBalanceState whiteBalance;

    // The camera's data. The writers use the bytes; the attribute reader fills only the
    // lengths (soundLength, pictureDataLength) and leaves the buffers empty.
    Bytes soundClip;
    Bytes pictureData;
    std::uint32_t soundLength = 0;
    std::uint32_t pictureDataLength = 0;

    std::string path; // the picture file
};

// "Best", "Standard", "Cine", "Uncompressed"; "unknown" for other codes.
inline const char* qualityName(int quality) {
    switch (quality) {
    case kQualityBest:
        return "Best";
    case kQualityStandard:
        return "Standard";
    case kQualityCine:
        return "Cine";
    case kQualityUncompressed:
        return "Uncompressed";
    default:
        return "unknown";
    }
}

// The TIFF Orientation value for a rotation (0 -> 1, meaning none; 1 -> 6; 2 -> 3; 3 -> 8) and
// back (6 -> 1, 3 -> 2, 8 -> 3, anything else 0).
inline std::int16_t orientationForRotation(int rotation) {
    switch (rotation) {
    case 1:
        return 6;
    case 2:
        return 3;
    case 3:
        return 8;
    default:
        return 1;
    }
}
inline std::int16_t rotationForOrientation(int orientation) {
    switch (orientation) {
    case 6:
        return 1;
    case 3:
        return 2;
    case 8:
        return 3;
    default:
        return 0;
    }
}

} // namespace kv::imaging
