#include "settings/profile.h"

#include "base/text.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "settings/ini_document.h"

#include <algorithm>
#include <climits>
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

thread_local std::string writeError;

bool failWith(std::string message) {
    writeError = std::move(message);
    return false;
}

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
    return static_cast<int>(std::clamp<long>(parseLeadingDecimal(*value), INT_MIN, INT_MAX));
}

int Profile::getTextInt(std::string_view section, std::string_view key, int fallback) const {
    return getInt(section, key, fallback);
}

bool Profile::change(const std::function<bool(IniDocument&)>& edit) {
    std::lock_guard lock(writeMutex());
    // The lock goes on the directory of the file itself (a link's target), which is where the
    // new file is written.
    const fs::path file = platform::followLinks(path_);
    std::error_code ec;
    if (file.has_parent_path())
        fs::create_directories(file.parent_path(), ec);
    const platform::DirectoryLock dirLock(file.parent_path());
    if (!dirLock.locked())
        return failWith("cannot lock the folder of " + path_.string());
    Bytes bytes;
    switch (platform::readFile(file, bytes, IniDocument::MaxFileSize)) {
    case platform::ReadResult::Ok:
    case platform::ReadResult::Missing:
        break;
    case platform::ReadResult::TooLarge:
        return failWith(path_.string() + " is larger than " +
                        std::to_string(IniDocument::MaxFileSize >> 20) +
                        " MiB; it was left unchanged");
    case platform::ReadResult::Failed:
        return failWith("cannot read " + path_.string() + "; it was left unchanged");
    }
    IniDocument doc(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!edit(doc))
        return false;
    platform::AtomicFile out(path_);
    if (!out.write(doc.text()) || !out.commit())
        return failWith(out.error().empty() ? "cannot write " + path_.string() : out.error());
    return true;
}

bool Profile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    return change([&](IniDocument& doc) {
        if (doc.set(section, key, value))
            return true;
        return failWith("an INI file cannot hold this " +
                        std::string(!IniDocument::canHoldSection(section) ? "section name"
                                    : !IniDocument::canHoldKey(key)       ? "key"
                                                                          : "value") +
                        " (line breaks, zero bytes, \"]\" in a section, \"=\" in a key)");
    });
}

bool Profile::writeInt(std::string_view section, std::string_view key, long value) {
    return writeString(section, key, std::to_string(value));
}

bool Profile::removeKey(std::string_view section, std::string_view key) {
    return change([&](IniDocument& doc) {
        doc.remove(section, key);
        return true;
    });
}

const std::string& Profile::lastError() {
    return writeError;
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
