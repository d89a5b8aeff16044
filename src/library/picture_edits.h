// What the rotate, white-balance, brightness and noise-filter commands do to a picture's
// record and file. Rotation and white balance are kept in a .kvi file too (Orientation and
// tag 523), so changing them rewrites the file; a plain JPEG picture only changes its record.
// The pixels themselves are edited only when shown or exported (imaging/edits.h).
#pragma once

#include "base/operator.h"
#include "base/result.h"
#include "library/picture_record.h"

#include <span>

namespace kv::library {

inline constexpr int kRotateClockwise = 1;
inline constexpr int kRotateCounterClockwise = -1;

// The orientation after one quarter turn in `direction` (+1 clockwise, -1 counter-clockwise)
// from `current`: current + direction, 4 and above wrapping to 0 and below 0 to 3. So two
// clockwise turns give 2 (180 degrees), as the user sees them.
std::int16_t NextOrientation(std::int16_t current, int direction);

// Rewrites a .kvi picture's file with the record's rotation and white-balance state; Ok for a
// JPEG picture, which keeps its file. The file is replaced atomically, so a failure leaves it as
// it was.
Status StorePictureAttributes(const PictureRecord& record, Operator* op = nullptr);

// Turns one picture by a quarter turn and stores it. When the file cannot be rewritten the
// record keeps its earlier orientation (record and file stay in step) and the result is Failed.
Status RotatePicture(PictureRecord& record, int direction, Operator* op = nullptr);

// Switches automatic white balance on and stores it; on a failed rewrite the record is left as
// it was and the result is Failed.
Status AutoWhiteBalance(PictureRecord& record, Operator* op = nullptr);

// The commands over the list: every highlighted record. The result is Ok when every rewrite
// succeeded; records whose file could not be written keep their earlier settings.
Status RotatePictures(std::span<PictureRecord> records, int direction, Operator* op = nullptr);
Status AutoWhiteBalancePictures(std::span<PictureRecord> records, Operator* op = nullptr);

// The Adjust Brightness dialog's result: the factor for a slider position.
void SetBrightness(PictureRecord& record, float factor);
// The Noise Filter dialog's result for each chosen record: the iteration count limited to
// 1..10 and the filter switched on.
void SetNoiseFilter(std::span<PictureRecord> records, int iterations);

} // namespace kv::library
