// The backend's configuration: "kvmini.conf" in SANE's configuration directories names the
// camera's logical ports, one a line ("COM1" or "port COM1"; "#" starts a comment). The
// device behind each port comes from section "PORTS" of the program's settings, so the
// backend and kvmini always talk to the same device.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kv::sane_backend {

inline constexpr std::string_view kConfigFileName = "kvmini.conf";

struct BackendConfig {
    std::vector<std::string> ports;   // "COM1".."COM4", each once, in the file's order
    std::vector<std::string> ignored; // lines that name no logical port (for the debug output)
};

// Parses the file's text. No port named at all means COM1.
BackendConfig parseBackendConfig(std::string_view text);

// The directories SANE searches: SANE_CONFIG_DIR's colon-separated list (a trailing colon adds
// the default directory), or the default /etc/sane.d.
std::vector<std::filesystem::path> saneConfigDirectories(const char* saneConfigDir);

// The first kvmini.conf found in those directories, parsed; COM1 when there is none.
BackendConfig readBackendConfig();

} // namespace kv::sane_backend
