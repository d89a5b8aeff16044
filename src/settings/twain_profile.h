// The small INI file that the program and its TWAIN data source share: "KVTwain.ini" (also
// spelt "KVTWAIN.ini"; both names mean one file, found without regard to letter case) in the
// configuration directory. Section "Source" holds the hand-off count and the product name,
// section "Korvane" the path of the program.
#pragma once

#include <filesystem>
#include <string_view>

namespace kv::settings {

inline constexpr std::string_view kTwainIniName = "KVTwain.ini";
inline constexpr std::string_view kTwainSourceSection = "Source";
inline constexpr std::string_view kPendingImagesKey = "PendingImages";
inline constexpr std::string_view kSourceNameKey = "Name";
inline constexpr std::string_view kProgramSection = "Korvane";
inline constexpr std::string_view kProgramLocationKey = "Location";

// The file as it stands in the configuration directory (whatever its letter case), or
// "KVTwain.ini" there when it does not exist yet.
std::filesystem::path twainProfilePath();

} // namespace kv::settings
