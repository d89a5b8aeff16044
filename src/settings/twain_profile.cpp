#include "settings/twain_profile.h"

#include "platform/paths.h"

namespace kv::settings {

std::filesystem::path twainProfilePath() {
    const std::filesystem::path dir = platform::configDirectory();
    if (auto found = platform::findFileIgnoreCase(dir, kTwainIniName))
        return *found;
    return dir / kTwainIniName;
}

} // namespace kv::settings
