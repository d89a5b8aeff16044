// Runs a shell command line for a test and collects its standard output and exit status.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace kv::testing {

struct CommandOutcome {
    int exitCode = -1; // -1 when it could not run or did not exit normally
    std::string out;
};

inline CommandOutcome runCommand(const std::string& shellLine) {
    CommandOutcome result;
    FILE* pipe = ::popen(shellLine.c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> chunk{};
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe))
        result.out.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace kv::testing
