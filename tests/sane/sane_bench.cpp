#include "sane/sane_bench.h"

#include "settings/profile.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace kv::testing {
namespace {

constexpr const char* kScanimage = "/usr/bin/scanimage";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

SaneBench::SaneBench(camsim::BenchCameraOptions options, bool withCamera) {
    std::ofstream(saneConfig / "dll.conf") << "kvmini\n";
    std::ofstream(saneConfig / "kvmini.conf") << "# the camera's logical port\nCOM1\n";
    if (withCamera) {
        camera = std::make_unique<camsim::BenchCamera>(options);
        mapCom1(camera->devicePath());
    }
}

void SaneBench::mapCom1(const std::string& device) const {
    settings::Profile profile(settings / "kvmini.INI");
    profile.writeString("PORTS", "COM1", device);
    // Nothing else leads anywhere, whatever the machine has.
    for (const char* port : {"COM2", "COM3", "COM4"})
        profile.writeString("PORTS", port, std::string("/nonexistent/") + port);
}

std::vector<std::pair<std::string, std::string>> SaneBench::environment() const {
    const std::string libDir = std::filesystem::path(KVSANE_PATH).parent_path().string();
    return {{"SANE_CONFIG_DIR", saneConfig.path().string()},
            {"LD_LIBRARY_PATH", libDir},
            {"KVMINI_CONFIG_DIR", settings.path().string()},
            {"TEMP", temp.path().string()}};
}

void SaneBench::applyEnvironment() const {
    for (const auto& [name, value] : environment())
        ::setenv(name.c_str(), value.c_str(), 1);
}

void SaneBench::clearEnvironment() const {
    for (const auto& entry : environment())
        ::unsetenv(entry.first.c_str());
}

FrontendRun runScanimage(const SaneBench& bench, const std::vector<std::string>& args,
                         const std::function<void(int pid)>& whileRunning,
                         std::chrono::seconds deadline) {
    FrontendRun run;
    const auto outPath = bench.temp / "scanimage.out";
    const auto errPath = bench.temp / "scanimage.err";
    const pid_t pid = ::fork();
    if (pid < 0)
        return run;
    if (pid == 0) {
        for (const auto& [name, value] : bench.environment())
            ::setenv(name.c_str(), value.c_str(), 1);
        ::unsetenv("SANE_DEBUG_KVMINI");
        std::FILE* out = std::fopen(outPath.c_str(), "wb");
        std::FILE* err = std::fopen(errPath.c_str(), "wb");
        if (!out || !err)
            ::_exit(126);
        ::dup2(fileno(out), 1);
        ::dup2(fileno(err), 2);
        std::vector<char*> argv{const_cast<char*>(kScanimage)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(kScanimage, argv.data());
        ::_exit(127);
    }
    if (whileRunning)
        whileRunning(pid);
    const auto end = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            run.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!run.timedOut && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

std::pair<int, int> pnmSize(const std::string& file) {
    std::istringstream in(file);
    std::string magic;
    if (!(in >> magic) || magic != "P6")
        return {0, 0};
    int values[2] = {0, 0};
    for (int& v : values) {
        in >> std::ws;
        while (in.peek() == '#') {
            std::string comment;
            std::getline(in, comment);
            in >> std::ws;
        }
        if (!(in >> v))
            return {0, 0};
    }
    return {values[0], values[1]};
}

bool scanimageInstalled() {
    return ::access(kScanimage, X_OK) == 0;
}

} // namespace kv::testing
