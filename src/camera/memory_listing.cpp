#include "camera/memory_listing.h"

namespace kv::camera {
namespace {

// Characters a card file name may hold: printable, and none that the command syntax or the
// "*<A:...>" form gives a meaning to.
bool isNameChar(std::uint8_t c) {
    if (c <= 0x20 || c >= 0x7F)
        return false;
    for (char bad : std::string_view("*?<>,;:/\\|\"."))
        if (c == static_cast<std::uint8_t>(bad))
            return false;
    return true;
}

} // namespace

std::string ListingEntry::cardFileName() const {
    return "*<A:" + name + "." + extension + ">";
}

std::optional<ListingEntry> parseListingEntry(ByteSpan entry) {
    if (entry.size() < kListingEntrySize)
        return std::nullopt;
    ListingEntry out;
    out.rawName.assign(entry.begin(), entry.begin() + 8);
    std::size_t nameLength = 8;
    while (nameLength > 0 && entry[nameLength - 1] == ' ')
        --nameLength;
    if (nameLength == 0)
        return std::nullopt;
    for (std::size_t i = 0; i < nameLength; ++i) {
        if (!isNameChar(entry[i]))
            return std::nullopt;
    }
    out.name.assign(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(nameLength));
    for (std::size_t i = 9; i < 12; ++i) {
        if (!isNameChar(entry[i]))
            return std::nullopt;
    }
    out.extension.assign(entry.begin() + 9, entry.begin() + 12);

    // Bytes 13-19: optional leading spaces, then digits up to the end of the field (or to a
    // space that pads it on the right).
    std::size_t i = 13;
    while (i < 20 && entry[i] == ' ')
        ++i;
    std::uint64_t size = 0;
    int digits = 0;
    for (; i < 20 && entry[i] >= '0' && entry[i] <= '9'; ++i, ++digits)
        size = size * 10 + (entry[i] - '0');
    for (; i < 20; ++i) {
        if (entry[i] != ' ')
            return std::nullopt;
    }
    if (digits == 0 || size > kMaxCardFileSize)
        return std::nullopt;
    out.size = static_cast<std::uint32_t>(size);
    return out;
}

std::optional<std::vector<ListingEntry>> parseListing(ByteSpan listing, int count) {
    if (count < 0 || count > kMaxListingCount ||
        listing.size() < static_cast<std::size_t>(count) * kListingEntrySize)
        return std::nullopt;
    std::vector<ListingEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) {
        auto entry = parseListingEntry(
            listing.subspan(static_cast<std::size_t>(n) * kListingEntrySize, kListingEntrySize));
        if (!entry)
            return std::nullopt;
        entries.push_back(std::move(*entry));
    }
    return entries;
}

std::optional<int> parseFileCount(ByteSpan line) {
    // "%3d": leading blanks, the digits, then at most a line end or padding.
    if (line.size() < 3)
        return std::nullopt;
    int value = 0;
    int digits = 0;
    std::size_t i = 0;
    while (i < 3 && line[i] == ' ')
        ++i;
    for (; i < 3 && line[i] >= '0' && line[i] <= '9'; ++i, ++digits)
        value = value * 10 + (line[i] - '0');
    for (; i < 3; ++i) {
        if (line[i] != '\n' && line[i] != '\r' && line[i] != ' ' && line[i] != 0)
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    return value;
}

} // namespace kv::camera
