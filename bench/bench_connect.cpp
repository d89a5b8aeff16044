// Finding the bench camera on the first port with the real waits of the link, and the
// detection hand-shake alone. The fixed waits a search on the first port must sit out are
// one read time-out ending the drain after the wake-up line (T = 400 ms, plus 1 ms for the
// byte asked for) and one 50 ms sleep before the first status request: 451 ms; everything
// above that is the exchanges themselves.

#include "camera/connect_procedure.h"
#include "camsim/bench_camera.h"

#include <benchmark/benchmark.h>

namespace {

using namespace kv::camera;

// Searches for the bench camera, which sits on COM1 (the other ports do not exist), once per
// iteration with the link's waits in `options`.
void runConnectSearches(benchmark::State& state, ConnectOptions options) {
    kv::camsim::BenchCamera camera;
    ConnectSettings settings;
    options.portDevice = [&](std::string_view port) {
        return port == "COM1" ? camera.devicePath() : "/dev/nonexistent-" + std::string(port);
    };
    kv::SilentOperator op;
    for (auto _ : state) {
        ConnectResult result = connectToCamera(settings, options, op, noCameraEvents());
        state.PauseTiming();
        if (!result.camera)
            state.SkipWithError("camera not found");
        result.camera.reset(); // shutdown is not part of the search
        // Back to the power-on rate for the next search.
        camera.withState([](kv::camsim::CameraState& s) { s.rate = 9600; });
        state.ResumeTiming();
    }
}

void BM_ConnectToCameraOnFirstPort(benchmark::State& state) {
    runConnectSearches(state, ConnectOptions{});
    state.counters["fixed_waits_ms"] = 451;
}
BENCHMARK(BM_ConnectToCameraOnFirstPort)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DetectionHandshake(benchmark::State& state) {
    kv::camsim::BenchCamera camera;
    for (auto _ : state) {
        LinkOptions options;
        options.devicePath = camera.devicePath();
        auto link = std::make_unique<CameraLink>("COM1", kLineRS232, options);
        if (link->connect(9600) != LinkState::Connected)
            state.SkipWithError("not connected");
        state.PauseTiming();
        link.reset();
        camera.withState([](kv::camsim::CameraState& s) { s.rate = 9600; });
        state.ResumeTiming();
    }
}
BENCHMARK(BM_DetectionHandshake)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same search with the link's waits shortened (T = 20 ms): what the exchanges cost.
void BM_ConnectExchangesOnly(benchmark::State& state) {
    ConnectOptions options;
    options.timing.serialTimeout = std::chrono::milliseconds(20);
    options.timing.statusRetrySleep = std::chrono::milliseconds(0);
    options.timing.shutdownPoll = std::chrono::milliseconds(1);
    runConnectSearches(state, options);
}
BENCHMARK(BM_ConnectExchangesOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
