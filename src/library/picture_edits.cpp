#include "library/picture_edits.h"

#include "imaging/edits.h"
#include "imaging/picture_file.h"

#include <algorithm>

namespace kv::library {

std::int16_t NextOrientation(std::int16_t current, int direction) {
    int next = current + direction;
    if (next > 3)
        next = 0;
    else if (next < 0)
        next = 3;
    return static_cast<std::int16_t>(next);
}

Status StorePictureAttributes(const PictureRecord& record, Operator* op) {
    if (record.isJpeg != 0)
        return status::Ok;
    imaging::PictureAttributes attributes = record.attributes;
    attributes.path = record.path;
    attributes.rotation = record.edits.rotation;
    attributes.whiteBalance = record.edits.whiteBalance;
    return imaging::RewritePictureFile(attributes, op);
}

Status RotatePicture(PictureRecord& record, int direction, Operator* op) {
    const std::int16_t before = record.edits.rotation;
    record.edits.rotation = NextOrientation(before, direction);
    const Status rc = StorePictureAttributes(record, op);
    if (rc != status::Ok) {
        record.edits.rotation = before;
        return rc;
    }
    record.attributes.rotation = record.edits.rotation;
    return status::Ok;
}

Status AutoWhiteBalance(PictureRecord& record, Operator* op) {
    const imaging::WhiteBalanceState before = record.edits.whiteBalance;
    record.edits.whiteBalance.enabled = 1;
    const Status rc = StorePictureAttributes(record, op);
    if (rc != status::Ok) {
        record.edits.whiteBalance = before;
        return rc;
    }
    record.attributes.whiteBalance = record.edits.whiteBalance;
    return status::Ok;
}

Status RotatePictures(std::span<PictureRecord> records, int direction, Operator* op) {
    Status result = status::Ok;
    for (PictureRecord& r : records)
        if (r.highlighted && RotatePicture(r, direction, op) != status::Ok)
            result = status::Failed;
    return result;
}

Status AutoWhiteBalancePictures(std::span<PictureRecord> records, Operator* op) {
    Status result = status::Ok;
    for (PictureRecord& r : records)
        if (r.highlighted && AutoWhiteBalance(r, op) != status::Ok)
            result = status::Failed;
    return result;
}

void SetBrightness(PictureRecord& record, float factor) {
    record.edits.brightness = factor;
}

void SetNoiseFilter(std::span<PictureRecord> records, int iterations) {
    const auto count =
        static_cast<std::uint16_t>(std::clamp(iterations, 1, imaging::kMaxNoiseIterations));
    for (PictureRecord& r : records) {
        r.edits.noiseIterations = count;
        r.edits.noiseEnabled = 1;
    }
}

} // namespace kv::library
