// The final test's gain run.
//   Replay: the run from working files (0 passes, no camera), files written once beforehand
//   (target < 300 ms on one core).
//   FourPasses: a full run of 4 passes against the bench station's LED station in virtual
//   time, camera connected beforehand (target < 3 s of wall time); also on a seeded sensor
//   with every defect.
#include "camera/camera_link.h"
#include "camsim/bench_station.h"
#include "diagnostics/gain_replay.h"
#include "diagnostics/gain_run.h"
#include "diagnostics/station.h"
#include "scratch.h"
#include "settings/profile.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

using namespace kv;

struct LedStation {
    camsim::BenchCamera camera{[] {
        camsim::BenchCameraOptions o;
        o.initialRate = 115200;
        return o;
    }()};
    camsim::BenchStation bench;
    std::filesystem::path dir;
    settings::Profile profile;
    SilentOperator op;
    diagnostics::Station station{op, bench.clock(), profile, bench.devices(), bench.loudspeaker()};
    camera::LinkOptions linkOptions;
    std::unique_ptr<camera::CameraLink> link;

    explicit LedStation(const char* name, camsim::BenchStationOptions options = {})
        : bench(camera, std::move(options)), dir(bench::scratchFolder(name)),
          profile(dir / "kvmini.INI") {
        profile.writeString("FILES", "GAIN_BLEMISH_FOLDER", dir.string());
        profile.writeInt("DIAGNOSTICS", "LED_STATION", 1);
        profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", "378");
        profile.writeInt("DIAGNOSTICS", "DOWNLOAD_DAC", 0);
        profile.writeInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 3);
        profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
        linkOptions.devicePath = camera.devicePath();
        link = std::make_unique<camera::CameraLink>("COM1", camera::kLineRS232, linkOptions);
        if (link->connect(115200) == camera::LinkState::Connected) {
            link->setLinkState(camera::LinkState::Ready);
            station.camera = link.get();
        }
        // The LED station lets go of the camera after each run; the link stays open here.
        station.reconnect = [this] { return link ? link.get() : nullptr; };
    }
    ~LedStation() {
        link.reset();
        std::filesystem::remove_all(dir);
    }
};

void FourPasses(benchmark::State& state) {
    LedStation s("final_test");
    if (!s.station.camera) {
        state.SkipWithError("no bench camera");
        return;
    }
    diagnostics::GainRunOptions options;
    options.passes = 4;
    for (auto _ : state) {
        if (diagnostics::createGainRun(s.station, options) != 0)
            state.SkipWithError("the gain run failed");
    }
}
BENCHMARK(FourPasses)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same on a sensor with a seeded set of every defect, its dark current and noise (the
// sensor fails: the run is timed to its verdict and downloads all the same).
void FourPassesSeededSensor(benchmark::State& state) {
    camsim::BenchStationOptions options;
    options.sensorDefects = camsim::seededSensorDefects(5, 3);
    LedStation s("final_test_seeded", options);
    if (!s.station.camera) {
        state.SkipWithError("no bench camera");
        return;
    }
    diagnostics::GainRunOptions run;
    run.passes = 4;
    for (auto _ : state)
        benchmark::DoNotOptimize(diagnostics::createGainRun(s.station, run));
}
BENCHMARK(FourPassesSeededSensor)->Unit(benchmark::kMillisecond)->Iterations(3);

void Replay(benchmark::State& state) {
    LedStation s("final_replay");
    diagnostics::GainRunOptions options;
    options.passes = 1;
    if (!s.station.camera || diagnostics::createGainRun(s.station, options) != 0) {
        state.SkipWithError("no working files");
        return;
    }
    diagnostics::GainReplayOptions replay;
    replay.folder = s.dir;
    replay.automaticMode = true;
    for (auto _ : state) {
        const auto r = diagnostics::replayGainRun(s.op, s.profile, replay);
        if (r.status != 0)
            state.SkipWithError("the replay failed");
        benchmark::DoNotOptimize(r.passed);
    }
}
BENCHMARK(Replay)->Unit(benchmark::kMillisecond);

} // namespace
