// Programs this process starts and ends (posix_spawn, waitpid, kill).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kv::platform {

// One started program. Move-only; destroying a running one leaves it running (call
// terminate() to end it). Not shared between threads.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` (argv[0] is the program path) and this process's
    // environment. On failure the result is empty and `error` says why.
    static ChildProcess spawn(const std::filesystem::path& program,
                              const std::vector<std::string>& arguments, std::string* error);

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // True while the program runs; once it has ended it is reaped and forgotten.
    bool running();

    // Ends the program: SIGTERM, then SIGKILL when it has not ended after `grace`; always
    // reaps it. Nothing happens when no program is started.
    void terminate(std::chrono::milliseconds grace = std::chrono::seconds(2));

private:
    pid_t pid_ = -1;
};

} // namespace kv::platform
