// The names a picture goes by: its file title, the caption under its thumbnail, the
// temporary working copy ("~" in front of the title) beside the saved file, and the sound
// file beside a JPEG picture.
#pragma once

#include <string>
#include <string_view>

namespace kv::library {

// String 61235, what a shortened caption ends with.
inline constexpr std::string_view kCaptionEllipsis = " ...";

// The file name without its directory, with a trailing ".kvi" or ".jpg" (in any case)
// removed when the name is longer than 4 characters.
std::string fileTitle(std::string_view path);

// The caption for a title: titles of up to 11 characters whole, longer ones as their first
// 10 characters and " ...".
std::string captionForTitle(std::string_view title);

// True when the picture at `path` is a temporary working copy (its title begins with "~").
bool isTemporaryPath(std::string_view path);
// The saved file a working copy belongs to: the same directory and extension, the title
// without its "~". A path that is not temporary is returned as it is.
std::string savedPathOf(std::string_view path);
// The working copy's name for a saved file: "~" in front of the file name.
std::string workingPathOf(std::string_view path);

// The sound file of a JPEG picture: the path with its last three characters replaced by
// "wav". A working copy's sound is the saved file's sound (edits never touch sound).
std::string soundPathOf(std::string_view path);

// True when the path ends in ".kvi" or ".jpg", ignoring case.
bool hasPictureExtension(std::string_view path);
bool hasJpegExtension(std::string_view path);

} // namespace kv::library
