// The private-profile service: named values in sections of an INI file. Every read opens the
// file afresh (several processes and threads share it); every write replaces the file
// atomically, so a crash mid-write never leaves a torn file. Thread-safe.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace kv::settings {

class IniDocument;

class Profile {
public:
    explicit Profile(std::filesystem::path file);

    const std::filesystem::path& path() const { return path_; }

    // The value, or `fallback` when the file, section or key is missing. Values longer than
    // the 4095 characters of the service's buffer are cut there.
    std::string getString(std::string_view section, std::string_view key,
                          std::string_view fallback = {}) const;

    // The value as decimal text: `fallback` when the key is missing or empty, 0 when the text
    // does not start with a number, else the number up to the first non-digit; numbers beyond
    // the range of int saturate.
    int getInt(std::string_view section, std::string_view key, int fallback) const;

    // A "read as text" key: read as a string and, when non-empty, converted with a decimal
    // conversion that stops at the first non-digit; `fallback` when missing or empty.
    int getTextInt(std::string_view section, std::string_view key, int fallback) const;

    // False when the file was not changed: it could not be read (too large, unreadable: a
    // write never replaces a file it could not read), the section, key or value cannot be
    // held by the file (see IniDocument::set), or it could not be written. The old file then
    // stays as it was and lastError() says why. Writes of several processes take turns under
    // an advisory lock, each reading the file afresh, so no update is lost.
    bool writeString(std::string_view section, std::string_view key, std::string_view value);
    bool writeInt(std::string_view section, std::string_view key, long value);
    bool removeKey(std::string_view section, std::string_view key);

    // Why the calling thread's last failed write failed.
    static const std::string& lastError();

private:
    bool change(const std::function<bool(IniDocument&)>& edit);

    std::filesystem::path path_;
};

// The program's own profile: "<module name>.INI" in the configuration directory. The module
// name is taken from the executable unless set first (kvtool uses "kvmini"); tests point it
// at a file of their own with setAppProfilePath.
Profile& appProfile();
void setModuleName(std::string_view name);
void setAppProfilePath(const std::filesystem::path& file);
std::filesystem::path profileFileName(std::string_view moduleName);

} // namespace kv::settings
