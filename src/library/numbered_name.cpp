#include "library/numbered_name.h"

#include <algorithm>
#include <system_error>

namespace kv::library {
namespace fs = std::filesystem;

namespace {

bool taken(const fs::path& p) {
    std::error_code ec;
    // A dangling symbolic link counts as taken as well: writing there would follow it.
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found;
}

bool allFree(const std::string& stem, std::string_view extension,
             const std::vector<std::string>& companions) {
    if (taken(stem + std::string(extension)))
        return false;
    for (const std::string& companion : companions) {
        if (taken(stem + companion))
            return false;
    }
    return true;
}

} // namespace

fs::path baseNameOf(const fs::path& chosen) {
    fs::path base = chosen;
    if (base.has_extension())
        base.replace_extension();
    return base;
}

std::optional<fs::path> nextFreeName(const fs::path& base, std::string_view extension, int start,
                                     bool single, const std::vector<std::string>& companions) {
    const std::string stem = base.string();
    if (single && allFree(stem, extension, companions))
        return fs::path(stem + std::string(extension));
    for (int n = std::max(start, 0); n <= 99999; ++n) {
        const std::string numbered = stem + std::to_string(n);
        if (allFree(numbered, extension, companions))
            return fs::path(numbered + std::string(extension));
    }
    return std::nullopt;
}

} // namespace kv::library
