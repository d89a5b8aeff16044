// "New pictures only": the pictures already retrieved into a folder, kept in a small text
// file beside them. A camera picture is known by the camera's manufacturing number, its item
// (picture number, or file name on a memory card) and its sizes; the entry also holds the
// name and a checksum of the file it was stored as, so a picture whose file has since been
// deleted or changed counts as missing and is fetched again.
//
// The file is outside data (anyone may edit it): every line is checked and a bad one is
// skipped; the file is read only up to a fixed size. It is written whole, atomically.
#pragma once

#include "camera/transfer_item.h"
#include "library/store_retrieved.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::library {

inline constexpr std::string_view kRetrievedIndexName = "kvmini-retrieved.txt";
inline constexpr std::size_t kMaxRetrievedIndexBytes = 4u << 20;

struct RetrievedEntry {
    std::uint32_t camera = 0; // manufacturing number
    std::string item;         // "#<picture number>" or the card file name
    std::uint32_t pictureSize = 0;
    std::uint32_t soundSize = 0;
    std::uint32_t checksum = 0; // of the stored picture file
    std::string file;           // its name in the folder

    bool operator==(const RetrievedEntry&) const = default;
};

// The item's name in the index.
std::string retrievedItemKey(const camera::TransferItem& item);
// FNV-1a of a file's bytes; nothing when it cannot be read.
std::optional<std::uint32_t> fileChecksum(const std::filesystem::path& path);

// The index text's lines; malformed ones are left out.
std::vector<RetrievedEntry> parseRetrievedIndex(std::string_view text);
std::string formatRetrievedIndex(const std::vector<RetrievedEntry>& entries);

class RetrievedIndex {
public:
    // The index of `folder` (empty when there is none or it cannot be read).
    static RetrievedIndex load(const std::filesystem::path& folder);

    // True when `item` of camera `camera` was stored here and its file is still as stored.
    bool contains(std::uint32_t camera, const camera::TransferItem& item) const;
    // Records a stored picture (replacing an older entry of the same item). False when the
    // stored file cannot be read.
    bool add(std::uint32_t camera, const camera::TransferItem& item, const StoredItem& stored);
    // Writes the index file atomically.
    bool save() const;

    const std::vector<RetrievedEntry>& entries() const { return entries_; }
    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path folder_;
    std::vector<RetrievedEntry> entries_;
};

} // namespace kv::library
