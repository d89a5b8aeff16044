#include "platform/paths.h"

#include "base/text.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace kv::platform {
namespace fs = std::filesystem;

namespace {

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

fs::path homeDirectory() {
    if (const char* home = nonEmptyEnv("HOME"))
        return home;
    return "/tmp";
}

} // namespace

fs::path configDirectory() {
    if (const char* dir = nonEmptyEnv("KVMINI_CONFIG_DIR"))
        return dir;
    if (const char* dir = nonEmptyEnv("XDG_CONFIG_HOME"))
        return dir;
    return homeDirectory() / ".config";
}

fs::path tempDirectory() {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        if (const char* dir = nonEmptyEnv(name))
            return dir;
    }
    return "/tmp";
}

fs::path desktopDirectory() {
    fs::path dir;
    if (const char* xdg = nonEmptyEnv("XDG_DESKTOP_DIR"))
        dir = xdg;
    else
        dir = homeDirectory() / "Desktop";
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}

std::optional<fs::path> findFileIgnoreCase(const fs::path& directory, std::string_view name) {
    std::error_code ec;
    const fs::path exact = directory / fs::path(name);
    if (fs::exists(exact, ec))
        return exact;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (equalsIgnoreCase(it->path().filename().string(), name))
            return it->path();
    }
    return std::nullopt;
}

std::string moduleName() {
    // argv[0], from the process's command line: an edition started through a link to the
    // program keeps the link's name there, while /proc/self/exe would resolve the link.
    if (std::FILE* f = std::fopen("/proc/self/cmdline", "rb")) {
        char buffer[4096];
        const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
        std::fclose(f);
        buffer[n] = '\0';
        const std::string stem = fs::path(buffer).filename().stem().string();
        if (!stem.empty())
            return stem;
    }
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.stem().empty())
        return "kvmini";
    return exe.stem().string();
}

} // namespace kv::platform
