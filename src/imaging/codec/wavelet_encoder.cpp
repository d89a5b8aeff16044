// Encoding: colour conversion, four analysis levels, quantisation, run/escape symbols, one
// Huffman code per plane and the rate control that picks each plane's scale.
//
// Rate control: the target stream size is split among the planes 4 : 1 : 1 (Y, Cb, Cr; each
// at least 3000 bytes, a colour plane's rise to 3000 taken from the luminance's share). For each
// plane the coded size of a scale is computed exactly (the plane's code is built from the trial's
// symbol counts, and every level section is rounded to whole bytes as written). Two trial scales
// are tried - a fixed first guess and the guess moved in proportion to its size error - and a
// least-squares line through log(size) against log(scale) of the trials nearest the target gives
// the next scale. Up to four further trials refine it until a size lies within 2 % of the target;
// the scale taken is the one whose size is closest to the target without exceeding it by more than
// 2 %. Scales are whole numbers, because the stream carries Q truncated and the decoder multiplies
// by Q.

#include "imaging/codec/codec_impl.h"
#include "imaging/codec/huffman.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/codec/wavelet_transform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace kv::codec {

using namespace detail;

namespace {

constexpr int kSections = 5; // levels 4 (lowest band), 3, 2, 1, 0
constexpr double kTolerance = 0.02;
constexpr int kMaxTrials = 6;
constexpr double kMinScale = 1.0;
constexpr double kMaxScale = 32767.0;
constexpr double kPlaneShare[3] = {4.0 / 6.0, 1.0 / 6.0, 1.0 / 6.0};
constexpr std::size_t kMinPlaneBytes = 3000;
constexpr std::size_t kHeaderBytes = 6;
// Marker, letter, step pairs, Q, mean, counts, checksum, and five level sections' marker,
// level number and checksum.
constexpr std::size_t kSegmentOverhead = 2 + 2 + 16 + 2 + 2 + 16 + 2 + kSections * 6;

double bandStep(int level, int band, double scale) {
    if (level == 4)
        return 1.0 * scale;
    return (band == 2 ? kDiagonalWeight[level] : kMixedWeight[level]) * scale;
}

using D4 = double __attribute__((vector_size(32)));
using L4 = long long __attribute__((vector_size(32)));
using I4 = int __attribute__((vector_size(16)));
using F4 = float __attribute__((vector_size(16)));

// q = coefficient / step rounded half away from zero (0.5 added to positive values, subtracted
// from zero and negative ones, then truncated), held to the 16-bit magnitude an escape carries.
// Adding 0.5 with the sign of the quotient is the same rule without a branch (zero gives 0
// either way).
inline int quantise(float coefficient, double step) {
    double d = static_cast<double>(coefficient) / step;
    d += std::copysign(0.5, d);
    d = d >= -65535.0 ? d : -65535.0;
    d = d <= 65535.0 ? d : 65535.0;
    return static_cast<int>(d);
}

[[gnu::always_inline]] inline void quantiseRunBody(const float* src, int n, double step, int* dst) {
    const D4 half = {0.5, 0.5, 0.5, 0.5};
    const D4 lo = {-65535.0, -65535.0, -65535.0, -65535.0};
    const D4 hi = {65535.0, 65535.0, 65535.0, 65535.0};
    const L4 sign = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        F4 f;
        std::memcpy(&f, src + i, sizeof f);
        D4 d = __builtin_convertvector(f, D4) / step;
        d = d + (D4)((L4)half | ((L4)d & sign));
        const L4 below = ~(d >= lo); // also catches NaN
        d = (D4)(((L4)d & ~below) | ((L4)lo & below));
        const L4 above = d > hi;
        d = (D4)(((L4)d & ~above) | ((L4)hi & above));
        const I4 q = __builtin_convertvector(d, I4);
        std::memcpy(dst + i, &q, sizeof q);
    }
    for (; i < n; ++i)
        dst[i] = quantise(src[i], step);
}

__attribute__((target("avx2"))) void quantiseRunAvx2(const float* src, int n, double step,
                                                     int* dst) {
    quantiseRunBody(src, n, step, dst);
}
void quantiseRunBaseline(const float* src, int n, double step, int* dst) {
    quantiseRunBody(src, n, step, dst);
}
void quantiseRun(const float* src, int n, double step, int* dst, bool vector) {
    if (vector && cpuHasAvx2())
        quantiseRunAvx2(src, n, step, dst);
    else
        quantiseRunBaseline(src, n, step, dst);
}

// The band's quantised values in scan order: columns left to right, even columns upwards,
// odd ones downwards.
int scanBand(const float* plane, const Band& band, double step, int* out, bool vector) {
    int k = 0;
    for (int x = band.x; x < band.x + band.w; ++x) {
        const float* col = plane + static_cast<std::size_t>(x) * kStride + band.y;
        quantiseRun(col, band.h, step, out + k, vector);
        if ((x & 1) != 0)
            std::reverse(out + k, out + k + band.h);
        k += band.h;
    }
    return k;
}

// Zero runs and values as symbols: emit(symbol, extra value, extra bit count).
template <class Emit>
void emitRun(int run, Emit& emit) {
    if (run == 0)
        return;
    if (run == 1)
        emit(180u, 0u, 0);
    else if (run <= 101)
        emit(static_cast<unsigned>(run - 2), 0u, 0);
    else if (run <= 255)
        emit(104u, static_cast<unsigned>(run), 8);
    else
        emit(105u, static_cast<unsigned>(run), 16);
}

template <class Emit>
void symbolise(const int* q, int n, Emit& emit) {
    int run = 0;
    for (int k = 0; k < n; ++k) {
        const int v = q[k];
        if (v == 0) {
            ++run;
            continue;
        }
        emitRun(run, emit);
        run = 0;
        if (v >= -74 && v <= 75)
            emit(static_cast<unsigned>(180 + v), 0u, 0);
        else if (v > 0)
            emit(v < 256 ? 100u : 101u, static_cast<unsigned>(v), v < 256 ? 8 : 16);
        else
            emit(v >= -255 ? 102u : 103u, static_cast<unsigned>(-v), v >= -255 ? 8 : 16);
    }
    emitRun(run, emit);
}

// Walks the plane's sections in stream order; for each band calls emit with its symbols.
// section(level) is called before each level's bands.
template <class Section, class Emit>
void codePlane(const float* plane, double scale, bool reduced, int* scan, bool vector,
               Section&& section, Emit&& emit) {
    for (int level = 4; level >= 0; --level) {
        section(level);
        const int bands = level == 4 ? 1 : 3;
        for (int b = 0; b < bands; ++b) {
            const Band band = level == 4 ? lowestBand() : detailBand(level, b);
            if (reduced && level == 0) {
                emitRun(band.w * band.h, emit);
                continue;
            }
            const int n = scanBand(plane, band, bandStep(level, b, scale), scan, vector);
            symbolise(scan, n, emit);
        }
    }
}

struct PlaneStats {
    std::array<std::array<std::uint32_t, 256>, kSections> frequency{};
    std::array<std::uint64_t, kSections> extraBits{};
};

PlaneStats collectStats(const float* plane, double scale, bool reduced, int* scan, bool vector) {
    PlaneStats stats;
    int section = 0;
    codePlane(
        plane, scale, reduced, scan, vector, [&](int level) { section = 4 - level; },
        [&](unsigned symbol, unsigned, int bits) {
            ++stats.frequency[section][symbol];
            stats.extraBits[section] += static_cast<unsigned>(bits);
        });
    return stats;
}

struct PlaneCode {
    HuffmanTable table;
    std::array<std::uint16_t, 256> codes{};
    std::array<std::uint8_t, 256> lengths{};
    std::size_t bytes = 0; // the segment's size, padded to even
};

PlaneCode makeCode(const PlaneStats& stats) {
    std::array<std::uint32_t, 256> total{};
    for (const auto& f : stats.frequency)
        for (int s = 0; s < 256; ++s)
            total[s] += f[s];
    PlaneCode code;
    code.table = buildOptimalCode(total);
    assignCodes(code.table.counts.data(), code.table.symbols.data(), code.table.symbolCount,
                code.codes, code.lengths);
    std::size_t bytes = kSegmentOverhead + static_cast<std::size_t>(code.table.symbolCount);
    for (int section = 0; section < kSections; ++section) {
        std::uint64_t bits = stats.extraBits[section];
        for (int s = 0; s < 256; ++s)
            bits += static_cast<std::uint64_t>(stats.frequency[section][s]) * code.lengths[s];
        bytes += static_cast<std::size_t>((bits + 7) / 8);
    }
    code.bytes = bytes + (bytes & 1);
    return code;
}

// Bytes with the running checksum of the stream format.
struct StreamWriter {
    Bytes& out;
    std::uint16_t sum = 0;

    void marker(std::uint16_t v) {
        appendLe16(out, v);
        sum = 0;
    }
    void byte(std::uint8_t v) {
        out.push_back(v);
        sum = static_cast<std::uint16_t>(sum + v);
    }
    void u16(std::uint16_t v) {
        byte(static_cast<std::uint8_t>(v));
        byte(static_cast<std::uint8_t>(v >> 8));
    }
    void checksum() { appendLe16(out, sum); }
};

