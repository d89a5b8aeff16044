// One open picture of the document's list: where its file is, how it is marked in the list, the
// capture settings read from the file and the user's edits. A plain value, moved and copied
// freely; besides its strings and buffers it shares only its cached thumbnail, which is
// immutable once made (so a copy handed to a worker thread stays valid).
#pragma once

#include "imaging/edit_settings.h"
#include "imaging/picture_attributes.h"
#include "imaging/rgb_picture.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace kv::library {

struct PictureRecord {
    std::string path;           // full path of the picture file
    std::uint16_t isJpeg = 0;   // 1: a JPEG file, 0: a .kvi file
    bool highlighted = false;   // chosen in the list
    std::uint16_t hasSound = 0; // non-zero when a sound clip belongs to the picture
    std::int32_t sortKey = 0;   // capture time, seconds since 1970; the list is newest first
    std::uint32_t fileSize = 0; // bytes
    std::array<std::uint16_t, 2> editMarks{}; // pending edits, cleared by Save and Revert

    // Capture settings from the file.
    std::uint32_t manufacturingNumber = 0;
    std::uint16_t quality = 0;
    std::uint16_t flashState = 1;
    std::int16_t exposureIndex = -1;
    std::uint16_t jpegLevel = 0;

    // The edits: edits.rotation is the record's orientation (0..3 quarter turns clockwise) and
    // edits.brightness its brightness gain (1.0 for a new record).
    imaging::EditSettings edits;
    // The .kvi header fields, for rewriting the file with new attributes.
    imaging::PictureAttributes attributes;

    // The picture's size as stored (a JPEG's own size, 480 x 400 for a .kvi file), before
    // the rotation; 0 while not known.
    int storedWidth = 0;
    int storedHeight = 0;

    // Given by the list when the record is appended; stays with the picture while indices
    // shift, so results of background work find their record again.
    std::uint64_t id = 0;
    // Counts changes of the file or the edits; work started on an older revision is stale.
    std::uint32_t revision = 0;
    // The picture rendered in thumbnail mode (edits applied), null until made.
    std::shared_ptr<const imaging::RgbPicture> thumbnail;

    // The file or the edits changed: the cached thumbnail no longer shows the picture.
    void dropThumbnail() {
        thumbnail.reset();
        ++revision;
    }
};

} // namespace kv::library
