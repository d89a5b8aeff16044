// The camera's tone ("lumin") table: 1024 signed 16-bit entries mapping a 10-bit linear sample
// to a 10-bit gamma-corrected one, and the three source files the camera firmware is built
// from ("lumin.mtx", "lumin.c", "lumin.asm").
#pragma once

#include "settings/profile.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kv::process {

using ToneTable = std::array<std::int16_t, 1024>;

// Entry i = (i / 1024)^exponent x 1023 + 0.5 truncated, but never above the line i x 1023/256
// (then that value + 0.5, truncated), which the table follows near black.
ToneTable ComputeLuminTable(double exponent);

// The three files' texts, each entry printed as "%5hd".
std::string LuminMtxText(const ToneTable& table);
std::string LuminCText(const ToneTable& table);
std::string LuminAsmText(const ToneTable& table);

// The folder the three files go to: section "FILES" key "TONE_TABLE_FOLDER", the desktop
// directory when missing or empty.
std::filesystem::path ToneTableFolder(const settings::Profile& profile);
inline constexpr const char* kToneTableFolderKey = "TONE_TABLE_FOLDER";

struct LuminFilesResult {
    ToneTable table{};
    std::vector<std::filesystem::path> written;
    std::vector<std::filesystem::path> failed; // files that could not be written (old ones kept)
};

// Computes the table for `exponent` and writes the three files into `folder`, each replaced
// atomically. A file that cannot be written is listed in `failed`; the others are still
// written.
LuminFilesResult MakeLuminTable(double exponent, const std::filesystem::path& folder);

} // namespace kv::process
