// The program's side of the TWAIN hand-off: Transfer to Application in TWAIN mode leaves the
// highlighted picture as "KVImage<position>.bmp" (a 24-bit bottom-up bitmap, see
// imaging/bitmap_file.h) in the temporary directory, then writes how many pictures it left to
// key "PendingImages" of section "Source" in "KVTwain.ini" (settings/twain_profile.h). The data
// source polls that key, so the bitmap is always complete before the count says it is there.
#pragma once

#include "base/operator.h"
#include "base/result.h"
#include "imaging/rgb_picture.h"
#include "library/picture_record.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string_view>

namespace kv::library {

// String 61527.
inline constexpr std::string_view kMultipleTransfersMessage =
    "Multiple transfers are not supported, highlight a single image only.";
// The hand-off bitmap of a list position: "KVImage<position>.bmp" in `directory`.
std::filesystem::path handoffBitmapPath(const std::filesystem::path& directory,
                                        std::size_t position);

// The picture at a list position, rendered for output exactly as for Copy and Save As (output
// size, current orientation, edits applied): top-down RGB rows. An invalid picture means the
// picture could not be rendered.
using OutputRenderer = std::function<imaging::RgbPicture(std::size_t position)>;

// Where the hand-off goes. The default is the temporary directory of platform/paths.h and the
// shared INI file of settings/twain_profile.h.
struct HandoffPlaces {
    std::filesystem::path directory;
    std::filesystem::path iniFile;
};
HandoffPlaces defaultHandoffPlaces();

// Transfer to Application over the document's list. Two or more highlighted pictures: message
// 61527, nothing written. Otherwise the highlighted picture (if any) is rendered and written
// under a temporary name that is then renamed over the hand-off name (a symbolic link there
// is replaced, never written through; a file of another user there refuses the transfer), and
// then PendingImages = the count (0 or 1) is written. A temporary directory that does not
// exist, is not a directory or cannot be written refuses the transfer. Every refusal and
// failure is shown through `op` and returns Failed; the count is then not written, and an
// earlier bitmap of the same name is left as it was. The wait cursor shows while a file is
// written.
Status TransferToApplication(std::span<const PictureRecord> pictures, const OutputRenderer& render,
                             Operator& op, const HandoffPlaces& places = defaultHandoffPlaces());

} // namespace kv::library
