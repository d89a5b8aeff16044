// The sensor pipeline's hot paths: a RAM file to an RGB8 TIFF, the noise filter on a JPEG-size
// picture, and a whole DSP simulation.

#include "imaging/edits.h"
#include "imaging/process/cell_render.h"
#include "imaging/process/dsp_simulation.h"
#include "imaging/process/process_commands.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "scratch.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

namespace {

kv::Bytes randomRam() {
    std::mt19937 random(11);
    kv::Bytes ram(kv::process::kRamFileSize);
    for (auto& b : ram)
        b = static_cast<std::uint8_t>(random());
    return ram;
}

// The whole command: read the RAM file, render, write the TIFF.
void RamFileToRgb8Tiff(benchmark::State& state) {
    const auto ramPath = kv::bench::scratchPath("process.ram");
    const auto outPath = kv::bench::scratchPath("process_rgb.tif");
    kv::platform::writeFileAtomically(ramPath, randomRam());
    for (auto _ : state)
        benchmark::DoNotOptimize(kv::process::RamFileToRgbTiff(ramPath, outPath));
    std::filesystem::remove(ramPath);
    std::filesystem::remove(outPath);
}
BENCHMARK(RamFileToRgb8Tiff)->Unit(benchmark::kMillisecond);

void RenderCellsOnly(benchmark::State& state) {
    const kv::Bytes ram = randomRam();
    std::vector<std::uint8_t> rgb(kv::process::kCellCount * 3);
    for (auto _ : state) {
        kv::process::RenderCells(ram, rgb.data());
        benchmark::DoNotOptimize(rgb.data());
    }
}
BENCHMARK(RenderCellsOnly)->Unit(benchmark::kMillisecond);

void NoiseFilterTenIterations960x800(benchmark::State& state) {
    std::mt19937 random(5);
    std::vector<std::uint8_t> source(960 * 800 * 3);
    for (auto& b : source)
        b = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> pixels;
    for (auto _ : state) {
        state.PauseTiming();
        pixels = source;
        state.ResumeTiming();
        kv::imaging::ApplyNoiseFilter(10, pixels.data(), 960, 800);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(NoiseFilterTenIterations960x800)->Unit(benchmark::kMillisecond);

void DspSimulationOneRamFile(benchmark::State& state) {
    const kv::Bytes ram = randomRam();
    const kv::process::DspParams params = kv::process::DefaultDspParams();
    for (auto _ : state) {
        // Unpacking is part of the simulation's work on a RAM file.
        const auto mosaic = kv::process::UnpackMosaic(ram, 0);
        auto result = kv::process::RunDspSimulation(mosaic.data(), params, {});
        benchmark::DoNotOptimize(result.rgb8.data());
    }
}
BENCHMARK(DspSimulationOneRamFile)->Unit(benchmark::kMillisecond);

void DspSimulationWithDebugPictures(benchmark::State& state) {
    const kv::Bytes ram = randomRam();
    const auto folder = kv::bench::scratchFolder("process_debug");
    kv::process::DspOptions options;
    options.debugFolder = folder;
    for (auto _ : state) {
        const auto mosaic = kv::process::UnpackMosaic(ram, 0);
        auto result =
            kv::process::RunDspSimulation(mosaic.data(), kv::process::DefaultDspParams(), options);
        benchmark::DoNotOptimize(result.rgb8.data());
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(DspSimulationWithDebugPictures)->Unit(benchmark::kMillisecond);

} // namespace
