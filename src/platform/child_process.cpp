#include "platform/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace kv::platform {

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

ChildProcess ChildProcess::spawn(const std::filesystem::path& program,
                                 const std::vector<std::string>& arguments, std::string* error) {
    std::vector<std::string> args;
    args.push_back(program.string());
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    ChildProcess child;
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) {
        if (error)
            *error = "cannot start " + program.string() + ": " + std::strerror(rc);
        return child;
    }
    child.pid_ = pid;
    return child;
}

bool ChildProcess::running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0)
        return true;
    // Ended (reaped now), or no longer our child (someone else reaped it).
    pid_ = -1;
    return false;
}

void ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace kv::platform
