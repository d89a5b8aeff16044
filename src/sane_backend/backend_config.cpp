#include "sane_backend/backend_config.h"

#include "base/text.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace kv::sane_backend {
namespace {

constexpr std::string_view kDefaultConfigDir = "/etc/sane.d";

bool isLogicalPort(std::string_view word) {
    return word.size() == 4 && equalsIgnoreCase(word.substr(0, 3), "COM") && word[3] >= '1' &&
           word[3] <= '4';
}

} // namespace

BackendConfig parseBackendConfig(std::string_view text) {
    BackendConfig config;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        line = trim(line);
        if (line.empty())
            continue;
        if (line.size() > 5 && line.substr(0, 4) == "port" && (line[4] == ' ' || line[4] == '\t'))
            line = trim(line.substr(5));
        if (!isLogicalPort(line)) {
            config.ignored.emplace_back(line);
            continue;
        }
        std::string port = "COM";
        port += line[3];
        if (std::find(config.ports.begin(), config.ports.end(), port) == config.ports.end())
            config.ports.push_back(std::move(port));
    }
    if (config.ports.empty())
        config.ports.push_back("COM1");
    return config;
}

std::vector<std::filesystem::path> saneConfigDirectories(const char* saneConfigDir) {
    std::vector<std::filesystem::path> dirs;
    if (!saneConfigDir || !*saneConfigDir) {
        dirs.emplace_back(kDefaultConfigDir);
        return dirs;
    }
    std::string_view list = saneConfigDir;
    for (;;) {
        const std::size_t colon = list.find(':');
        const std::string_view dir = list.substr(0, colon);
        if (!dir.empty())
            dirs.emplace_back(dir);
        if (colon == std::string_view::npos)
            break;
        list.remove_prefix(colon + 1);
        if (list.empty()) {
            dirs.emplace_back(kDefaultConfigDir);
            break;
        }
    }
    return dirs;
}

BackendConfig readBackendConfig() {
    for (const auto& dir : saneConfigDirectories(std::getenv("SANE_CONFIG_DIR"))) {
        std::ifstream in(dir / kConfigFileName);
        if (!in)
            continue;
        // The file is a handful of lines; a bound keeps a wrong path from reading a device.
        constexpr std::size_t kMaxConfigBytes = 64 * 1024;
        std::string chunk(kMaxConfigBytes, '\0');
        in.read(chunk.data(), std::streamsize(chunk.size()));
        chunk.resize(std::size_t(in.gcount()));
        return parseBackendConfig(chunk);
    }
    return parseBackendConfig("");
}

} // namespace kv::sane_backend
