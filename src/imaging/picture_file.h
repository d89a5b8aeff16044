// The .kvi picture file: a TIFF-structured file of two IFDs. IFD 0 is the 120 x 100 RGB
// thumbnail (subfile type 1) and carries every private tag including the sound clip; IFD 1 is
// the picture (nominally 480 x 400 RGB, subfile type 0) whose strip holds the camera's picture
// data as received (compression 492: a note section and a wavelet stream; compression 1: the
// 576000 bytes of an uncompressed picture). Both IFDs carry the camera settings: quality
// (516), flash (517), exposure index (518), camera id (519), manufacturing word (522),
// white-balance state (523), picture-data length (514), capture time (306) and the user's
// rotation as Orientation (274).
//
// Writers replace files atomically: a failed store or rewrite leaves the earlier file intact.
#pragma once

#include "base/bytes.h"
#include "base/operator.h"
#include "base/result.h"
#include "imaging/picture_attributes.h"

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace kv::codec {
class WaveletCodec;
}

namespace kv::imaging {

// The program's title text written as Software (305).
inline constexpr std::string_view kSoftwareTitle = "Korvane - Korvane Mini";

// What ReadPictureFile returns.
enum class PicturePart : int {
    Sound = 0,     // the sound clip of IFD 0 (tag 515)
    Thumbnail = 1, // 36000 bytes of 120 x 100 RGB
    Picture = 2,   // the decoded 480 x 400 RGB picture (576000 bytes)
    Note = 5,      // the camera note section (0x03 0x03 ... 0x04 0x04) of the picture data
};

// Sections of camera picture data for SplitPictureData.
inline constexpr int kSectionStream = 2;
inline constexpr int kSectionNote = 5;

// The camera picture data's sections. When the data starts with 0x03 0x03 (and is longer
// than 2 bytes) the note section ends at the first 0x04 0x04 found at positions i+2, i+3 for
// i = 2, 3, ...; the stream follows it. kSectionStream gives the stream (the whole data when
// there is no note section); kSectionNote the note section (empty when there is none).
ByteSpan SplitPictureData(int section, ByteSpan data);

// The thumbnail of an RGB picture: each 4 x 4 block averaged per channel (sum / 16,
// truncated). The result is (width / 4) x (height / 4) pixels.
Bytes MakeThumbnail(ByteSpan rgb, int width, int height);

// Stores a picture received from the camera. `rgb` is the picture as 480 x 400 RGB (already
// decoded or developed); `info.pictureData` is what IFD 1 keeps (for quality 3 the 576000
// bytes of RGB; when empty, `rgb` is kept). Quality 3 is written with header version 42 and
// compression 1, qualities 0-2 with version 138 and compression 492. A picture without a
// capture time gets the current time in `info`. Failed when the file cannot be written (the
// operator, when given, is shown "FileError!") or the buffers are too short.
Status StorePictureFile(PictureAttributes& info, const std::filesystem::path& path, ByteSpan rgb,
                        Operator* op = nullptr);

// The same, decoding a wavelet picture's data (info.pictureData, qualities 0-2) first. Failed
// also when the stream does not decode. A null codec uses one kept for this thread.
Status StorePictureFile(PictureAttributes& info, const std::filesystem::path& path,
                        Operator* op = nullptr, codec::WaveletCodec* codec = nullptr);

// Rewrites info.path with the current attributes (rotation, white balance, ...), keeping its
// thumbnail, sound clip and picture data. Always header version 138. Failed when the existing
// file cannot be read or the new one written; the existing file is then left as it was.
// The capture time is kept: the record's, else the one in the file (a new one only when
// neither has one); `info.captureTime` then holds the time written.
Status RewritePictureFile(PictureAttributes& info, Operator* op = nullptr);
Status RewritePictureFile(const PictureAttributes& info, Operator* op = nullptr);

// Reads one part of a .kvi (or TIFF) file into `out`; `length` is as the part says: 0 for the
// sound clip (the clip's size is out.size()), 36000 for the thumbnail, 576000 for the picture
// (0 on failure), the note section's length for the note. Failed (0xFFFF) when the file cannot
// be opened or its first IFD (for the picture and note also the second) cannot be read, or the
// picture data is shorter than its length or does not decode. Other widths of thumbnail are
// read whole and their top-left 120 x 100 pixels copied out.
Status ReadPictureFile(const std::filesystem::path& path, PicturePart part, Bytes& out,
                       std::uint32_t& length, codec::WaveletCodec* codec = nullptr);

// Part 4: the attributes from IFD 0's tags (quality, flash, exposure index, sound length,
// picture-data length (576000 when absent or 0), white balance, rotation, camera id cut to 10
// characters, manufacturing word when not 0, capture time). Attributes whose tags are absent
// keep the values `info` had. Sets info.path.
Status ReadPictureFile(const std::filesystem::path& path, PictureAttributes& info);

// The same two readers over a file already in memory (fuzzing, tests).
Status ReadPictureBytes(Bytes fileBytes, PicturePart part, Bytes& out, std::uint32_t& length,
                        codec::WaveletCodec* codec = nullptr);
Status ReadPictureBytes(Bytes fileBytes, PictureAttributes& info);

// The picture-data length of a file's picture IFD when tag 514 is absent or 0.
inline constexpr std::uint32_t kDefaultPictureDataLength = kPictureBytes;

} // namespace kv::imaging
