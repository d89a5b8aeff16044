// FocusBench: the focus station on the bench — a bench camera whose sensor sees the focus
// target (FocusScene), a bench lens cradle on its own pseudo-terminal that moves the lens, and
// the station's lights. Like a person at the station, the bench watches the operator's
// prompts: "Load Lens" puts a fresh lens into the cradle, an accepted "Glue the lens." glues
// it where it stands.
//
// In-process for tests and `kvtool focus-station --simulate`; kvcamsim --cradle runs the same
// pieces for a program to find through "PORTS".
#pragma once

#include "base/clock.h"
#include "base/operator.h"
#include "camsim/bench_camera.h"
#include "camsim/bench_cradle.h"
#include "camsim/focus_scene.h"
#include "diagnostics/station_outputs.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace kv::settings {
class Profile;
}
namespace kv::platform {
class PseudoTerminal;
}

namespace kv::camsim {

struct FocusBenchOptions {
    BenchCameraOptions camera;
    FocusSceneOptions scene;
    CradleFaults cradleFaults;
    long cradleTravel = 70000;
    Clock* clock = nullptr; // the cradle's moves; nullptr = the real clock
};

class FocusBench {
public:
    explicit FocusBench(FocusBenchOptions options = {});
    // The same around a bench camera that already runs (the program's simulation): "Z6" is
    // added to it. The focus target and the cradle stay alive with the camera's handler.
    FocusBench(FocusBenchOptions options, BenchCamera& camera);
    ~FocusBench();
    FocusBench(const FocusBench&) = delete;
    FocusBench& operator=(const FocusBench&) = delete;

    bool ok() const { return camera_->ok() && cradle_->ok(); }
    BenchCamera& camera() { return *camera_; }
    BenchCradle& cradle() { return *cradle_; }
    FocusScene& scene() { return *scene_; }
    // The light controller's code reaches the scene.
    void lights(int code) { scene_->setLights(code); }
    // For a program in another process: a pseudo-terminal standing in for the light
    // controller's device ("LPT1"); every two bytes written to it (low, high) are a code.
    // Returns its device path (empty when no pseudo-terminal could be opened).
    std::string startLightLine();

    // Writes what a station on this bench needs into `profile`: the devices of COM1 (camera)
    // and COM2 (cradle) under "PORTS", "CRADLE_PORT_RS232" = 2, and a sweep that brackets the
    // bench lens's focus range (62800..63300 by 4) when none is set.
    void writeStationSettings(settings::Profile& profile) const;
    // Only the sweep part of that.
    static void writeBenchSweep(settings::Profile& profile);

    // An operator that forwards to `inner` and does the bench's part of the prompts.
    std::unique_ptr<Operator> watch(Operator& inner);

private:
    void attach(BenchCamera& camera);

    FocusBenchOptions options_;
    std::unique_ptr<BenchCamera> ownCamera_;
    BenchCamera* camera_ = nullptr;
    std::shared_ptr<BenchCradle> cradle_;
    std::shared_ptr<FocusScene> scene_;
    std::unique_ptr<platform::PseudoTerminal> lightLine_;
    std::atomic<bool> stop_{false};
    std::thread lightThread_;
};

// The station's outputs on the bench: light-controller codes reach the focus target's lights;
// there is no relay board (its writes are taken and do nothing).
class FocusBenchDevices final : public diagnostics::StationDevices {
public:
    explicit FocusBenchDevices(FocusBench& bench) : bench_(bench) {}
    bool relayWrite(unsigned, std::uint8_t, std::string&) override { return true; }
    bool lightWrite(ByteSpan bytes, std::chrono::milliseconds, std::string& error) override;

private:
    FocusBench& bench_;
};

} // namespace kv::camsim
