// The reader of firmware files in Motorola S-record form. The whole file is checked before
// anything goes to the camera, so a damaged file can never leave a camera half programmed:
// every record must be "S" + type + hex digits, its count must match its length, its checksum
// (ones' complement of the byte sum) must hold, and no line may be longer than the 80
// characters a record line is read in. Files that are not text are refused.
#pragma once

#include "base/bytes.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::diagnostics {

// Longest record line (without its line ending).
inline constexpr std::size_t kMaxRecordLine = 80;
// Largest firmware file accepted.
inline constexpr std::size_t kMaxFirmwareFile = 16u << 20;

struct SRecord {
    int line = 0;     // 1-based line number in the file
    std::string text; // the record as in the file, without its line ending
    char type = '0';  // '0'..'9'
    Bytes data;       // the bytes after the address, before the checksum
    std::uint32_t address = 0;
};

struct SRecordFile {
    std::vector<SRecord> records;
    // Empty when the file is good; else "Line N: reason" (or the reason for the whole file).
    std::string error;
    bool ok() const { return error.empty(); }
};

// Checks `text` (a file's contents). Blank lines are skipped; CR LF, LF and CR all end lines.
SRecordFile parseSRecords(std::string_view text);
// Reads and checks a file; a file that cannot be read or is larger than kMaxFirmwareFile gives
// an error too.
SRecordFile readSRecordFile(const std::filesystem::path& path);

// The text of the first record of type 0 (the header), printable characters only; empty when
// there is none.
std::string headerText(const SRecordFile& file);

} // namespace kv::diagnostics
