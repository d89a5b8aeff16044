// JPEG paths of the picture files: storing a decoded wavelet picture as the 960 x 800 JPEG
// (x2 enlargement, automatic white balance, libjpeg at quality 90) and reading a 960 x 800
// JPEG into the 120 x 100 thumbnail box (libjpeg's 1/8 DCT scaling) or at full size.

#include "imaging/edits.h"
#include "imaging/enlarge.h"
#include "imaging/jpeg_file.h"
#include "scratch.h"

#include <benchmark/benchmark.h>

#include <filesystem>

namespace {

using namespace kv::imaging;

kv::Bytes picture(int width, int height) {
    kv::Bytes p(std::size_t(width) * std::size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = &p[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3];
            px[0] = static_cast<std::uint8_t>(x * 255 / (width - 1));
            px[1] = static_cast<std::uint8_t>(y * 255 / (height - 1));
            px[2] = static_cast<std::uint8_t>(((x ^ y) * 7) & 0xFF);
        }
    }
    return p;
}

void BM_StorePictureJpeg(benchmark::State& state) {
    const kv::Bytes rgb = picture(480, 400);
    const kv::Bytes note = {0x03, 0x03, 'K', 'V', 'Q', 1, 0x04, 0x04};
    PictureAttributes a;
    a.exposureIndex = 5;
    const auto path = kv::bench::scratchPath("store.jpg");
    for (auto _ : state) {
        if (StorePictureJpeg(rgb, path, a, 1, note) != kv::status::Ok)
            state.SkipWithError("write failed");
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_StorePictureJpeg)->Unit(benchmark::kMillisecond);

void BM_EnlargeTwice(benchmark::State& state) {
    const kv::Bytes rgb = picture(480, 400);
    for (auto _ : state)
        benchmark::DoNotOptimize(EnlargeTwice(rgb, 480, 400));
}
BENCHMARK(BM_EnlargeTwice)->Unit(benchmark::kMillisecond);

void BM_WhiteBalance960x800(benchmark::State& state) {
    const kv::Bytes big = picture(960, 800);
    for (auto _ : state) {
        state.PauseTiming();
        kv::Bytes copy = big;
        state.ResumeTiming();
        ApplyWhiteBalance(nullptr, copy.data(), copy.size());
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_WhiteBalance960x800)->Unit(benchmark::kMillisecond);

void BM_WriteJpeg960x800(benchmark::State& state) {
    const kv::Bytes big = picture(960, 800);
    const auto path = kv::bench::scratchPath("write.jpg");
    for (auto _ : state) {
        if (WriteJpeg(big, path, 960, 800, kJpegQuality, 5, 1, std::string("note"), 1) !=
            kv::status::Ok)
            state.SkipWithError("write failed");
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_WriteJpeg960x800)->Unit(benchmark::kMillisecond);

// Reading a 960 x 800 JPEG into a box: 120 x 100 (thumbnail, 1/8 scaling) and 960 x 800.
void BM_ReadJpeg960x800(benchmark::State& state) {
    const int boxWidth = static_cast<int>(state.range(0));
    const int boxHeight = static_cast<int>(state.range(1));
    const auto path = kv::bench::scratchPath("read.jpg");
    const kv::Bytes big = picture(960, 800);
    if (WriteJpeg(big, path, 960, 800, kJpegQuality, 5, 1, std::string("note"), 1) !=
        kv::status::Ok) {
        state.SkipWithError("write failed");
        return;
    }
    kv::Bytes box(std::size_t(boxWidth) * std::size_t(boxHeight) * 3);
    JpegPlacement placement;
    for (auto _ : state) {
        if (ReadJpeg(path, box, boxWidth, boxHeight, true, nullptr, &placement) != kv::status::Ok)
            state.SkipWithError("read failed");
    }
    state.counters["scale_denominator"] = placement.scaleDenominator;
    std::filesystem::remove(path);
}
BENCHMARK(BM_ReadJpeg960x800)->Args({120, 100})->Args({960, 800})->Unit(benchmark::kMillisecond);

} // namespace
