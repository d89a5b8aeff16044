// The picture information text of the current picture (the compact status layout's pop-up)
// and the texts it is made of.
#pragma once

#include "library/picture_record.h"

#include <string>
#include <string_view>

namespace kv::library {

// The exposure text of an index 0..11 (strings 61240-61251: "1/2000" ... "1"); "?" otherwise.
std::string_view exposureText(int index);
// The quality text of the status bar (strings 59151, 59150, 59149, 59156) for 0..3.
std::string_view qualityText(int quality);
// The flash text (strings 59148, 59147, 61254) for 0..2.
std::string_view flashText(int flash);

// A path of 26 characters or more shortened to its beginning up to the first separator, "...",
// and its end from the last separator ("/home/.../Image12.jpg"; a leading "/" belongs to the
// beginning, as a drive does on other systems). Shorter paths stay as they are.
std::string shortenPath(std::string_view path);

// The capture time as local date and time text ("2026-12-08 14:03:27").
std::string captureTimeText(std::int32_t seconds);

// The lines joined by "\r\n": size, file, created, manufacturing number (only with
// `diagnosticsShown`), exposure, and flash with compression or quality.
std::string pictureInformationText(const PictureRecord& record, bool diagnosticsShown);

} // namespace kv::library
