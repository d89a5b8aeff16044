// Scratch places of the benchmark programs below the temporary directory, named after the
// process so that two runs at once never share one.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace kv::bench {

// "kv_bench_<pid>_<name>" below the temporary directory; nothing is created.
inline std::filesystem::path scratchPath(std::string_view name) {
    return std::filesystem::temp_directory_path() /
           ("kv_bench_" + std::to_string(::getpid()) + "_" + std::string(name));
}

// The same path, created as a folder.
inline std::filesystem::path scratchFolder(std::string_view name) {
    const std::filesystem::path dir = scratchPath(name);
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace kv::bench
