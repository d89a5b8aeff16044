#include "library/retrieved_index.h"

#include "platform/atomic_file.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace kv::library {

namespace {

constexpr char kSep = '\t';
constexpr std::size_t kMaxField = 255;

bool parseU32(std::string_view s, std::uint32_t& out) {
    if (s.empty() || s.size() > 10)
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

// A file name of the folder: no directory part, no control characters.
bool plainName(std::string_view s) {
    if (s.empty() || s.size() > kMaxField || s == "." || s == "..")
        return false;
    return std::none_of(s.begin(), s.end(), [](char c) {
        return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
    });
}

std::optional<RetrievedEntry> parseLine(std::string_view line) {
    std::string_view fields[6];
    std::size_t n = 0;
    while (n < 6) {
        const auto tab = line.find(kSep);
        fields[n++] = line.substr(0, tab);
        if (tab == std::string_view::npos) {
            line = {};
            break;
        }
        line.remove_prefix(tab + 1);
    }
    if (n != 6 || !line.empty())
        return std::nullopt;
    RetrievedEntry e;
    if (!parseU32(fields[0], e.camera) || !parseU32(fields[2], e.pictureSize) ||
        !parseU32(fields[3], e.soundSize) || !parseU32(fields[4], e.checksum))
        return std::nullopt;
    if (!plainName(fields[1]) || !plainName(fields[5]))
        return std::nullopt;
    e.item = fields[1];
    e.file = fields[5];
    return e;
}

} // namespace

std::string retrievedItemKey(const camera::TransferItem& item) {
    if (!item.pictureFile.empty())
        return item.pictureFile;
    return "#" + std::to_string(item.isSoundOnly() ? item.soundNumber : item.pictureNumber);
}

std::optional<std::uint32_t> fileChecksum(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::uint32_t h = 2166136261u;
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            h ^= static_cast<unsigned char>(buffer[i]);
            h *= 16777619u;
        }
    }
    if (in.bad())
        return std::nullopt;
    return h;
}

std::vector<RetrievedEntry> parseRetrievedIndex(std::string_view text) {
    std::vector<RetrievedEntry> entries;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (auto e = parseLine(line))
            entries.push_back(std::move(*e));
    }
    return entries;
}

std::string formatRetrievedIndex(const std::vector<RetrievedEntry>& entries) {
    std::string text;
    for (const RetrievedEntry& e : entries) {
        text += std::to_string(e.camera) + kSep + e.item + kSep + std::to_string(e.pictureSize) +
                kSep + std::to_string(e.soundSize) + kSep + std::to_string(e.checksum) + kSep +
                e.file + '\n';
    }
    return text;
}

RetrievedIndex RetrievedIndex::load(const std::filesystem::path& folder) {
    RetrievedIndex index;
    index.folder_ = folder;
    std::ifstream in(folder / kRetrievedIndexName, std::ios::binary);
    if (!in)
        return index;
    std::string text(kMaxRetrievedIndexBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    index.entries_ = parseRetrievedIndex(text);
    return index;
}

bool RetrievedIndex::contains(std::uint32_t cameraNumber, const camera::TransferItem& item) const {
    const std::string key = retrievedItemKey(item);
    for (const RetrievedEntry& e : entries_) {
        if (e.camera != cameraNumber || e.item != key || e.pictureSize != item.pictureSize ||
            e.soundSize != item.soundSize)
            continue;
        const auto sum = fileChecksum(folder_ / e.file);
        return sum && *sum == e.checksum;
    }
    return false;
}

bool RetrievedIndex::add(std::uint32_t cameraNumber, const camera::TransferItem& item,
                         const StoredItem& stored) {
    const auto sum = fileChecksum(stored.picture);
    const std::string file = stored.picture.filename().string();
    if (!sum || !plainName(file))
        return false;
    RetrievedEntry entry{
        cameraNumber, retrievedItemKey(item), item.pictureSize, item.soundSize, *sum, file};
    const auto same = [&](const RetrievedEntry& e) {
        return e.camera == entry.camera && e.item == entry.item;
    };
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), same), entries_.end());
    entries_.push_back(std::move(entry));
    return true;
}

bool RetrievedIndex::save() const {
    return platform::writeFileAtomically(folder_ / kRetrievedIndexName,
                                         std::string_view(formatRetrievedIndex(entries_)));
}

} // namespace kv::library
