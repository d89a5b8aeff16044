// The focus station's computation and a whole run against the bench in virtual time.
//   AnalyseSweep: a default sweep of 51 windows of 128 x 128 (dark subtraction and column
//   order, equalisation, sharpness) and the peak analysis of its values (target < 50 ms).
//   StationRun: one focus-station run against the bench camera and cradle (126 windows, lens
//   checks, glue wait) in virtual time (target < 2 s of wall time).
#include "camera/camera_link.h"
#include "camsim/focus_bench.h"
#include "diagnostics/focus_measures.h"
#include "diagnostics/focus_peak.h"
#include "diagnostics/focus_station.h"
#include "scratch.h"
#include "settings/profile.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

using namespace kv;
using namespace std::chrono_literals;

void AnalyseSweep(benchmark::State& state) {
    constexpr int n = 128;
    constexpr int count = 51;
    long lens = 0;
    camsim::FocusSceneOptions options;
    camsim::FocusScene scene(options, [&lens] { return lens; });
    scene.setLights(camsim::kLightsDark);
    const Bytes dark = scene.renderForWire(n, 416, 336);
    scene.setLights(camsim::kLightsTarget);
    std::vector<Bytes> windows;
    for (int i = 0; i < count; ++i) {
        lens = 63000 + 2 * i;
        windows.push_back(scene.renderForWire(n, 416, 336));
    }
    std::vector<std::uint8_t> work(n * n);
    std::vector<std::uint16_t> values(count);
    diagnostics::FocusPeakParams params;
    params.requiredSpan = 40; // a peak the 51 values can hold
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            diagnostics::subtractDarkAndReorder(windows[static_cast<std::size_t>(i)], dark, n,
                                                work);
            const auto stats = diagnostics::equaliseWindow(work, n);
            diagnostics::SharpnessState s;
            const auto sharp = diagnostics::measureSharpness(work, n, s);
            values[static_cast<std::size_t>(i)] = diagnostics::targetQualityOk(stats, 0.33, 4.0)
                                                      ? static_cast<std::uint16_t>(sharp.combined)
                                                      : 0;
        }
        const auto peak = diagnostics::findFocusPeak(values, 63000, 2, params);
        benchmark::DoNotOptimize(peak.position);
    }
}
BENCHMARK(AnalyseSweep)->Unit(benchmark::kMillisecond);

void StationRun(benchmark::State& state) {
    const auto dir = bench::scratchFolder("focus");
    settings::Profile profile(dir / "kvmini.INI");
    for (auto _ : state) {
        VirtualClock clock;
        camsim::FocusBenchOptions options;
        options.clock = &clock;
        camsim::FocusBench bench(options);
        bench.writeStationSettings(profile);
        camera::LinkOptions lo;
        lo.devicePath = bench.camera().devicePath();
        lo.timing.shutdownPoll = 5ms;
        lo.timing.handshakePoll = 2ms;
        lo.timing.statusRetrySleep = 5ms;
        camera::CameraLink link("COM1", camera::kLineRS232, lo);
        if (link.connect(9600) != camera::LinkState::Connected) {
            state.SkipWithError("no bench camera");
            break;
        }
        SilentOperator person;
        const auto op = bench.watch(person);
        diagnostics::FocusStationIo io(*op, clock, profile);
        io.camera = &link;
        io.lights = [&](std::uint16_t code) {
            bench.lights(code);
            clock.sleep(4000ms);
            return true;
        };
        io.cradle.portDevice = [&](std::string_view port) {
            return profile.getString("PORTS", port);
        };
        io.report = dir / "f.txt";
        diagnostics::FocusStation station(io);
        station.run();
        if (station.focusStatus() != diagnostics::CheckStatus::Passed)
            state.SkipWithError("the run did not find the focus");
        state.counters["virtual_s"] = static_cast<double>(clock.now().count()) / 1000.0;
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(StationRun)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
