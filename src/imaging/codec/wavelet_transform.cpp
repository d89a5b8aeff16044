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
// multiply-add gives the same bits; the AVX2 kernels are chosen at run time and produce exactly
// what the portable ones do (the x86-64 baseline has SSE2 for the interleave and the x2
// interpolation).

#include "imaging/codec/wavelet_transform.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
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

// The kernels, once for AVX2 and once portable. Both sum the same exact products in the same
// order, so they give the same bits.
struct ScalarKernels {
    // dst[y] = sum over t of coef[t] * src[t][y] for y in [0, count).
    static void columns(const ColumnTaps& c, float* dst, int count) {
        for (int y = 0; y < count; ++y) {
            double acc = static_cast<double>(c.src[0][y]) * c.coef[0];
            for (int t = 1; t < c.count; ++t)
                acc += static_cast<double>(c.src[t][y]) * c.coef[t];
            dst[y] = static_cast<float>(acc);
        }
    }
    // One pair of synthesis outputs along x: src[k] is the column at u index 2m - 3 + k;
    // even[y] = sum over k < 7 of e[k] src[k][y], odd[y] = sum over k < 9 of o[k] src[k][y].
    static void pair(const float* const* src, const double* e, const double* o, float* even,
                     float* odd, int count) {
        for (int y = 0; y < count; ++y) {
            double a = static_cast<double>(src[0][y]) * e[0];
            for (int k = 1; k < 7; ++k)
                a += static_cast<double>(src[k][y]) * e[k];
            double b = static_cast<double>(src[0][y]) * o[0];
            for (int k = 1; k < 9; ++k)
                b += static_cast<double>(src[k][y]) * o[k];
            even[y] = static_cast<float>(a);
            odd[y] = static_cast<float>(b);
        }
    }
    // Two neighbouring pairs (outputs 2m ... 2m + 3) from the eleven columns at u index
    // 2m - 3 ... 2m + 7.
    static void quad(const float* const* src, const double* e, const double* o, float* const* out,
                     int count, std::uint64_t /*dense*/ = ~0ull) {
        pair(src, e, o, out[0], out[1], count);
        pair(src + 2, e, o, out[2], out[3], count);
    }
    // The portable path treats every block as holding data.
    static void highBlocks(const float*, int columns, int, int, std::uint64_t* dense) {
        std::fill_n(dense, columns, ~0ull);
    }
    static void synthesisColumn(const float* col, int half, float* out);
    // out[j] = sum over t of c(j)[t] * up[j + t] (up padded by kPad) for j in [0, count);
    // c(j) is even[] for even j and odd[] for odd j.
    static void line(const float* up, const double* even, const double* odd, float* out,
                     int count) {
        for (int j = 0; j < count; ++j) {
            const double* c = (j & 1) ? odd : even;
            double acc = static_cast<double>(up[j]) * c[0];
            for (int t = 1; t < 9; ++t)
                acc += static_cast<double>(up[j + t]) * c[t];
            out[j] = static_cast<float>(acc);
        }
    }
};

template <int N>
__attribute__((target("avx2,fma"))) inline void columnsAvx2(const ColumnTaps& c, float* dst,
                                                            int count) {
    __m256d coef[N];
    const float* src[N];
#pragma GCC unroll 9
    for (int t = 0; t < N; ++t) {
        coef[t] = _mm256_set1_pd(c.coef[t]);
        src[t] = c.src[t];
    }
    int y = 0;
    for (; y + 8 <= count; y += 8) {
        __m256d a0 = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(src[0] + y)), coef[0]);
        __m256d a1 = _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(src[0] + y + 4)), coef[0]);
#pragma GCC unroll 9
        for (int t = 1; t < N; ++t) {
            a0 = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(src[t] + y)), coef[t], a0);
            a1 = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(src[t] + y + 4)), coef[t], a1);
        }
        _mm_storeu_ps(dst + y, _mm256_cvtpd_ps(a0));
        _mm_storeu_ps(dst + y + 4, _mm256_cvtpd_ps(a1));
    }
    for (; y < count; ++y) {
        double acc = static_cast<double>(src[0][y]) * c.coef[0];
        for (int t = 1; t < N; ++t)
            acc += static_cast<double>(src[t][y]) * c.coef[t];
        dst[y] = static_cast<float>(acc);
    }
}

struct Avx2Kernels {
    __attribute__((target("avx2,fma"))) static void columns(const ColumnTaps& c, float* dst,
                                                            int count) {
        if (c.count == 7)
            columnsAvx2<7>(c, dst, count);
        else if (c.count == 9)
            columnsAvx2<9>(c, dst, count);
        else
            ScalarKernels::columns(c, dst, count);
    }
    __attribute__((target("avx2,fma"))) static void pair(const float* const* src, const double* e,
                                                         const double* o, float* even, float* odd,
                                                         int count) {
        __m256d ce[7], co[9];
        const float* s[9];
#pragma GCC unroll 9
        for (int k = 0; k < 9; ++k) {
            co[k] = _mm256_set1_pd(o[k]);
            s[k] = src[k];
        }
#pragma GCC unroll 7
        for (int k = 0; k < 7; ++k)
            ce[k] = _mm256_set1_pd(e[k]);
        int y = 0;
        for (; y + 4 <= count; y += 4) {
            // Each source is converted once and feeds both outputs.
            __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(s[0] + y));
            __m256d a = _mm256_mul_pd(v, ce[0]);
            __m256d b = _mm256_mul_pd(v, co[0]);
#pragma GCC unroll 6
            for (int k = 1; k < 7; ++k) {
                v = _mm256_cvtps_pd(_mm_loadu_ps(s[k] + y));
                a = _mm256_fmadd_pd(v, ce[k], a);
                b = _mm256_fmadd_pd(v, co[k], b);
            }
            b = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(s[7] + y)), co[7], b);
            b = _mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(s[8] + y)), co[8], b);
            _mm_storeu_ps(even + y, _mm256_cvtpd_ps(a));
            _mm_storeu_ps(odd + y, _mm256_cvtpd_ps(b));
        }
        if (y < count) {
            const float* rest[9];
            for (int k = 0; k < 9; ++k)
                rest[k] = s[k] + y;
            ScalarKernels::pair(rest, e, o, even + y, odd + y, count - y);
        }
    }
    // Two pairs at once: seven of the eleven source columns are shared, so each is converted
    // once for up to four outputs. Every output sums its products in the same order as pair().
    // Bit b of dense is clear when rows 8b to 8b + 7 of every high source (even k) are zero:
    // those rows sum only the low sources' products. A zero product changes no sum except for
    // the sign of a zero result, and nothing downstream tells the two zeros apart.
    __attribute__((target("avx2,fma"), always_inline)) static inline void
    quad4(const float* const* s, const double* e, const double* o, float* const* out, int y) {
        __m256d a0, b0, a1, b1;
#pragma GCC unroll 11
        for (int k = 0; k < 11; ++k) {
            const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(s[k] + y));
            if (k == 0) {
                a0 = _mm256_mul_pd(v, _mm256_set1_pd(e[0]));
                b0 = _mm256_mul_pd(v, _mm256_set1_pd(o[0]));
            } else {
                if (k < 7)
                    a0 = _mm256_fmadd_pd(v, _mm256_set1_pd(e[k]), a0);
                if (k < 9)
                    b0 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[k]), b0);
            }
            if (k == 2) {
                a1 = _mm256_mul_pd(v, _mm256_set1_pd(e[0]));
                b1 = _mm256_mul_pd(v, _mm256_set1_pd(o[0]));
            } else if (k > 2) {
                if (k - 2 < 7)
                    a1 = _mm256_fmadd_pd(v, _mm256_set1_pd(e[k - 2]), a1);
                b1 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[k - 2]), b1);
            }
        }
        _mm_storeu_ps(out[0] + y, _mm256_cvtpd_ps(a0));
        _mm_storeu_ps(out[1] + y, _mm256_cvtpd_ps(b0));
        _mm_storeu_ps(out[2] + y, _mm256_cvtpd_ps(a1));
        _mm_storeu_ps(out[3] + y, _mm256_cvtpd_ps(b1));
    }
    // quad4 with the high sources left out (low sources are the odd k).
    __attribute__((target("avx2,fma"), always_inline)) static inline void
    lowQuad4(const float* const* s, const double* e, const double* o, float* const* out, int y) {
        __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(s[1] + y));
        __m256d a0 = _mm256_mul_pd(v, _mm256_set1_pd(e[1]));
        __m256d b0 = _mm256_mul_pd(v, _mm256_set1_pd(o[1]));
        v = _mm256_cvtps_pd(_mm_loadu_ps(s[3] + y));
        a0 = _mm256_fmadd_pd(v, _mm256_set1_pd(e[3]), a0);
        b0 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[3]), b0);
        __m256d a1 = _mm256_mul_pd(v, _mm256_set1_pd(e[1]));
        __m256d b1 = _mm256_mul_pd(v, _mm256_set1_pd(o[1]));
        v = _mm256_cvtps_pd(_mm_loadu_ps(s[5] + y));
        a0 = _mm256_fmadd_pd(v, _mm256_set1_pd(e[5]), a0);
        b0 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[5]), b0);
        a1 = _mm256_fmadd_pd(v, _mm256_set1_pd(e[3]), a1);
        b1 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[3]), b1);
        v = _mm256_cvtps_pd(_mm_loadu_ps(s[7] + y));
        b0 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[7]), b0);
        a1 = _mm256_fmadd_pd(v, _mm256_set1_pd(e[5]), a1);
        b1 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[5]), b1);
        v = _mm256_cvtps_pd(_mm_loadu_ps(s[9] + y));
        b1 = _mm256_fmadd_pd(v, _mm256_set1_pd(o[7]), b1);
        _mm_storeu_ps(out[0] + y, _mm256_cvtpd_ps(a0));
        _mm_storeu_ps(out[1] + y, _mm256_cvtpd_ps(b0));
        _mm_storeu_ps(out[2] + y, _mm256_cvtpd_ps(a1));
        _mm_storeu_ps(out[3] + y, _mm256_cvtpd_ps(b1));
    }
    __attribute__((target("avx2,fma"))) static void quad(const float* const* src, const double* e,
                                                         const double* o, float* const* out,
                                                         int count, std::uint64_t dense) {
        const float* s[11];
#pragma GCC unroll 11
        for (int k = 0; k < 11; ++k)
            s[k] = src[k];
        // The blocks of each kind in one loop apiece, so the branches follow the loop rather
        // than the data.
        const int blocks = std::min(count / 8, 64);
        const std::uint64_t all = blocks == 64 ? ~0ull : (1ull << blocks) - 1;
        for (std::uint64_t b = dense & all; b != 0; b &= b - 1) {
            const int y = 8 * __builtin_ctzll(b);
            quad4(s, e, o, out, y);
            quad4(s, e, o, out, y + 4);
        }
        for (std::uint64_t b = ~dense & all; b != 0; b &= b - 1) {
            const int y = 8 * __builtin_ctzll(b);
            lowQuad4(s, e, o, out, y);
            lowQuad4(s, e, o, out, y + 4);
        }
        int y = 8 * blocks;
        for (; y + 4 <= count; y += 4)
            quad4(s, e, o, out, y);
        if (y < count) {
            const float* rest[11];
            float* restOut[4];
            for (int k = 0; k < 11; ++k)
                rest[k] = s[k] + y;
            for (int i = 0; i < 4; ++i)
                restOut[i] = out[i] + y;
            ScalarKernels::quad(rest, e, o, restOut, count - y);
        }
    }
    // Bit b of dense[c] is set when rows 8b to 8b + 7 of column c hold a value other than
    // zero (blocks past the 64th and the rows after the last whole block always count as
    // data).
    __attribute__((target("avx2,fma"))) static void
    highBlocks(const float* first, int columns, int height, int stride, std::uint64_t* dense) {
        const __m256i magnitude = _mm256_set1_epi32(0x7FFFFFFF);
        const int blocks = std::min(height / 8, 64);
        const std::uint64_t rest = blocks == 64 ? 0 : ~0ull << blocks;
        for (int c = 0; c < columns; ++c) {
            const float* col = first + static_cast<long>(c) * stride;
            std::uint64_t bits = rest;
            for (int b = 0; b < blocks; ++b) {
                const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + 8 * b));
                bits |= static_cast<std::uint64_t>(_mm256_testz_si256(v, magnitude) ^ 1) << b;
            }
            dense[c] = bits;
        }
    }
    // out[0..7] = e0 o0 e1 o1 e2 o2 e3 o3.
    __attribute__((target("avx2,fma"), always_inline)) static inline void
    storePairs(__m256d e, __m256d o, float* out) {
        const __m128 e4 = _mm256_cvtpd_ps(e);
        const __m128 o4 = _mm256_cvtpd_ps(o);
        _mm_storeu_ps(out, _mm_unpacklo_ps(e4, o4));
        _mm_storeu_ps(out + 4, _mm_unpackhi_ps(e4, o4));
    }
    // The column's halves widened to double keep kEdge values on either side: the symmetric
    // extension of u, as seen from either half.
    static constexpr int kEdge = 2;
    static void extendEdges(const float* low, const float* high, int half, double* ld, double* hd) {
        const int n = 2 * half;
        for (int k = 1; k <= kEdge; ++k) {
            ld[kEdge - k] = low[reflect(-2 * k, n) / 2];
            hd[kEdge - k] = high[reflect(-2 * k + 1, n) / 2];
            ld[kEdge + half - 1 + k] = low[reflect(2 * (half - 1 + k), n) / 2];
            hd[kEdge + half - 1 + k] = high[reflect(2 * (half - 1 + k) + 1, n) / 2];
        }
    }
    // Output pairs m from `from` to half one at a time (the rest after the vector groups).
    static void pairsFrom(const double* ld, const double* hd, int from, int half, float* out) {
        const double* ce = kTaps.synthEven;
        const double* co = kTaps.synthOdd;
        for (int m = from; m < half; ++m) {
            const double* L = ld + kEdge + m;
            const double* H = hd + kEdge + m;
            double e = H[-2] * ce[1];
            e += L[-1] * ce[2];
            e += H[-1] * ce[3];
            e += L[0] * ce[4];
            e += H[0] * ce[5];
            e += L[1] * ce[6];
            e += H[1] * ce[7];
            double o = H[-2] * co[0];
            o += L[-1] * co[1];
            o += H[-1] * co[2];
            o += L[0] * co[3];
            o += H[0] * co[4];
            o += L[1] * co[5];
            o += H[1] * co[6];
            o += L[2] * co[7];
            o += H[2] * co[8];
            out[2 * m] = static_cast<float>(e);
            out[2 * m + 1] = static_cast<float>(o);
        }
    }
    // One column of the pass along y: the low half L and high half H of col (half values
    // each) give out[2m] = sum over t = -3..3 and out[2m + 1] = sum over t = -4..4 of the
    // taps times u[j + t], where u interleaves L and H; the same products in the same order as
    // line() (less its zero taps). Where the high samples an output group reads are all zero,
    // their products are left out.
    __attribute__((target("avx2,fma"))) static void synthesisColumn(const float* col, int half,
                                                                    float* out) {
        double ld[kMaxLine / 2 + 2 * kEdge + 4], hd[kMaxLine / 2 + 2 * kEdge + 4];
        const float* low = col;
        const float* high = col + half;
        int i = 0;
        for (; i + 4 <= half; i += 4) {
            _mm256_storeu_pd(ld + kEdge + i, _mm256_cvtps_pd(_mm_loadu_ps(low + i)));
            _mm256_storeu_pd(hd + kEdge + i, _mm256_cvtps_pd(_mm_loadu_ps(high + i)));
        }
        for (; i < half; ++i) {
            ld[kEdge + i] = low[i];
            hd[kEdge + i] = high[i];
        }
        // The symmetric extension of u, as seen from either half.
        extendEdges(low, high, half, ld, hd);
        const double* ce = kTaps.synthEven;
        const double* co = kTaps.synthOdd;
        __m256d ve[9], vo[9];
#pragma GCC unroll 9
        for (int t = 0; t < 9; ++t) {
            ve[t] = _mm256_set1_pd(ce[t]);
            vo[t] = _mm256_set1_pd(co[t]);
        }
        const __m256i magnitude = _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF);
        // Groups of four m whose high samples (H[m - 2] to H[m + 5]) are all zero, then the
        // groups of each kind in a loop of their own.
        const int groups = std::min(half / 4, 64);
        std::uint64_t zero = 0;
        for (int g = 0; g < groups; ++g) {
            const double* H = hd + kEdge + 4 * g;
            const __m256d hs = _mm256_or_pd(_mm256_loadu_pd(H - 2), _mm256_loadu_pd(H + 2));
            zero |=
                static_cast<std::uint64_t>(_mm256_testz_si256(_mm256_castpd_si256(hs), magnitude))
                << g;
        }
        const std::uint64_t all = groups == 64 ? ~0ull : (1ull << groups) - 1;
        for (std::uint64_t b = zero; b != 0; b &= b - 1) {
            const int m = 4 * __builtin_ctzll(b);
            const double* L = ld + kEdge + m;
            __m256d v = _mm256_loadu_pd(L - 1);
            __m256d e = _mm256_mul_pd(v, ve[2]);
            __m256d o = _mm256_mul_pd(v, vo[1]);
            v = _mm256_loadu_pd(L);
            e = _mm256_fmadd_pd(v, ve[4], e);
            o = _mm256_fmadd_pd(v, vo[3], o);
            v = _mm256_loadu_pd(L + 1);
            e = _mm256_fmadd_pd(v, ve[6], e);
            o = _mm256_fmadd_pd(v, vo[5], o);
            o = _mm256_fmadd_pd(_mm256_loadu_pd(L + 2), vo[7], o);
            storePairs(e, o, out + 2 * m);
        }
        for (std::uint64_t b = ~zero & all; b != 0; b &= b - 1) {
            const int m = 4 * __builtin_ctzll(b);
            const double* L = ld + kEdge + m;
            const double* H = hd + kEdge + m;
            __m256d v = _mm256_loadu_pd(H - 2);
            __m256d e = _mm256_mul_pd(v, ve[1]);
            __m256d o = _mm256_mul_pd(v, vo[0]);
            v = _mm256_loadu_pd(L - 1);
            e = _mm256_fmadd_pd(v, ve[2], e);
            o = _mm256_fmadd_pd(v, vo[1], o);
            v = _mm256_loadu_pd(H - 1);
            e = _mm256_fmadd_pd(v, ve[3], e);
            o = _mm256_fmadd_pd(v, vo[2], o);
            v = _mm256_loadu_pd(L);
            e = _mm256_fmadd_pd(v, ve[4], e);
            o = _mm256_fmadd_pd(v, vo[3], o);
            v = _mm256_loadu_pd(H);
            e = _mm256_fmadd_pd(v, ve[5], e);
            o = _mm256_fmadd_pd(v, vo[4], o);
            v = _mm256_loadu_pd(L + 1);
            e = _mm256_fmadd_pd(v, ve[6], e);
            o = _mm256_fmadd_pd(v, vo[5], o);
            v = _mm256_loadu_pd(H + 1);
            e = _mm256_fmadd_pd(v, ve[7], e);
            o = _mm256_fmadd_pd(v, vo[6], o);
            o = _mm256_fmadd_pd(_mm256_loadu_pd(L + 2), vo[7], o);
            o = _mm256_fmadd_pd(_mm256_loadu_pd(H + 2), vo[8], o);
            storePairs(e, o, out + 2 * m);
        }
        pairsFrom(ld, hd, 4 * groups, half, out);
    }
    __attribute__((target("avx2,fma"))) static void line(const float* up, const double* even,
                                                         const double* odd, float* out, int count) {
        // The padded line in double once, then nine loads and multiply-adds per four outputs.
        double ud[kMaxLine + 2 * kPad + 8];
        const int n = count + 2 * kPad;
        int i = 0;
        for (; i + 4 <= n; i += 4)
            _mm256_storeu_pd(ud + i, _mm256_cvtps_pd(_mm_loadu_ps(up + i)));
        for (; i < n; ++i)
            ud[i] = up[i];
        __m256d coef[9];
#pragma GCC unroll 9
        for (int t = 0; t < 9; ++t)
            coef[t] = _mm256_setr_pd(even[t], odd[t], even[t], odd[t]);
        int j = 0;
        for (; j + 8 <= count; j += 8) {
            __m256d a0 = _mm256_mul_pd(_mm256_loadu_pd(ud + j), coef[0]);
            __m256d a1 = _mm256_mul_pd(_mm256_loadu_pd(ud + j + 4), coef[0]);
#pragma GCC unroll 9
            for (int t = 1; t < 9; ++t) {
                a0 = _mm256_fmadd_pd(_mm256_loadu_pd(ud + j + t), coef[t], a0);
                a1 = _mm256_fmadd_pd(_mm256_loadu_pd(ud + j + 4 + t), coef[t], a1);
            }
            _mm_storeu_ps(out + j, _mm256_cvtpd_ps(a0));
            _mm_storeu_ps(out + j + 4, _mm256_cvtpd_ps(a1));
        }
        if (j < count)
            ScalarKernels::line(up + j, (j & 1) ? odd : even, (j & 1) ? even : odd, out + j,
                                count - j);
    }
};

// The pass along y in 512-bit registers where the processor has AVX-512: eight pairs of
// outputs per group instead of four, with the same products in the same order as Avx2Kernels
// (a group leaves out the high samples' products only when all it reads are zero; as there,
// that can only change the sign of a zero result). Half the instructions per output lets the
// processor overlap more groups' chains of multiply-adds.
KV_AVX512_BEGIN
struct Avx512Kernels : Avx2Kernels {
    // out[0..15] = e0 o0 e1 o1 ... e7 o7.
    KV_AVX512 static inline void storePairs8(__m512d e, __m512d o, float* out) {
        const __m512i order =
            _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        const __m512 pairs =
            _mm512_permutex2var_ps(_mm512_castps256_ps512(_mm512_cvtpd_ps(e)), order,
                                   _mm512_castps256_ps512(_mm512_cvtpd_ps(o)));
        _mm512_storeu_ps(out, pairs);
    }
    // quad4 and lowQuad4 on eight rows: one block of the dense mask.
    KV_AVX512 static inline void quad8(const float* const* s, const double* e, const double* o,
                                       float* const* out, int y) {
        __m512d a0, b0, a1, b1;
#pragma GCC unroll 11
        for (int k = 0; k < 11; ++k) {
            const __m512d v = _mm512_cvtps_pd(_mm256_loadu_ps(s[k] + y));
            if (k == 0) {
                a0 = _mm512_mul_pd(v, _mm512_set1_pd(e[0]));
                b0 = _mm512_mul_pd(v, _mm512_set1_pd(o[0]));
            } else {
                if (k < 7)
                    a0 = _mm512_fmadd_pd(v, _mm512_set1_pd(e[k]), a0);
                if (k < 9)
                    b0 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[k]), b0);
            }
            if (k == 2) {
                a1 = _mm512_mul_pd(v, _mm512_set1_pd(e[0]));
                b1 = _mm512_mul_pd(v, _mm512_set1_pd(o[0]));
            } else if (k > 2) {
                if (k - 2 < 7)
                    a1 = _mm512_fmadd_pd(v, _mm512_set1_pd(e[k - 2]), a1);
                b1 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[k - 2]), b1);
            }
        }
        _mm256_storeu_ps(out[0] + y, _mm512_cvtpd_ps(a0));
        _mm256_storeu_ps(out[1] + y, _mm512_cvtpd_ps(b0));
        _mm256_storeu_ps(out[2] + y, _mm512_cvtpd_ps(a1));
        _mm256_storeu_ps(out[3] + y, _mm512_cvtpd_ps(b1));
    }
    KV_AVX512 static inline void lowQuad8(const float* const* s, const double* e, const double* o,
                                          float* const* out, int y) {
        __m512d v = _mm512_cvtps_pd(_mm256_loadu_ps(s[1] + y));
        __m512d a0 = _mm512_mul_pd(v, _mm512_set1_pd(e[1]));
        __m512d b0 = _mm512_mul_pd(v, _mm512_set1_pd(o[1]));
        v = _mm512_cvtps_pd(_mm256_loadu_ps(s[3] + y));
        a0 = _mm512_fmadd_pd(v, _mm512_set1_pd(e[3]), a0);
        b0 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[3]), b0);
        __m512d a1 = _mm512_mul_pd(v, _mm512_set1_pd(e[1]));
        __m512d b1 = _mm512_mul_pd(v, _mm512_set1_pd(o[1]));
        v = _mm512_cvtps_pd(_mm256_loadu_ps(s[5] + y));
        a0 = _mm512_fmadd_pd(v, _mm512_set1_pd(e[5]), a0);
        b0 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[5]), b0);
        a1 = _mm512_fmadd_pd(v, _mm512_set1_pd(e[3]), a1);
        b1 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[3]), b1);
        v = _mm512_cvtps_pd(_mm256_loadu_ps(s[7] + y));
        b0 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[7]), b0);
        a1 = _mm512_fmadd_pd(v, _mm512_set1_pd(e[5]), a1);
        b1 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[5]), b1);
        v = _mm512_cvtps_pd(_mm256_loadu_ps(s[9] + y));
        b1 = _mm512_fmadd_pd(v, _mm512_set1_pd(o[7]), b1);
        _mm256_storeu_ps(out[0] + y, _mm512_cvtpd_ps(a0));
        _mm256_storeu_ps(out[1] + y, _mm512_cvtpd_ps(b0));
        _mm256_storeu_ps(out[2] + y, _mm512_cvtpd_ps(a1));
        _mm256_storeu_ps(out[3] + y, _mm512_cvtpd_ps(b1));
    }
    // Avx2Kernels::quad with a block of eight rows per step; the rows after the last whole
    // block go through the AVX2 loop.
    KV_AVX512 static void quad(const float* const* src, const double* e, const double* o,
                               float* const* out, int count, std::uint64_t dense) {
        const float* s[11];
#pragma GCC unroll 11
        for (int k = 0; k < 11; ++k)
            s[k] = src[k];
        const int blocks = std::min(count / 8, 64);
        const std::uint64_t all = blocks == 64 ? ~0ull : (1ull << blocks) - 1;
        for (std::uint64_t b = dense & all; b != 0; b &= b - 1)
            quad8(s, e, o, out, 8 * __builtin_ctzll(b));
        for (std::uint64_t b = ~dense & all; b != 0; b &= b - 1)
            lowQuad8(s, e, o, out, 8 * __builtin_ctzll(b));
        const int y = 8 * blocks;
        if (y < count) {
            const float* rest[11];
            float* restOut[4];
            for (int k = 0; k < 11; ++k)
                rest[k] = s[k] + y;
            for (int i = 0; i < 4; ++i)
                restOut[i] = out[i] + y;
            Avx2Kernels::quad(rest, e, o, restOut, count - y, ~0ull);
        }
    }
    KV_AVX512 static void synthesisColumn(const float* col, int half, float* out) {
        double ld[kMaxLine / 2 + 2 * kEdge + 8], hd[kMaxLine / 2 + 2 * kEdge + 8];
        const float* low = col;
        const float* high = col + half;
        int i = 0;
        for (; i + 8 <= half; i += 8) {
            _mm512_storeu_pd(ld + kEdge + i, _mm512_cvtps_pd(_mm256_loadu_ps(low + i)));
            _mm512_storeu_pd(hd + kEdge + i, _mm512_cvtps_pd(_mm256_loadu_ps(high + i)));
        }
        for (; i < half; ++i) {
            ld[kEdge + i] = low[i];
            hd[kEdge + i] = high[i];
        }
        extendEdges(low, high, half, ld, hd);
        const double* ce = kTaps.synthEven;
        const double* co = kTaps.synthOdd;
        const __m512d e1 = _mm512_set1_pd(ce[1]), e2 = _mm512_set1_pd(ce[2]),
                      e3 = _mm512_set1_pd(ce[3]), e4 = _mm512_set1_pd(ce[4]),
                      e5 = _mm512_set1_pd(ce[5]), e6 = _mm512_set1_pd(ce[6]),
                      e7 = _mm512_set1_pd(ce[7]);
        const __m512d o0 = _mm512_set1_pd(co[0]), o1 = _mm512_set1_pd(co[1]),
                      o2 = _mm512_set1_pd(co[2]), o3 = _mm512_set1_pd(co[3]),
                      o4 = _mm512_set1_pd(co[4]), o5 = _mm512_set1_pd(co[5]),
                      o6 = _mm512_set1_pd(co[6]), o7 = _mm512_set1_pd(co[7]),
                      o8 = _mm512_set1_pd(co[8]);
        const __m512i magnitude = _mm512_set1_epi64(0x7FFFFFFFFFFFFFFF);
        int m = 0;
        for (; m + 8 <= half; m += 8) {
            const double* L = ld + kEdge + m;
            const double* H = hd + kEdge + m;
            // High samples H[m - 2] to H[m + 9] all zero: their products are left out.
            const __m512i hs =
                _mm512_castpd_si512(_mm512_or_pd(_mm512_loadu_pd(H - 2), _mm512_loadu_pd(H + 2)));
            __m512d e, o;
            if (_mm512_test_epi64_mask(hs, magnitude) == 0) {
                __m512d v = _mm512_loadu_pd(L - 1);
                e = _mm512_mul_pd(v, e2);
                o = _mm512_mul_pd(v, o1);
                v = _mm512_loadu_pd(L);
                e = _mm512_fmadd_pd(v, e4, e);
                o = _mm512_fmadd_pd(v, o3, o);
                v = _mm512_loadu_pd(L + 1);
                e = _mm512_fmadd_pd(v, e6, e);
                o = _mm512_fmadd_pd(v, o5, o);
                o = _mm512_fmadd_pd(_mm512_loadu_pd(L + 2), o7, o);
            } else {
                __m512d v = _mm512_loadu_pd(H - 2);
                e = _mm512_mul_pd(v, e1);
                o = _mm512_mul_pd(v, o0);
                v = _mm512_loadu_pd(L - 1);
                e = _mm512_fmadd_pd(v, e2, e);
                o = _mm512_fmadd_pd(v, o1, o);
                v = _mm512_loadu_pd(H - 1);
                e = _mm512_fmadd_pd(v, e3, e);
                o = _mm512_fmadd_pd(v, o2, o);
                v = _mm512_loadu_pd(L);
                e = _mm512_fmadd_pd(v, e4, e);
                o = _mm512_fmadd_pd(v, o3, o);
                v = _mm512_loadu_pd(H);
                e = _mm512_fmadd_pd(v, e5, e);
                o = _mm512_fmadd_pd(v, o4, o);
                v = _mm512_loadu_pd(L + 1);
                e = _mm512_fmadd_pd(v, e6, e);
                o = _mm512_fmadd_pd(v, o5, o);
                v = _mm512_loadu_pd(H + 1);
                e = _mm512_fmadd_pd(v, e7, e);
                o = _mm512_fmadd_pd(v, o6, o);
                o = _mm512_fmadd_pd(_mm512_loadu_pd(L + 2), o7, o);
                o = _mm512_fmadd_pd(_mm512_loadu_pd(H + 2), o8, o);
            }
            storePairs8(e, o, out + 2 * m);
        }
        pairsFrom(ld, hd, m, half, out);
    }
};

