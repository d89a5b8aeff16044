// One open picture of the document's list: where its file is, how it is marked in the list, the
// capture settings read from the file and the user's edits. A plain value, moved and copied
// freely; it owns no resources besides its strings and buffers.
#pragma once

#include "imaging/edit_settings.h"
#include "imaging/picture_attributes.h"

#include <array>
#include <cstdint>
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
};

} // namespace kv::library
