// JPEG files through libjpeg, with the camera's settings carried in APP1 markers:
//
//   "KVI Exposure Index: <n>", "KVI Flash: <n>", "KVI JPEG Quality: <n>",
//   "KVI Wavelet Compression: <n>" (only when not 0), "REZ_IZIDU: <camera note text>"
//
// each as one APP1 marker without a terminating zero. Library errors never end the process:
// every libjpeg call runs behind an error manager that returns control to the caller, which
// then reports Failed. Writers go through a temporary file, so a failed write leaves no half
// file and keeps an earlier file of the same name. Functions are safe to call from several
// threads at once.
#pragma once

#include "base/bytes.h"
#include "base/result.h"
#include "imaging/picture_attributes.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kv::imaging {

// The marker text buffer of the writer: the longest APP1 text is 10099 bytes.
inline constexpr std::size_t kJpegMarkerTextBytes = 10100;
// The reader's note buffer: the collected note texts are at most 9999 bytes.
inline constexpr std::size_t kJpegNoteBufferBytes = 10000;
// The largest picture ReadJpeg accepts.
inline constexpr std::uint64_t kJpegMaxPixels = kMaxPicturePixels;
// libjpeg's memory limit for decoding. The library has no backing store, so the limit must
// hold the whole-picture coefficient buffers of a progressive or multi-scan file: 128 bytes
// per 8 x 8 block of each of up to 4 components for the largest picture accepted, twice over
// for block padding and the library's row buffers.
inline constexpr long kJpegMemoryLimit = long(kJpegMaxPixels / 64 * 128 * 4 * 2);
// The quality the program writes pictures at.
inline constexpr int kJpegQuality = 90;

// The camera values read from a file's APP1 markers: 0 and an empty note when there are none.
struct JpegMarkers {
    int quality = 0;
    int exposureIndex = 0;
    int flash = 0;
    int waveletCompression = 0;
    std::string note; // each "REZ_IZIDU:" text followed by "\r\n"
    int app1Count = 0;
};

// Interprets one APP1 marker's text (as the marker handler does).
void HandleApp1Text(std::string_view text, JpegMarkers& markers);

// Writes `pixels` (width x height RGB, rows from the top) as a JPEG file. The five APP1 texts
// are written only when a note is given; a note longer than the marker buffer is cut to fit.
// The note is written whole, zero bytes included. Failed when the file cannot be written.
Status WriteJpeg(ByteSpan pixels, const std::filesystem::path& path, int width, int height,
                 int quality, int exposureIndex, int flash, std::optional<std::string_view> note,
                 int waveletCompression);

// Reads only the header: the picture's size, and the APP1 values when `markers` is given.
Status ReadJpegSize(const std::filesystem::path& path, int& width, int& height,
                    JpegMarkers* markers = nullptr);

// Where ReadJpeg put the picture inside the box.
struct JpegPlacement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    int scaleNumerator = 1;   // libjpeg's DCT scaling: 1/1, 1/2, 1/4, 1/8, or M/8 for
    int scaleDenominator = 1; // pictures that do not fit the box at those
    int reduction = 1;        // each placed pixel is the mean of reduction x reduction ones
    bool halved = false;      // reduction 2: decoded at up to twice the box and halved
};

// Decodes into `out`, a box of boxWidth x boxHeight RGB pixels (at least boxWidth x boxHeight
// x 3 bytes), scaled by libjpeg's DCT scaling to the largest of 1/1, 1/2, 1/4, 1/8 that fits
// (no scaling when the box is 960 wide). A picture still larger than the box (up to twice its
// size) is decoded whole and halved; one larger still is scaled by the largest M/8 that fits,
// or decoded at 1/8 and reduced by a whole factor. Every JPEG file the library decodes is
// read (baseline, progressive, multi-scan, restart markers); grey and CMYK pictures are
// converted to RGB. Placed at the box's centre when `centre` is set, otherwise top left; the
// rest of the box is left as it was. Refused (Failed, `out` untouched): more than 3072000
// pixels, a colour space other than grey, YCbCr, RGB, CMYK or YCCK. Failed also on a library
// error (the box may then be partly written).
Status ReadJpeg(const std::filesystem::path& path, std::span<std::uint8_t> out, int boxWidth,
                int boxHeight, bool centre, JpegMarkers* markers = nullptr,
                JpegPlacement* placement = nullptr);

// The same over a file already in memory.
Status ReadJpegBytes(ByteSpan jpeg, std::span<std::uint8_t> out, int boxWidth, int boxHeight,
                     bool centre, JpegMarkers* markers = nullptr,
                     JpegPlacement* placement = nullptr);
// Header and markers of a file in memory.
Status ReadJpegHeaderBytes(ByteSpan jpeg, int& width, int& height, int& components,
                           JpegMarkers* markers = nullptr);

// The storing path of a wavelet picture: the decoded 480 x 400 RGB picture enlarged to
// 960 x 800 (EnlargeTwice), white-balanced automatically with white points from the enlarged
// picture, and written at quality 90 with the picture's exposure index and flash, the given
// wavelet compression value (0 = not written) and the camera note section as note text.
Status StorePictureJpeg(ByteSpan rgb480x400, const std::filesystem::path& path,
                        const PictureAttributes& attributes, int waveletCompression,
                        ByteSpan noteSection);

} // namespace kv::imaging
