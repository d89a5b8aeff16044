// The memory card's file listing (row B5 mode 1): one 42-byte text entry per file, the name in
// bytes 0-7 (padded with spaces), the extension in bytes 9-11 and the size in bytes 13-19 as
// decimal digits. The listing comes from the camera, so every entry is checked before it is
// trusted: a listing with one malformed entry is refused as a whole.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::camera {

inline constexpr std::size_t kListingEntrySize = 42;
// The count comes as "%3d\n", so no listing holds more than this.
inline constexpr int kMaxListingCount = 999;
// No single file the card can hand us is larger than this; a bigger size is garbage.
inline constexpr std::uint32_t kMaxCardFileSize = 4u << 20;

struct ListingEntry {
    std::string name;      // bytes 0-7 without trailing spaces
    std::string extension; // bytes 9-11
    std::uint32_t size = 0;
    std::string rawName; // bytes 0-7 as they stand (used to pair a note with its picture)

    // The name the camera's open command takes: "*<A:NAME.EXT>".
    std::string cardFileName() const;
};

// One entry; nothing when it is malformed (name empty or with characters a card name cannot
// hold, extension not three such characters, size not decimal digits or above the limit).
std::optional<ListingEntry> parseListingEntry(ByteSpan entry);
// `count` entries from the listing bytes; nothing when count is out of range, the bytes are
// too few or any entry is malformed.
std::optional<std::vector<ListingEntry>> parseListing(ByteSpan listing, int count);

// The count line of row B5 mode 0 ("%3d\n"); nothing when it is not a count 0-999.
std::optional<int> parseFileCount(ByteSpan line);

} // namespace kv::camera
