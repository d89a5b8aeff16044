// Where the program keeps its files on this system.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace kv::platform {

// The configuration directory: $KVMINI_CONFIG_DIR, else $XDG_CONFIG_HOME, else ~/.config.
// Not created here; writers create it when they first write.
std::filesystem::path configDirectory();

// The temporary directory shared by the program and the data source:
// $TEMP, else $TMPDIR, else /tmp.
std::filesystem::path tempDirectory();

// The user's desktop directory: $XDG_DESKTOP_DIR, else ~/Desktop; created when missing.
std::filesystem::path desktopDirectory();

// The entry of `directory` whose name equals `name` ignoring case; an exact match wins.
// Nothing when the directory holds no such entry or cannot be read.
std::optional<std::filesystem::path> findFileIgnoreCase(const std::filesystem::path& directory,
                                                        std::string_view name);

// The name this process was started under (without directory and extension), e.g. "kvmini":
// argv[0], so that a link to the program named after another edition gives that edition.
std::string moduleName();

} // namespace kv::platform
