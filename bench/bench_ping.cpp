// The ping: one exchange with the bench camera, and what an idle ping thread costs in CPU
// time (the whole process is measured, so the bench camera answering is included: an upper
// bound for the ping thread alone).

#include "camera/camera_link.h"
#include "camsim/bench_camera.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <thread>

namespace {

using namespace kv::camera;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_PingExchange(benchmark::State& state) {
    kv::camsim::BenchCamera camera;
    LinkOptions options;
    options.devicePath = camera.devicePath();
    CameraLink link("COM1", kLineRS232, options);
    for (auto _ : state) {
        link.ping();
        if (link.linkState() != LinkState::Ready)
            state.SkipWithError("ping not answered");
    }
}
BENCHMARK(BM_PingExchange)->Unit(benchmark::kMicrosecond);

void BM_IdlePingThreadCpu(benchmark::State& state) {
    kv::camsim::BenchCamera camera;
    LinkOptions options;
    options.devicePath = camera.devicePath();
    CameraLink link("COM1", kLineRS232, options);
    if (link.connect(9600) != LinkState::Connected) {
        state.SkipWithError("not connected");
        return;
    }
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double cpuStart = processCpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5)); // ten pings
        cpu += processCpuSeconds() - cpuStart;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    }
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    state.counters["pings"] = static_cast<double>(camera.pingCount());
}
BENCHMARK(BM_IdlePingThreadCpu)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace
