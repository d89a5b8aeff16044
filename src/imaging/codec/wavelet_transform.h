// The 9/7 wavelet filters and the x2 interpolation of reduced streams, on column-major float
// planes (stride floats between columns). Internal to the codec library.
#pragma once

namespace kv::codec::detail {

// Taps of the four filters as the stream's producer uses them (32-bit floats), index -4..4
// (the 7-tap filters have zeros at -4 and 4).
extern const float kAnalysisLow[9];   // A
extern const float kAnalysisHigh[9];  // C
extern const float kSynthesisLow[9];  // G0
extern const float kSynthesisHigh[9]; // G1

// One synthesis level: the low and high halves of the width x height region are combined,
// first along x (into work), then along y (back into plane). Sums are formed in double and
// stored as floats. work needs width columns of height values at the same stride.
// vector selects the AVX2 kernels (when the processor has them), wide with it the AVX-512 ones
// for the pass along y (when it has those); the portable kernels give the same bits.
void synthesisLevel(float* plane, float* work, int width, int height, int stride,
                    bool vector = true, bool wide = true);
// The same sums with the result in result instead of plane: each group of columns along x is
// taken along y at once (work may be result; plane is left holding the level's input).
void synthesisLevelTo(float* plane, float* work, float* result, int width, int height, int stride,
                      bool vector = true, bool wide = true);
// The exact counterpart (encoding): along x into work, then along y back into plane, low
// outputs in the first half, high outputs in the second half of every line.
void analysisLevel(float* plane, float* work, int width, int height, int stride,
                   bool vector = true);
// Whether this processor runs the AVX2 kernels, and the AVX-512 ones (F, VL, BW, DQ).
bool cpuHasAvx2();
bool cpuHasAvx512();

// Functions for processors with AVX-512, called only when cpuHasAvx512(). GCC 12 warns of the
// unset pass-through operand inside its own 512-bit intrinsics, so such code sits between
// KV_AVX512_BEGIN and KV_AVX512_END.
#define KV_AVX512 __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2,fma")))
#ifdef __clang__
#define KV_AVX512_BEGIN
#define KV_AVX512_END
#else
#define KV_AVX512_BEGIN                                                                            \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")           \
        _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define KV_AVX512_END _Pragma("GCC diagnostic pop")
#endif
// Reduced streams: the width x height region becomes 2 width x 2 height, first along y, then
// along x; each sample a is followed by (9 (a + b) - (c + d)) / 16, ends repeated.
void interpolateTwice(float* plane, float* work, int width, int height, int stride);

} // namespace kv::codec::detail