// Interleaves the low and high halves of a column into u (low at even positions).
inline void interleave(const float* low, const float* high, int half, float* u) {
    int k = 0;
    for (; k + 4 <= half; k += 4) {
        const __m128 l = _mm_loadu_ps(low + k);
        const __m128 h = _mm_loadu_ps(high + k);
        _mm_storeu_ps(u + 2 * k, _mm_unpacklo_ps(l, h));
        _mm_storeu_ps(u + 2 * k + 4, _mm_unpackhi_ps(l, h));
    }
    for (; k < half; ++k) {
        u[2 * k] = low[k];
        u[2 * k + 1] = high[k];
    }
}

inline void padLine(float* u, int n) {
    for (int j = 1; j <= kPad; ++j) {
        u[-j] = u[reflect(-j, n)];
        u[n - 1 + j] = u[reflect(n - 1 + j, n)];
    }
}

template <class K>
[[gnu::always_inline]] inline void synthesisBody(float* plane, float* work, float* result,
                                                 int width, int height, int stride) {
    // Along x, two outputs (2m, 2m + 1) at a time from the nine columns at u index 2m - 3 ...
    // 2m + 5 (low columns at even u index, high ones at odd), in ascending tap order.
    const int halfW = width / 2;
    double e[7], o[9];
    for (int k = 0; k < 7; ++k)
        e[k] = kTaps.synthEven[k + 1];
    for (int k = 0; k < 9; ++k)
        o[k] = kTaps.synthOdd[k];
    auto sources = [&](int m, int count, const float** src) {
        for (int k = 0; k < count; ++k) {
            const int s = reflect(2 * m - 3 + k, width);
            const int column = (s & 1) == 0 ? s / 2 : halfW + s / 2;
            src[k] = plane + static_cast<long>(column) * stride;
        }
    };
    const int halfH = height / 2;
    // Which 8-row blocks of the high columns hold data.
    std::uint64_t dense[kMaxLine / 2];
    K::highBlocks(plane + static_cast<long>(halfW) * stride, halfW, height, stride, dense);
    int m = 0;
    for (; m + 2 <= halfW; m += 2) {
        const float* src[11];
        sources(m, 11, src);
        std::uint64_t highDense = 0;
        for (int k = 0; k < 11; k += 2)
            highDense |= dense[reflect(2 * m - 3 + k, width) / 2];
        float* out[4];
        for (int i = 0; i < 4; ++i)
            out[i] = work + static_cast<long>(2 * m + i) * stride;
        K::quad(src, e, o, out, height, highDense);
        // With a result apart from the plane, the four columns go along y at once, while
        // they are in the first-level cache.
        if (result)
            for (int x = 2 * m; x < 2 * m + 4; ++x)
                K::synthesisColumn(work + static_cast<long>(x) * stride, halfH,
                                   result + static_cast<long>(x) * stride);
    }
    if (m < halfW) {
        const float* src[9];
        sources(m, 9, src);
        K::pair(src, e, o, work + static_cast<long>(2 * m) * stride,
                work + static_cast<long>(2 * m + 1) * stride, height);
        if (result)
            for (int x = 2 * m; x < 2 * m + 2; ++x)
                K::synthesisColumn(work + static_cast<long>(x) * stride, halfH,
                                   result + static_cast<long>(x) * stride);
    }
    if (!result)
        for (int x = 0; x < width; ++x)
            K::synthesisColumn(work + static_cast<long>(x) * stride, halfH,
                               plane + static_cast<long>(x) * stride);
}

void ScalarKernels::synthesisColumn(const float* col, int half, float* out) {
    float line[kMaxLine + 2 * kPad + 8];
    float* u = line + kPad;
    interleave(col, col + half, half, u);
    padLine(u, 2 * half);
    ScalarKernels::line(line, kTaps.synthEven, kTaps.synthOdd, out, 2 * half);
}

template <class K>
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
        K::columns(c, work + static_cast<long>(column) * stride, height);
    }
    const int halfH = height / 2;
    float line[kMaxLine + 2 * kPad + 8];
    float out[kMaxLine + 8];
    float* u = line + kPad;
    for (int x = 0; x < width; ++x) {
        const float* col = work + static_cast<long>(x) * stride;
        std::memcpy(u, col, sizeof(float) * static_cast<std::size_t>(height));
        padLine(u, height);
        K::line(line, kTaps.analysisLow, kTaps.analysisHigh, out, height);
        float* dst = plane + static_cast<long>(x) * stride;
        for (int k = 0; k < halfH; ++k) {
            dst[k] = out[2 * k];
            dst[halfH + k] = out[2 * k + 1];
        }
    }
}

__attribute__((target("avx2,fma"))) void synthesisAvx2(float* plane, float* work, float* result,
                                                       int width, int height, int stride) {
    synthesisBody<Avx2Kernels>(plane, work, result, width, height, stride);
}
KV_AVX512 void synthesisAvx512(float* plane, float* work, float* result, int width, int height,
                               int stride) {
    synthesisBody<Avx512Kernels>(plane, work, result, width, height, stride);
}
KV_AVX512_END
void synthesisBaseline(float* plane, float* work, float* result, int width, int height,
                       int stride) {
    synthesisBody<ScalarKernels>(plane, work, result, width, height, stride);
}
__attribute__((target("avx2,fma"))) void analysisAvx2(float* plane, float* work, int width,
                                                      int height, int stride) {
    analysisBody<Avx2Kernels>(plane, work, width, height, stride);
}
void analysisBaseline(float* plane, float* work, int width, int height, int stride) {
    analysisBody<ScalarKernels>(plane, work, width, height, stride);
}

} // namespace

bool cpuHasAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}

bool cpuHasAvx512() {
    static const bool yes =
        cpuHasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    return yes;
}

void synthesisLevel(float* plane, float* work, int width, int height, int stride, bool vector,
                    bool wide) {
    synthesisLevelTo(plane, work, nullptr, width, height, stride, vector, wide);
}

void synthesisLevelTo(float* plane, float* work, float* result, int width, int height, int stride,
                      bool vector, bool wide) {
    if (width < 2 || height < 2 || width > kMaxLine || height > kMaxLine)
        return;
    if (vector && wide && cpuHasAvx512())
        synthesisAvx512(plane, work, result, width, height, stride);
    else if (vector && cpuHasAvx2())
        synthesisAvx2(plane, work, result, width, height, stride);
    else
        synthesisBaseline(plane, work, result, width, height, stride);
}

void analysisLevel(float* plane, float* work, int width, int height, int stride, bool vector) {
    if (width < 2 || height < 2 || width > kMaxLine || height > kMaxLine)
        return;
    if (vector && cpuHasAvx2())
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
