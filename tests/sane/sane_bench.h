// What the backend's tests share: a bench camera on a pseudo-terminal mapped to COM1 in a
// settings directory of the test's own, a SANE configuration directory whose dll.conf names
// kvmini, and the real scanimage run against them with a deadline.
#pragma once

#include "camsim/bench_camera.h"
#include "support/scratch_dir.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kv::testing {

struct SaneBench {
    explicit SaneBench(camsim::BenchCameraOptions options = {}, bool withCamera = true);

    ScratchDir saneConfig; // dll.conf, kvmini.conf
    ScratchDir settings;   // kvmini.INI with [PORTS], KVTwain.ini
    ScratchDir temp;       // TEMP of the frontend (hand-off bitmaps, the backend's work files)
    std::unique_ptr<camsim::BenchCamera> camera;

    // Points COM1 at `device` instead of the bench camera.
    void mapCom1(const std::string& device) const;
    // The environment scanimage runs with (and the in-process tests set).
    std::vector<std::pair<std::string, std::string>> environment() const;
    void applyEnvironment() const;
    // Removes them again (before the directories go).
    void clearEnvironment() const;
};

struct FrontendRun {
    int exitCode = -1; // -1: killed at the deadline, or a signal ended it
    bool timedOut = false;
    std::string out; // standard output (the picture)
    std::string err;
};

// Runs scanimage with `args` in the bench's environment; `whileRunning`, when given, is called
// with the process id once it runs (e.g. to pull the cable or send a signal).
FrontendRun runScanimage(const SaneBench& bench, const std::vector<std::string>& args,
                         const std::function<void(int pid)>& whileRunning = {},
                         std::chrono::seconds deadline = std::chrono::seconds(60));

// Width and height from a PNM header ("P6", comments, "W H", "255"); 0 x 0 when not one.
std::pair<int, int> pnmSize(const std::string& file);

bool scanimageInstalled();

} // namespace kv::testing
