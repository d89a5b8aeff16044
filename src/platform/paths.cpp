#include "platform/paths.h"

#include "base/text.h"

#include <cstdlib>
#include <system_error>
#include <unistd.h>

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
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    // /proc/self/exe resolves symbolic links; an edition started through a link keeps its own
    // name in argv[0], which the program passes to setModuleName() at start-up.
    if (ec)
        return "kvmini";
    return exe.stem().string();
}

} // namespace kv::platform
