#include "settings/profile.h"

#include "base/text.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "settings/ini_document.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

namespace kv::settings {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t ProfileBuffer = 4096;

// Writers in this process take turns; each write reads the file again, so the keys another
// writer just stored are kept.
std::mutex& writeMutex() {
    static std::mutex m;
    return m;
}

IniDocument load(const fs::path& path) {
    Bytes bytes;
    if (!platform::readWholeFile(path, bytes, IniDocument::MaxFileSize))
        return {};
    return IniDocument(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::mutex appMutex;
std::string appModule;
fs::path appPath;
std::unique_ptr<Profile> appInstance;
// Profiles handed out earlier stay alive: callers may still hold a reference.
std::vector<std::unique_ptr<Profile>> retired;

} // namespace

Profile::Profile(fs::path file) : path_(std::move(file)) {}

std::string Profile::getString(std::string_view section, std::string_view key,
                               std::string_view fallback) const {
    std::string value = load(path_).find(section, key).value_or(std::string(fallback));
    if (value.size() > ProfileBuffer - 1)
        value.resize(ProfileBuffer - 1);
    return value;
}

int Profile::getInt(std::string_view section, std::string_view key, int fallback) const {
    const auto value = load(path_).find(section, key);
    if (!value || value->empty())
        return fallback;
    return static_cast<int>(parseLeadingDecimal(*value));
}

int Profile::getTextInt(std::string_view section, std::string_view key, int fallback) const {
    return getInt(section, key, fallback);
}

bool Profile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    std::lock_guard lock(writeMutex());
    IniDocument doc = load(path_);
    doc.set(section, key, value);
    std::error_code ec;
    if (path_.has_parent_path())
        fs::create_directories(path_.parent_path(), ec);
    return platform::writeFileAtomically(path_, doc.text());
}

bool Profile::writeInt(std::string_view section, std::string_view key, long value) {
    return writeString(section, key, std::to_string(value));
}

bool Profile::removeKey(std::string_view section, std::string_view key) {
    std::lock_guard lock(writeMutex());
    IniDocument doc = load(path_);
    if (!doc.remove(section, key))
        return true;
    return platform::writeFileAtomically(path_, doc.text());
}

fs::path profileFileName(std::string_view moduleName) {
    const std::string file = std::string(moduleName) + ".INI";
    const fs::path dir = platform::configDirectory();
    // An existing file that differs only in case ("kvmini.ini") is the same profile.
    if (auto found = platform::findFileIgnoreCase(dir, file))
        return *found;
    return dir / file;
}

void setModuleName(std::string_view name) {
    std::lock_guard lock(appMutex);
    appModule = std::string(name);
    appPath.clear();
    if (appInstance)
        retired.push_back(std::move(appInstance));
}

void setAppProfilePath(const fs::path& file) {
    std::lock_guard lock(appMutex);
    appPath = file;
    if (appInstance)
        retired.push_back(std::move(appInstance));
}

Profile& appProfile() {
    std::lock_guard lock(appMutex);
    if (!appInstance) {
        if (appPath.empty())
            appPath = profileFileName(appModule.empty() ? platform::moduleName() : appModule);
        appInstance = std::make_unique<Profile>(appPath);
    }
    return *appInstance;
}

} // namespace kv::settings