// Most significant bit first; the last byte is filled with zero bits.
struct BitWriter {
    StreamWriter& w;
    std::uint64_t acc = 0;
    int count = 0;

    void put(std::uint32_t value, int bits) {
        acc = (acc << bits) | value;
        count += bits;
        while (count >= 8) {
            count -= 8;
            w.byte(static_cast<std::uint8_t>(acc >> count));
        }
    }
    void flush() {
        if (count > 0)
            w.byte(static_cast<std::uint8_t>(acc << (8 - count)));
        count = 0;
        acc = 0;
    }
};

std::uint16_t truncatedU16(double v) {
    return static_cast<std::uint16_t>(std::clamp(std::trunc(v), 0.0, 65535.0));
}
std::int16_t roundedI16(double v) {
    const double r = v > 0.0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
    return static_cast<std::int16_t>(std::clamp(r, -32768.0, 32767.0));
}

void writeSegment(Bytes& out, int c, const float* plane, double scale, double mean, bool reduced,
                  int* scan, bool vector) {
    const PlaneCode code = makeCode(collectStats(plane, scale, reduced, scan, vector));
    StreamWriter w{out};
    w.marker(5);
    w.u16(kChannelLetter[c]);
    for (int level = 0; level < 4; ++level) {
        w.u16(truncatedU16(kMixedWeight[level] * scale));
        w.u16(truncatedU16(kDiagonalWeight[level] * scale));
    }
    w.u16(static_cast<std::uint16_t>(
        static_cast<std::int16_t>(std::clamp(std::trunc(scale), -32768.0, 32767.0))));
    w.u16(static_cast<std::uint16_t>(roundedI16(mean)));
    for (std::uint8_t count : code.table.counts)
        w.byte(count);
    for (int i = 0; i < code.table.symbolCount; ++i)
        w.byte(code.table.symbols[i]);
    w.checksum();

    BitWriter bits{w};
    bool open = false;
    codePlane(
        plane, scale, reduced, scan, vector,
        [&](int level) {
            if (open) {
                bits.flush();
                w.checksum();
            }
            w.marker(4);
            w.u16(static_cast<std::uint16_t>(level));
            open = true;
        },
        [&](unsigned symbol, unsigned extra, int extraBits) {
            bits.put(code.codes[symbol], code.lengths[symbol]);
            if (extraBits > 0)
                bits.put(extra, extraBits);
        });
    bits.flush();
    w.checksum();
    if (out.size() % 2 == 1)
        out.push_back(0);
}

// The forward colour conversion: the inverse of the decoder's YCbCr -> RGB matrix.
struct ForwardColour {
    double m[3][3];
    ForwardColour() {
        const double a[3][3] = {{1.0, 0.0, 1.402}, {1.0, -0.3441, -0.7141}, {1.0, 1.772, 0.0}};
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const int r0 = (j + 1) % 3, r1 = (j + 2) % 3;
                const int c0 = (i + 1) % 3, c1 = (i + 2) % 3;
                m[i][j] = (a[r0][c0] * a[r1][c1] - a[r0][c1] * a[r1][c0]) / det;
            }
    }
};

} // namespace

std::size_t defaultTargetBytes(int quality) {
    switch (quality) {
    case kQualityStandard:
        return 24000;
    case kQualityCine:
        return 16000;
    default:
        return 48000;
    }
}

Bytes cameraNoteSection(int quality) {
    return {0x03, 0x03, 'K', 'V', 'Q', static_cast<std::uint8_t>(quality & 0xFF), 0x04, 0x04};
}

void TransformLevel(int direction, float* plane, float* work, int width, int height, int stride) {
    if (direction == 1)
        synthesisLevel(plane, work, width, height, stride);
    else
        analysisLevel(plane, work, width, height, stride);
}

void WaveletCodec::analyse(bool reduced) {
    Impl& s = *impl_;
    for (int c = 0; c < 3; ++c) {
        float* plane = s.plane(c);
        for (int level = 0; level < kLevels; ++level)
            analysisLevel(plane, s.work.data(), kWidth >> level, kHeight >> level, kStride,
                          s.vector);
        if (reduced) {
            // The reduced rebuild stops at the 240 x 200 low band, which is the picture at
            // twice its level (two low-pass gains of sqrt 2): halve what it is built from.
            for (int x = 0; x < kWidth / 2; ++x)
                for (int y = 0; y < kHeight / 2; ++y)
                    plane[static_cast<std::size_t>(x) * kStride + y] *= 0.5f;
        }
    }
}

