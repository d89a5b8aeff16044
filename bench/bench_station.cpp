// The station procedures' hot paths.
//   SoundAnalysis: the sound test on 65 536 samples (FFT, both tones, summary) (target < 20 ms).
//   DacTest: one DAC test against the bench station in virtual time, camera connected
//   beforehand (target < 1 s of wall time).
#include "camsim/bench_station.h"

#include "camera/camera_link.h"
#include "diagnostics/dac_test.h"
#include "diagnostics/sound_test.h"
#include "diagnostics/station.h"
#include "scratch.h"
#include "settings/profile.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

using namespace kv;

void SoundAnalysis(benchmark::State& state) {
    camsim::BenchCameraOptions cameraOptions;
    camsim::BenchCamera camera(cameraOptions);
    camsim::BenchStation bench(camera);
    bench.loudspeaker().playFile("test.wav");
    const Bytes recording = bench.record(9);
    const auto dir = bench::scratchFolder("sound");
    diagnostics::SoundParams params;
    params.debugFile = dir / "fft_sound.txt";
    diagnostics::SpectrumAnalyzer analyzer;
    for (auto _ : state) {
        const auto result = diagnostics::runSoundTest(recording, params, analyzer);
        if (!result.pass)
            state.SkipWithError("the bench recording failed the sound test");
        benchmark::DoNotOptimize(result.high->bandEnergy);
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(SoundAnalysis)->Unit(benchmark::kMillisecond);

void DacTest(benchmark::State& state) {
    camsim::BenchCameraOptions cameraOptions;
    cameraOptions.initialRate = 115200;
    camsim::BenchCamera camera(cameraOptions);
    camsim::BenchStation bench(camera);
    const auto dir = bench::scratchFolder("dac");
    settings::Profile profile(dir / "kvmini.INI");
    SilentOperator op;
    diagnostics::Station station(op, bench.clock(), profile, bench.devices(), bench.loudspeaker());
    camera::LinkOptions linkOptions;
    linkOptions.devicePath = camera.devicePath();
    camera::CameraLink link("COM1", camera::kLineRS232, linkOptions);
    if (link.connect(115200) != camera::LinkState::Connected) {
        state.SkipWithError("no bench camera");
        return;
    }
    link.setLinkState(camera::LinkState::Ready);
    station.camera = &link;
    diagnostics::DacTestOptions options;
    options.gainFolder = dir;
    options.askPasses = false;
    for (auto _ : state) {
        const auto dac = diagnostics::runDacTest(station, options);
        if (!dac)
            state.SkipWithError("the DAC test failed");
        benchmark::DoNotOptimize(dac);
    }
    state.counters["virtual_s"] = benchmark::Counter(double(bench.clock().now().count()) / 1000.0 /
                                                     double(state.iterations()));
    std::filesystem::remove_all(dir);
}
BENCHMARK(DacTest)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
