// 9/7 synthesis and analysis on column-major planes.
//
// Both directions are written as one filter over the interleaved line u (low samples at even
// positions, high samples at odd ones), extended whole-sample symmetrically at both ends:
// output j = sum over t of f(j + t)[t] * u[j + t], where the filter is chosen by whether
// u[j + t] is a low or a high sample. This is the same sum as the two-half formula, term for
// term, and lets every pass run over contiguous memory:
//  - the pass along x works on whole columns at once, so it is vectorised across y;
//  - the pass along y works on one contiguous column, vectorised across neighbouring outputs.
// Products of two floats are exact in double, so accumulating in double with or without fused
// multiply-add gives the same bits; the AVX2 build of the kernels is chosen at run time and
// produces exactly what the baseline build does.

#include "imaging/codec/wavelet_transform.h"

#include <algorithm>
#include <cstring>

namespace kv::codec::detail {

const float kAnalysisLow[9] = {0.037829001f,  -0.023848999f, -0.110624000f,
                               0.377402991f,  0.852698982f,  0.377402991f,
                               -0.110624000f, -0.023848999f, 0.037829001f};
const float kAnalysisHigh[9] = {0.0f,         -0.064539000f, 0.040690001f,
                                0.418092012f, -0.788484991f, 0.418092012f,
                                0.040690001f, -0.064539000f, 0.0f};
const float kSynthesisLow[9] = {0.0f,          -0.064539000f, -0.040690001f,
                                0.418092012f,  0.788484991f,  0.418092012f,
                                -0.040690001f, -0.064539000f, 0.0f};
const float kSynthesisHigh[9] = {-0.037829001f, -0.023848999f, 0.110624000f,
                                 0.377402991f,  -0.852698982f, 0.377402991f,
                                 0.110624000f,  -0.023848999f, -0.037829001f};

namespace {

using F4 = float __attribute__((vector_size(16)));
using D4 = double __attribute__((vector_size(32)));

constexpr int kPad = 4;        // filter reach on either side
constexpr int kMaxLine = 1024; // longest line a level may have (the picture has 480)

inline F4 loadF4(const float* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void storeF4(float* p, F4 v) {
    std::memcpy(p, &v, sizeof v);
}

// Whole-sample symmetric extension of a line of n >= 2 samples.
inline int reflect(int i, int n) {
    while (i < 0 || i >= n) {
        if (i < 0)
            i = -i;
        if (i >= n)
            i = 2 * (n - 1) - i;
    }
    return i;
}

// dst[y] = sum over t of coef[t] * src[t][y] for y in [0, count).
template <int N>
[[gnu::always_inline]] inline void columnsKernel(const float* const* src, const double* coef,
                                                 float* dst, int count) {
    int y = 0;
    for (; y + 4 <= count; y += 4) {
        D4 acc = __builtin_convertvector(loadF4(src[0] + y), D4) * coef[0];
        for (int t = 1; t < N; ++t)
            acc += __builtin_convertvector(loadF4(src[t] + y), D4) * coef[t];
        storeF4(dst + y, __builtin_convertvector(acc, F4));
    }
    for (; y < count; ++y) {
        double acc = static_cast<double>(src[0][y]) * coef[0];
        for (int t = 1; t < N; ++t)
            acc += static_cast<double>(src[t][y]) * coef[t];
        dst[y] = static_cast<float>(acc);
    }
}

// out[j] = sum over t of c(j)[t] * u[j + t - 4] for j in [0, count); u is padded by kPad on
// both sides; c(j) is even[] for even j and odd[] for odd j.
[[gnu::always_inline]] inline void lineKernel(const float* up, const double* even,
                                              const double* odd, float* out, int count) {
    D4 coef[9];
    for (int t = 0; t < 9; ++t)
        coef[t] = D4{even[t], odd[t], even[t], odd[t]};
    int j = 0;
    for (; j + 4 <= count; j += 4) {
        D4 acc = __builtin_convertvector(loadF4(up + j), D4) * coef[0];
        for (int t = 1; t < 9; ++t)
            acc += __builtin_convertvector(loadF4(up + j + t), D4) * coef[t];
        storeF4(out + j, __builtin_convertvector(acc, F4));
    }
    for (; j < count; ++j) {
        const double* c = (j & 1) ? odd : even;
        double acc = static_cast<double>(up[j]) * c[0];
        for (int t = 1; t < 9; ++t)
            acc += static_cast<double>(up[j + t]) * c[t];
        out[j] = static_cast<float>(acc);
    }
}

struct Taps {
    double synthEven[9], synthOdd[9]; // by t + 4, for outputs at even / odd positions
    double analysisLow[9], analysisHigh[9];
    Taps() {
        for (int t = -4; t <= 4; ++t) {
            const bool tEven = (t & 1) == 0;
            // An even output sees low samples at even t; an odd output at odd t.
            synthEven[t + 4] = tEven ? kSynthesisLow[t + 4] : kSynthesisHigh[t + 4];
            synthOdd[t + 4] = tEven ? kSynthesisHigh[t + 4] : kSynthesisLow[t + 4];
            analysisLow[t + 4] = kAnalysisLow[t + 4];
            analysisHigh[t + 4] = kAnalysisHigh[t + 4];
        }
    }
};
const Taps kTaps;

// Columns and weights of one output column of the pass along x (zero taps left out).
struct ColumnTaps {
    const float* src[9];
    double coef[9];
    int count = 0;
};

[[gnu::always_inline]] inline void runColumns(const ColumnTaps& c, float* dst, int count) {
    if (c.count == 7)
        columnsKernel<7>(c.src, c.coef, dst, count);
    else
        columnsKernel<9>(c.src, c.coef, dst, count);
}

[[gnu::always_inline]] inline void synthesisBody(float* plane, float* work, int width, int height,
                                                 int stride) {
    const int halfW = width / 2;
    for (int j = 0; j < width; ++j) {
        ColumnTaps c;
        for (int t = -4; t <= 4; ++t) {
            const double w = ((j + t) & 1) == 0 ? kSynthesisLow[t + 4] : kSynthesisHigh[t + 4];
            if (w == 0.0)
                continue;
            const int s = reflect(j + t, width);
            const int column = (s & 1) == 0 ? s / 2 : halfW + s / 2;
            c.src[c.count] = plane + static_cast<long>(column) * stride;
            c.coef[c.count++] = w;
        }
        runColumns(c, work + static_cast<long>(j) * stride, height);
    }
    const int halfH = height / 2;
    float line[kMaxLine + 2 * kPad + 4];
    float* u = line + kPad;
    for (int x = 0; x < width; ++x) {
        const float* col = work + static_cast<long>(x) * stride;
        for (int k = 0; k < halfH; ++k) {
            u[2 * k] = col[k];
            u[2 * k + 1] = col[halfH + k];
        }
        for (int j = 1; j <= kPad; ++j) {
            u[-j] = u[reflect(-j, height)];
            u[height - 1 + j] = u[reflect(height - 1 + j, height)];
        }
        lineKernel(line, kTaps.synthEven, kTaps.synthOdd, plane + static_cast<long>(x) * stride,
                   height);
    }
}

[[gnu::always_inline]] inline void analysisBody(float* plane, float* work, int width, int height,
                                                int stride) {
    const int halfW = width / 2;
    for (int i = 0; i < width; ++i) {
        ColumnTaps c;
        const float* taps = (i & 1) == 0 ? kAnalysisLow : kAnalysisHigh;
        for (int t = -4; t <= 4; ++t) {
            if (taps[t + 4] == 0.0f)
                continue;
            c.src[c.count] = plane + static_cast<long>(reflect(i + t, width)) * stride;
            c.coef[c.count++] = taps[t + 4];
        }
        const int column = (i & 1) == 0 ? i / 2 : halfW + i / 2;
        runColumns(c, work + static_cast<long>(column) * stride, height);
    }
    const int halfH = height / 2;
    float line[kMaxLine + 2 * kPad + 4];
    float out[kMaxLine + 4];
    float* u = line + kPad;
    for (int x = 0; x < width; ++x) {
        const float* col = work + static_cast<long>(x) * stride;
        std::memcpy(u, col, sizeof(float) * static_cast<std::size_t>(height));
        for (int j = 1; j <= kPad; ++j) {
            u[-j] = u[reflect(-j, height)];
            u[height - 1 + j] = u[reflect(height - 1 + j, height)];
        }
        lineKernel(line, kTaps.analysisLow, kTaps.analysisHigh, out, height);
        float* dst = plane + static_cast<long>(x) * stride;
        for (int k = 0; k < halfH; ++k) {
            dst[k] = out[2 * k];
            dst[halfH + k] = out[2 * k + 1];
        }
    }
}

__attribute__((target("avx2,fma"))) void synthesisAvx2(float* plane, float* work, int width,
                                                       int height, int stride) {
    synthesisBody(plane, work, width, height, stride);
}
void synthesisBaseline(float* plane, float* work, int width, int height, int stride) {
    synthesisBody(plane, work, width, height, stride);
}
__attribute__((target("avx2,fma"))) void analysisAvx2(float* plane, float* work, int width,
                                                      int height, int stride) {
    analysisBody(plane, work, width, height, stride);
}
void analysisBaseline(float* plane, float* work, int width, int height, int stride) {
    analysisBody(plane, work, width, height, stride);
}

bool haveAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}

} // namespace

void synthesisLevel(float* plane, float* work, int width, int height, int stride) {
    if (width < 2 || height < 2 || width > kMaxLine || height > kMaxLine)
        return;
    if (haveAvx2())
        synthesisAvx2(plane, work, width, height, stride);
    else
        synthesisBaseline(plane, work, width, height, stride);
}

void analysisLevel(float* plane, float* work, int width, int height, int stride) {
    if (width < 2 || height < 2 || width > kMaxLine || height > kMaxLine)
        return;
    if (haveAvx2())
        analysisAvx2(plane, work, width, height, stride);
    else
        analysisBaseline(plane, work, width, height, stride);
}

void interpolateTwice(float* plane, float* work, int width, int height, int stride) {
    // Along y: column x of plane (height samples) into column x of work (2 height samples).
    for (int x = 0; x < width; ++x) {
        const float* in = plane + static_cast<long>(x) * stride;
        float* out = work + static_cast<long>(x) * stride;
        for (int i = 0; i < height; ++i) {
            const float a = in[i];
            const float b = in[std::min(i + 1, height - 1)];
            const float c = in[std::max(i - 1, 0)];
            const float d = in[std::min(i + 2, height - 1)];
            out[2 * i] = a;
            out[2 * i + 1] = (9.0f * (a + b) - (c + d)) / 16.0f;
        }
    }
    // Along x, vectorised across y: column i of work gives plane columns 2i and 2i + 1.
    const int rows = 2 * height;
    const F4 nine = {9.0f, 9.0f, 9.0f, 9.0f};
    const F4 sixteen = {16.0f, 16.0f, 16.0f, 16.0f};
    for (int i = 0; i < width; ++i) {
        const float* a = work + static_cast<long>(i) * stride;
        const float* b = work + static_cast<long>(std::min(i + 1, width - 1)) * stride;
        const float* c = work + static_cast<long>(std::max(i - 1, 0)) * stride;
        const float* d = work + static_cast<long>(std::min(i + 2, width - 1)) * stride;
        float* even = plane + static_cast<long>(2 * i) * stride;
        float* odd = plane + static_cast<long>(2 * i + 1) * stride;
        int y = 0;
        for (; y + 4 <= rows; y += 4) {
            const F4 va = loadF4(a + y);
            storeF4(even + y, va);
            storeF4(odd + y,
                    (nine * (va + loadF4(b + y)) - (loadF4(c + y) + loadF4(d + y))) / sixteen);
        }
        for (; y < rows; ++y) {
            even[y] = a[y];
            odd[y] = (9.0f * (a[y] + b[y]) - (c[y] + d[y])) / 16.0f;
        }
    }
}

} // namespace kv::codec::detail
