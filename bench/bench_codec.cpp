// Wavelet codec speed on one core: decoding a 480 x 400 picture from a 40 KB stream (target
// 1.5 ms or less), its stages, and encoding with rate control (target 25 ms or less). Timings
// on a shared machine vary; compare runs with --benchmark_repetitions and per-stage
// instruction counts (valgrind --tool=callgrind).

#include "imaging/codec/synthetic_picture.h"
#include "imaging/codec/wavelet_codec.h"

#include <benchmark/benchmark.h>

namespace {

using namespace kv::codec;

kv::Bytes streamOf(int quality, std::size_t target) {
    WaveletCodec codec;
    return codec.encodeRgb(syntheticPicture(1), {quality, target});
}

void BM_DecodePicture(benchmark::State& state) {
    const int quality = static_cast<int>(state.range(0));
    const kv::Bytes stream = streamOf(quality, static_cast<std::size_t>(state.range(1)));
    WaveletCodec codec;
    kv::Bytes out(kRgbBytes);
    for (auto _ : state) {
        if (codec.DecodePicture(stream, out, quality) != kv::status::Ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["stream_bytes"] = static_cast<double>(stream.size());
}
BENCHMARK(BM_DecodePicture)
    ->Args({kQualityBest, 40000})
    ->Args({kQualityBest, 60000})
    ->Args({kQualityStandard, 24000})
    ->Unit(benchmark::kMillisecond);

void BM_DecodeStream(benchmark::State& state) {
    const kv::Bytes stream = streamOf(kQualityBest, 40000);
    WaveletCodec codec;
    for (auto _ : state) {
        int reduced = 0;
        benchmark::DoNotOptimize(codec.DecodeStream(stream, reduced));
    }
}
BENCHMARK(BM_DecodeStream)->Unit(benchmark::kMillisecond);

void BM_InverseTransform(benchmark::State& state) {
    const kv::Bytes stream = streamOf(kQualityBest, 40000);
    WaveletCodec codec;
    for (auto _ : state) {
        state.PauseTiming();
        int reduced = 0;
        codec.DecodeStream(stream, reduced);
        state.ResumeTiming();
        codec.InverseTransform(kLevels - 1, false);
    }
}
BENCHMARK(BM_InverseTransform)->Unit(benchmark::kMillisecond);

void BM_EncodeWithRateControl(benchmark::State& state) {
    const kv::Bytes picture = syntheticPicture(1);
    const int quality = static_cast<int>(state.range(0));
    WaveletCodec codec;
    EncodeReport report;
    for (auto _ : state) {
        kv::Bytes stream =
            codec.encodeRgb(picture, {quality, static_cast<std::size_t>(state.range(1))}, &report);
        benchmark::DoNotOptimize(stream.data());
    }
    state.counters["stream_bytes"] = static_cast<double>(report.bytes);
    state.counters["trials"] = report.trials;
}
BENCHMARK(BM_EncodeWithRateControl)
    ->Args({kQualityBest, 40000})
    ->Args({kQualityStandard, 24000})
    ->Unit(benchmark::kMillisecond);

} // namespace