Bytes WaveletCodec::writeStream(const std::array<double, 3>& means,
                                const std::array<double, 3>& scales, bool reduced) {
    Impl& s = *impl_;
    Bytes out;
    out.reserve(65536);
    StreamWriter header{out};
    header.marker(6);
    header.byte(3);
    header.byte(0);
    header.checksum();
    for (int c : kStreamPlaneOrder)
        // Rounded first: the stream carries a whole scale and the decoder's steps come from it.
        writeSegment(out, c, s.plane(c), std::clamp(std::round(scales[c]), kMinScale, kMaxScale),
                     means[c], reduced, s.scan.data(), s.vector);
    return out;
}

Bytes WaveletCodec::EncodePicture(const std::array<double, 3>& means,
                                  const std::array<double, 3>& scales, bool reduced) {
    analyse(reduced);
    return writeStream(means, scales, reduced);
}

void WaveletCodec::loadRgb(std::span<const std::uint8_t> rgb, std::array<double, 3>& means) {
    static const ForwardColour forward;
    Impl& s = *impl_;
    float* py = s.plane(0);
    float* pb = s.plane(1);
    float* pr = s.plane(2);
    // Each byte stands for the middle of the values that convert back to it; the luminance is
    // raised by half a tone-map step and scaled by 24576 / 32768, so that the decoder's white
    // level stays at its floor of 24576 and its tone map returns the original levels.
    constexpr double kToValue = 1.0 / 0.007794427;
    constexpr double kHalfToneStep = 0.5 * 32768.0 / 999.0;
    constexpr double kLumaScale = 24576.0 / 32768.0;
    std::array<double, 3> sums{};
    for (int r = 0; r < kHeight; ++r) {
        const std::uint8_t* row = rgb.data() + static_cast<std::size_t>(r) * kWidth * 3;
        const int y = kHeight - 1 - r;
        for (int x = 0; x < kWidth; ++x) {
            const double R = (row[3 * x] + 0.5) * kToValue;
            const double G = (row[3 * x + 1] + 0.5) * kToValue;
            const double B = (row[3 * x + 2] + 0.5) * kToValue;
            const std::size_t i = static_cast<std::size_t>(x) * kStride + y;
            const double Y = forward.m[0][0] * R + forward.m[0][1] * G + forward.m[0][2] * B;
            py[i] = static_cast<float>((Y + kHalfToneStep) * kLumaScale);
            pb[i] =
                static_cast<float>(forward.m[1][0] * R + forward.m[1][1] * G + forward.m[1][2] * B);
            pr[i] =
                static_cast<float>(forward.m[2][0] * R + forward.m[2][1] * G + forward.m[2][2] * B);
            sums[0] += py[i];
            sums[1] += pb[i];
            sums[2] += pr[i];
        }
    }
    // The stream carries the mean in units of 32: remove exactly what the decoder adds back,
    // so the remainder stays in the lowest band.
    for (int c = 0; c < 3; ++c) {
        means[c] = roundedI16(sums[c] / static_cast<double>(kPlaneValues) / 32.0);
        const float removed = static_cast<float>(means[c] * 32.0);
        float* p = s.plane(c);
        for (std::size_t i = 0; i < kPlaneValues; ++i)
            p[i] -= removed;
    }
}

double WaveletCodec::searchScale(int c, std::size_t target, bool reduced, int& trials) {
    Impl& s = *impl_;
    const float* plane = s.plane(c);
    std::vector<std::pair<double, std::size_t>> tried; // scale, segment bytes
    auto trial = [&](double scale) {
        ++trials;
        const std::size_t bytes =
            makeCode(collectStats(plane, scale, reduced, s.scan.data(), s.vector)).bytes;
        tried.emplace_back(scale, bytes);
        return bytes;
    };
    auto clampScale = [](double v) { return std::clamp(std::round(v), kMinScale, kMaxScale); };
    auto closeEnough = [&](std::size_t bytes) {
        return std::fabs(static_cast<double>(bytes) - static_cast<double>(target)) <=
               kTolerance * static_cast<double>(target);
    };
    const double t = static_cast<double>(target);

    const double first = c == 0 ? 48.0 : 64.0;
    const std::size_t firstBytes = trial(first);
    if (!closeEnough(firstBytes)) {
        // Size falls roughly as 1 / scale: move the guess in proportion to its error.
        double second = clampScale(first * static_cast<double>(firstBytes) / t);
        if (second == first)
            second = clampScale(firstBytes > target ? first + 1 : first - 1);
        if (second != first) {
            std::size_t bytes = trial(second);
            while (!closeEnough(bytes) && static_cast<int>(tried.size()) < kMaxTrials) {
                // Least-squares line of log size on log scale through the two trials nearest
                // the target; its crossing of the target is the next scale.
                std::vector<std::pair<double, std::size_t>> near = tried;
                std::sort(near.begin(), near.end(), [&](const auto& a, const auto& b) {
                    return std::fabs(std::log(a.second / t)) < std::fabs(std::log(b.second / t));
                });
                near.resize(2);
                double sx = 0, sy = 0, sxx = 0, sxy = 0;
                for (const auto& [scale, size] : near) {
                    const double lx = std::log(scale), ly = std::log(static_cast<double>(size));
                    sx += lx;
                    sy += ly;
                    sxx += lx * lx;
                    sxy += lx * ly;
                }
                const double n = static_cast<double>(near.size());
                const double denominator = n * sxx - sx * sx;
                double slope = denominator != 0.0 ? (n * sxy - sx * sy) / denominator : -1.0;
                if (!(slope < -0.05))
                    slope = -1.0;
                const double intercept = (sy - slope * sx) / n;
                const double next = clampScale(std::exp((std::log(t) - intercept) / slope));
                if (std::any_of(tried.begin(), tried.end(),
                                [&](const auto& p) { return p.first == next; }))
                    break;
                bytes = trial(next);
            }
        }
    }
    // The size closest to the target that does not pass it by more than the tolerance; when
    // every trial is too large, the coarsest scale tried.
    const double limit = t * (1.0 + kTolerance);
    double best = 0.0;
    std::size_t bestBytes = 0;
    for (const auto& [scale, bytes] : tried)
        if (static_cast<double>(bytes) <= limit && bytes > bestBytes) {
            best = scale;
            bestBytes = bytes;
        }
    if (best == 0.0)
        for (const auto& p : tried)
            best = std::max(best, p.first);
    return best;
}

Bytes WaveletCodec::encodeRgb(std::span<const std::uint8_t> rgb, const EncodeOptions& options,
                              EncodeReport* report) {
    if (rgb.size() < kRgbBytes)
        return {};
    const bool reduced = options.quality == kQualityStandard;
    const std::size_t target =
        options.targetBytes != 0 ? options.targetBytes : defaultTargetBytes(options.quality);
    std::array<double, 3> means{};
    loadRgb(rgb, means);
    analyse(reduced);
    const double budget =
        static_cast<double>(target > kHeaderBytes ? target - kHeaderBytes : std::size_t{0});
    // Shares of the budget, at least 3000 bytes each; when a colour plane is raised to its
    // minimum the luminance gives up the difference, so the total still meets the target.
    std::array<std::size_t, 3> planeTargets{};
    for (int c = 0; c < 3; ++c)
        planeTargets[c] =
            std::max(kMinPlaneBytes, static_cast<std::size_t>(budget * kPlaneShare[c]));
    const double raised = static_cast<double>(planeTargets[1] + planeTargets[2]) -
                          budget * (kPlaneShare[1] + kPlaneShare[2]);
    planeTargets[0] = std::max(
        kMinPlaneBytes, static_cast<std::size_t>(std::max(0.0, budget * kPlaneShare[0] - raised)));
    std::array<double, 3> scales{};
    int trials = 0;
    for (int c = 0; c < 3; ++c)
        scales[c] = searchScale(c, planeTargets[c], reduced, trials);
    Bytes stream = writeStream(means, scales, reduced);
    if (report) {
        report->bytes = stream.size();
        report->targetBytes = target;
        report->scales = scales;
        report->trials = trials;
    }
    return stream;
}

Bytes WaveletCodec::encodeCameraPicture(std::span<const std::uint8_t> rgb,
                                        const EncodeOptions& options, EncodeReport* report) {
    Bytes stream = encodeRgb(rgb, options, report);
    if (stream.empty())
        return {};
    Bytes data = cameraNoteSection(options.quality);
    data.insert(data.end(), stream.begin(), stream.end());
    return data;
}

WaveletCodec::WaveletCodec() : impl_(std::make_unique<Impl>()) {}

void WaveletCodec::useKernels(Kernels kernels) {
    impl_->vector = kernels != Kernels::Portable;
    impl_->wide = kernels == Kernels::Widest;
}
WaveletCodec::~WaveletCodec() = default;

std::span<float> WaveletCodec::plane(int index) {
    return {impl_->plane(std::clamp(index, 0, 2)), kPlaneValues};
}
std::span<const float> WaveletCodec::plane(int index) const {
    return {impl_->plane(std::clamp(index, 0, 2)), kPlaneValues};
}

} // namespace kv::codec
