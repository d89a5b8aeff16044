// Decoding: stream parsing with its running checksums, table-driven symbol decoding straight
// into the coefficient planes, the inverse transform and the conversion to RGB bytes.

#include "imaging/codec/codec_impl.h"
#include "imaging/codec/huffman.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/codec/wavelet_transform.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace kv::codec {

using namespace detail;

namespace {

#ifdef KV_FUZZ_NO_CHECKSUM
constexpr bool kCheckSums = false; // let fuzzed streams reach the symbol decoder
#else
constexpr bool kCheckSums = true;
#endif

inline std::uint64_t loadBe64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

// Sum of bytes (modulo 2^32, of which the checksum keeps the low 16 bits), 16 at a time.
std::uint32_t byteSum(const std::uint8_t* p, std::size_t n) {
    __m128i acc = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        acc = _mm_add_epi64(acc,
                            _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)),
                                         _mm_setzero_si128()));
    std::uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), acc);
    std::uint64_t sum = halves[0] + halves[1];
    for (; i < n; ++i)
        sum += p[i];
    return static_cast<std::uint32_t>(sum);
}

// Byte-level reads of the stream with the running checksum.
struct ByteReader {
    const std::uint8_t* data;
    std::size_t length;
    std::size_t pos = 0;
    std::uint16_t sum = 0;

    bool byte(std::uint8_t& v) {
        if (pos >= length)
            return false;
        v = data[pos++];
        sum = static_cast<std::uint16_t>(sum + v);
        return true;
    }
    bool u16(std::uint16_t& v) {
        std::uint8_t lo, hi;
        if (!byte(lo) || !byte(hi))
            return false;
        v = static_cast<std::uint16_t>(lo | (hi << 8));
        return true;
    }
    bool skip(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t ignored;
            if (!byte(ignored))
                return false;
        }
        return true;
    }
    // Markers and checksums are not summed; a marker starts a new sum.
    bool raw16(std::uint16_t& v) {
        if (length - pos < 2 || pos > length)
            return false;
        v = static_cast<std::uint16_t>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return true;
    }
    bool marker(std::uint16_t& v) {
        if (!raw16(v))
            return false;
        sum = 0;
        return true;
    }
    // Reads a checksum; error is PastEnd or Checksum, None when it matches.
    DecodeError checksum() {
        std::uint16_t stored;
        if (!raw16(stored))
            return DecodeError::PastEnd;
        if (kCheckSums && stored != sum)
            return DecodeError::Checksum;
        return DecodeError::None;
    }
};

// Decodes one band of coded coefficients from the bit position bitPos, in serpentine order,
// writing value x step into the plane. wholeRun is set when the band is one run of zeros.
DecodeError decodeBand(const std::uint8_t* buf, std::uint64_t& bitPos, std::uint64_t endBits,
                       const std::uint16_t* fast, const std::uint8_t* lookup,
                       const std::uint8_t* lengths, float* plane, const Band& band, float step,
                       bool& wholeRun) {
    const int total = band.w * band.h;
    int remaining = total;
    int x = band.x;
    int left = band.h;
    long idx = static_cast<long>(x) * kStride + band.y;
    int dir = 1;
    auto nextColumn = [&] {
        ++x;
        left = band.h;
        if ((x & 1) == 0) {
            idx = static_cast<long>(x) * kStride + band.y;
            dir = 1;
        } else {
            idx = static_cast<long>(x) * kStride + band.y + band.h - 1;
            dir = -1;
        }
    };
    if ((x & 1) != 0) {
        --x;
        nextColumn();
    }
    // The next bits of the stream from the top bit of bits down, count of them valid; next is
    // the first byte not yet wholly in bits. A refill before each symbol leaves 56 to 63 bits,
    // enough for a code and its extra bits, and its load does not wait on the symbol before
    // (only its shift does), unlike a load from the bit position.
    const std::uint8_t* next = buf + (bitPos >> 3);
    std::uint64_t bits = 0;
    unsigned count = 0;
    auto refill = [&] {
        bits |= loadBe64(next) >> count;
        next += (63 - count) >> 3;
        count |= 56;
    };
    auto consume = [&](unsigned n) {
        bits <<= n;
        count -= n;
    };
    refill();
    consume(static_cast<unsigned>(bitPos & 7));
    bool first = true;
    wholeRun = false;
    while (remaining > 0) {
        refill();
        const std::uint64_t window = bits;
        const unsigned entry = fast[window >> (64 - kFastBits)];
        unsigned symbol, length;
        if (entry != 0) {
            symbol = entry & 0xFF;
            length = entry >> 8;
        } else {
            symbol = lookup[window >> 48];
            length = lengths[symbol];
        }
        consume(length);
        std::uint32_t run = 0;
        float value = 0.0f;
        bool isRun;
        if (symbol >= 106) {
            value = static_cast<float>(static_cast<int>(symbol) - 180) * step;
            isRun = false;
        } else if (symbol < 100) {
            run = symbol + 2;
            isRun = true;
        } else {
            const unsigned extra = (symbol & 1) ? 16 : 8;
            const auto e = static_cast<std::uint32_t>(bits >> (64 - extra));
            consume(extra);
            isRun = symbol >= 104;
            if (isRun)
                run = e;
            else if (symbol <= 101)
                value = static_cast<float>(static_cast<int>(e)) * step;
            else
                value = static_cast<float>(-static_cast<int>(e)) * step;
        }
        if (static_cast<std::uint64_t>(next - buf) * 8 - count > endBits)
            return DecodeError::PastEnd;
        if (!isRun) {
            plane[idx] = value;
            idx += dir;
            --remaining;
            if (--left == 0)
                nextColumn();
        } else {
            if (run > static_cast<std::uint32_t>(remaining))
                return DecodeError::RunPastBand;
            if (first && static_cast<int>(run) == total)
                wholeRun = true;
            remaining -= static_cast<int>(run);
            int n = static_cast<int>(run);
            while (n > 0) {
                const int m = std::min(n, left);
                // All bits zero is +0.0f; memset stays one call in instrumented builds too.
                const auto bytes = sizeof(float) * static_cast<std::size_t>(m);
                if (dir > 0) {
                    std::memset(plane + idx, 0, bytes);
                    idx += m;
                } else {
                    std::memset(plane + idx - m + 1, 0, bytes);
                    idx -= m;
                }
                n -= m;
                left -= m;
                if (left == 0)
                    nextColumn();
            }
        }
        first = false;
    }
    bitPos = static_cast<std::uint64_t>(next - buf) * 8 - count;
    return DecodeError::None;
}

} // namespace

DecodeError WaveletCodec::DecodeStream(ByteSpan stream, int& reducedFlag) {
    Impl& s = *impl_;
    // A private copy with zero padding lets the bit reader look ahead 8 bytes anywhere up to
    // the end without a bounds test per symbol; consumption is checked against the length.
    const std::size_t length = stream.size();
    if (s.stream.size() < length + kStreamPadding)
        s.stream.resize(length + kStreamPadding);
    if (length > 0)
        std::memcpy(s.stream.data(), stream.data(), length);
    std::memset(s.stream.data() + length, 0, kStreamPadding);
    const std::uint8_t* buf = s.stream.data();

    ByteReader r{buf, length};
    std::uint16_t word;
    if (!r.marker(word))
        return DecodeError::PastEnd;
    if (word != 6)
        return DecodeError::StreamMarker;
    std::uint8_t major, minor;
    if (!r.byte(major) || !r.byte(minor))
        return DecodeError::PastEnd;
    if (major != 3 || minor != 0)
        return DecodeError::Version;
    if (auto e = r.checksum(); e != DecodeError::None)
        return e;

    int wholeRunBands = 0;
    for (int segment = 0; segment < 3; ++segment) {
        const int c = kStreamPlaneOrder[segment];
        if (!r.marker(word))
            return DecodeError::PastEnd;
        if (word != 5)
            return DecodeError::ChannelMarker;
        std::uint16_t q, mean;
        if (!r.skip(2 + 16) || !r.u16(q) || !r.u16(mean))
            return DecodeError::PastEnd;
        std::uint8_t counts[16];
        int symbolCount = 0;
        for (auto& count : counts) {
            if (!r.byte(count))
                return DecodeError::PastEnd;
            symbolCount += count;
        }
        std::uint8_t symbols[16 * 255];
        for (int i = 0; i < symbolCount; ++i)
            if (!r.byte(symbols[i]))
                return DecodeError::PastEnd;
        if (auto e = r.checksum(); e != DecodeError::None)
            return e;

        const double scale = static_cast<std::int16_t>(q);
        float steps[9];
        for (int level = 0; level < 4; ++level) {
            steps[2 * level] = static_cast<float>(kMixedWeight[level] * scale);
            steps[2 * level + 1] = static_cast<float>(kDiagonalWeight[level] * scale);
        }
        steps[8] = static_cast<float>(1.0 * scale);
        means_[c] = static_cast<std::int16_t>(mean) * 32.0;
        buildLookup(counts, symbols, symbolCount, s.lookup.data(), s.lengths);
        buildFastLookup(s.lookup.data(), s.lengths, s.fast.data());

        float* plane = s.plane(c);
        for (int level = 4; level >= 0; --level) {
            if (!r.marker(word))
                return DecodeError::PastEnd;
            if (word != 4)
                return DecodeError::LevelMarker;
            if (!r.u16(word))
                return DecodeError::PastEnd;
            if (word != level)
                return DecodeError::LevelNumber;
            const std::size_t start = r.pos;
            std::uint64_t bitPos = static_cast<std::uint64_t>(start) * 8;
            const std::uint64_t endBits = static_cast<std::uint64_t>(length) * 8;
            const int bandCount = level == 4 ? 1 : 3;
            for (int b = 0; b < bandCount; ++b) {
                const Band band = level == 4 ? lowestBand() : detailBand(level, b);
                const float step = level == 4 ? steps[8] : steps[2 * level + (b == 2 ? 1 : 0)];
                bool wholeRun = false;
                if (auto e = decodeBand(buf, bitPos, endBits, s.fast.data(), s.lookup.data(),
                                        s.lengths.data(), plane, band, step, wholeRun);
                    e != DecodeError::None)
                    return e;
                if (level == 0 && wholeRun)
                    ++wholeRunBands;
            }
            // Every byte the bit reader loaded counts towards the section's checksum, which
            // starts at the next whole byte.
            const std::size_t end = static_cast<std::size_t>((bitPos + 7) / 8);
            r.sum = static_cast<std::uint16_t>(r.sum + byteSum(buf + start, end - start));
            r.pos = end;
            if (auto e = r.checksum(); e != DecodeError::None)
                return e;
        }
        if (r.pos % 2 == 1 && !r.skip(1))
            return DecodeError::PastEnd;
    }
    if (wholeRunBands == 9)
        reducedFlag = 1;
    return DecodeError::None;
}

void WaveletCodec::InverseTransform(int startLevel, bool reduced) {
    Impl& s = *impl_;
    startLevel = std::clamp(startLevel, 0, kLevels - 1);
    const int lastLevel = reduced ? 1 : 0;
    for (int c = 0; c < 3; ++c) {
        float* plane = s.plane(c);
        for (int level = startLevel; level >= lastLevel; --level)
            synthesisLevel(plane, s.work.data(), kWidth >> level, kHeight >> level, kStride,
                           s.vector, s.wide);
        if (reduced)
            interpolateTwice(plane, s.work.data(), kWidth / 2, kHeight / 2, kStride);
    }
}

namespace {

// Luminance tone map and colour conversion of one column, in the arithmetic of the stream's
// producer: plane value plus mean stored as a float, index = value x 999 / white truncated,
// f(index) = (a index + b) index, YCbCr -> RGB in double stored as float, byte = value x
// 0.007794427 (float) truncated and held to 0-255.
struct RenderParams {
    double meanY, meanB, meanR;
    double white, a, b;
};

struct ScalarRender {
    // Adds the mean to the luminance (kept in the plane) and gives each value's bin.
    static void bins(float* py, double meanY, int count, int* bins) {
        for (int i = 0; i < count; ++i) {
            const float v = static_cast<float>(py[i] + meanY);
            py[i] = v;
            const double b = static_cast<double>(v) * 0.30515456 + 0.5;
            bins[i] = !(b >= 0.0) ? 0 : (b >= 9999.0 ? 9999 : static_cast<int>(b));
        }
    }
    static std::uint8_t toByte(float v) {
        const float scaled = v * 0.007794427f;
        if (!(scaled >= 0.0f))
            return 0;
        if (scaled >= 255.0f)
            return 255;
        return static_cast<std::uint8_t>(scaled);
    }
    // One column's pixels as R, G, B bytes, kPixel bytes apart; py already holds the mean.
    template <int kPixel = 3>
    static void column(const float* py, const float* pb, const float* pr, const RenderParams& p,
                       int count, std::uint8_t* rgb) {
        for (int i = 0; i < count; ++i, rgb += kPixel) {
            double index = static_cast<double>(py[i]) * 999.0 / p.white;
            index = !(index >= 0.0) ? 0.0 : (index >= 999.0 ? 999.0 : index);
            const double k = static_cast<int>(index);
            const double dy = static_cast<float>((p.a * k + p.b) * k);
            const double cb = static_cast<float>(pb[i] + p.meanB);
            const double cr = static_cast<float>(pr[i] + p.meanR);
            rgb[0] = toByte(static_cast<float>(dy + 1.402 * cr));
            rgb[1] = toByte(static_cast<float>(dy - 0.3441 * cb - 0.7141 * cr));
            rgb[2] = toByte(static_cast<float>(dy + 1.772 * cb));
        }
    }
    // A tile of kTile columns (3-byte pixels, kTileRow bytes apart) into the output rows.
    static void writeTile(const std::uint8_t* tile, std::uint8_t* out, int x0) {
        constexpr int kTile = RenderScratch::kTile;
        constexpr std::size_t kRow = kWidth * 3;
        std::uint8_t* row = out + static_cast<std::size_t>(kHeight - 1) * kRow + x0 * 3;
        for (int y = 0; y < kHeight; ++y, row -= kRow) {
            const std::uint8_t* from = tile + 3 * y;
            // Each pixel moves as a 4-byte word whose fourth byte the next pixel overwrites.
            for (int i = 0; i < kTile - 1; ++i)
                std::memcpy(row + 3 * i, from + i * RenderScratch::kTileRow, 4);
            std::memcpy(row + 3 * (kTile - 1), from + (kTile - 1) * RenderScratch::kTileRow, 3);
        }
    }
};

// The same operations eight values at a time; separate multiplies and adds (never fused) keep
// the results identical to ScalarRender's. A float plus a mean (a multiple of 32 below 2^21,
// so a float too) rounded from double equals the float sum: double has more than twice the
// digits of float, so rounding twice gives the correctly rounded sum. The float steps run on
// eight values per instruction, the double steps on two halves of four.
struct Avx2Render {
    __attribute__((target("avx2"))) static void bins(float* py, double meanY, int count,
                                                     int* bins) {
        const __m256 mean = _mm256_set1_ps(static_cast<float>(meanY));
        const __m256d scale = _mm256_set1_pd(0.30515456), half = _mm256_set1_pd(0.5),
                      top = _mm256_set1_pd(9999.0);
        int i = 0;
        for (; i + 8 <= count; i += 8) {
            const __m256 v = _mm256_add_ps(_mm256_loadu_ps(py + i), mean);
            _mm256_storeu_ps(py + i, v);
            for (int h = 0; h < 2; ++h) {
                const __m128 part =
                    h == 0 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1);
                __m256d b = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtps_pd(part), scale), half);
                b = _mm256_min_pd(_mm256_max_pd(b, _mm256_setzero_pd()), top);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(bins + i + 4 * h),
                                 _mm256_cvttpd_epi32(b));
            }
        }
        ScalarRender::bins(py + i, meanY, count - i, bins + i);
    }
    // Eight bytes from the two halves of one channel's values.
    __attribute__((target("avx2"))) static __m256i toBytes(__m256d low, __m256d high) {
        __m256 s = _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
        s = _mm256_mul_ps(s, _mm256_set1_ps(0.007794427f));
        s = _mm256_min_ps(_mm256_max_ps(s, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
        return _mm256_cvttps_epi32(s);
    }
    // Four pixels' R, G, B before the byte conversion; cb and cr hold the means already.
    __attribute__((target("avx2"), always_inline)) static inline void
    channels(const float* py, __m128 cbf, __m128 crf, const RenderParams& p, __m256d& r, __m256d& g,
             __m256d& b) {
        __m256d index =
            _mm256_div_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(py)), _mm256_set1_pd(999.0)),
                          _mm256_set1_pd(p.white));
        index = _mm256_min_pd(_mm256_max_pd(index, _mm256_setzero_pd()), _mm256_set1_pd(999.0));
        const __m256d k = _mm256_round_pd(index, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d dy = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_mul_pd(
            _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(p.a), k), _mm256_set1_pd(p.b)), k)));
        const __m256d cb = _mm256_cvtps_pd(cbf);
        const __m256d cr = _mm256_cvtps_pd(crf);
        r = _mm256_add_pd(dy, _mm256_mul_pd(_mm256_set1_pd(1.402), cr));
        g = _mm256_sub_pd(_mm256_sub_pd(dy, _mm256_mul_pd(_mm256_set1_pd(0.3441), cb)),
                          _mm256_mul_pd(_mm256_set1_pd(0.7141), cr));
        b = _mm256_add_pd(dy, _mm256_mul_pd(_mm256_set1_pd(1.772), cb));
    }
    // Per 128-bit lane: r0 r1 r2 r3 g0 g1 g2 g3 b0 b1 b2 b3 -> r0 g0 b0 0 r1 g1 b1 0 ...
    __attribute__((target("avx2"))) static __m256i pixelOrder() {
        return _mm256_setr_epi8(0, 4, 8, -1, 1, 5, 9, -1, 2, 6, 10, -1, 3, 7, 11, -1, 0, 4, 8, -1,
                                1, 5, 9, -1, 2, 6, 10, -1, 3, 7, 11, -1);
    }
    __attribute__((target("avx2"))) static void column(const float* py, const float* pb,
                                                       const float* pr, const RenderParams& p,
                                                       int count, std::uint8_t* rgb) {
        const __m256 meanB = _mm256_set1_ps(static_cast<float>(p.meanB)),
                     meanR = _mm256_set1_ps(static_cast<float>(p.meanR));
        const __m256i order = pixelOrder();
        int i = 0;
        for (; i + 8 <= count; i += 8) {
            const __m256 cbf = _mm256_add_ps(_mm256_loadu_ps(pb + i), meanB);
            const __m256 crf = _mm256_add_ps(_mm256_loadu_ps(pr + i), meanR);
            __m256d r0, g0, b0, r1, g1, b1;
            channels(py + i, _mm256_castps256_ps128(cbf), _mm256_castps256_ps128(crf), p, r0, g0,
                     b0);
            channels(py + i + 4, _mm256_extractf128_ps(cbf, 1), _mm256_extractf128_ps(crf, 1), p,
                     r1, g1, b1);
            const __m256i bb = toBytes(b0, b1);
            const __m256i packed = _mm256_packus_epi16(
                _mm256_packs_epi32(toBytes(r0, r1), toBytes(g0, g1)), _mm256_packs_epi32(bb, bb));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgb + 4 * i),
                                _mm256_shuffle_epi8(packed, order));
        }
        ScalarRender::column<4>(py + i, pb + i, pr + i, p, count - i, rgb + 4 * i);
    }
    // A tile of kTile columns of 4-byte pixels into the output rows: 4 x 4 blocks of pixels
    // are transposed in registers and each output row gets its 16 pixels as 48 bytes.
    __attribute__((target("avx2"))) static void writeTile(const std::uint8_t* tile,
                                                          std::uint8_t* out, int x0) {
        constexpr int kTile = RenderScratch::kTile;
        static_assert(kTile == 16 && kHeight % 4 == 0);
        constexpr std::size_t kRow = kWidth * 3;
        constexpr std::size_t kTileRow = RenderScratch::kTileRow;
        // 4 pixels of 4 bytes -> 12 bytes.
        const __m128i squeeze =
            _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        for (int y = 0; y < kHeight; y += 4) {
            std::uint8_t* row = out + static_cast<std::size_t>(kHeight - 1 - y) * kRow + x0 * 3;
            for (int g = 0; g < 4; ++g) {
                const std::uint8_t* from = tile + 4 * g * kTileRow + 4 * y;
                const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
                const __m128i c1 =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + kTileRow));
                const __m128i c2 =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 2 * kTileRow));
                const __m128i c3 =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 3 * kTileRow));
                const __m128i t0 = _mm_unpacklo_epi32(c0, c1), t1 = _mm_unpackhi_epi32(c0, c1);
                const __m128i t2 = _mm_unpacklo_epi32(c2, c3), t3 = _mm_unpackhi_epi32(c2, c3);
                const __m128i rows[4] = {_mm_unpacklo_epi64(t0, t2), _mm_unpackhi_epi64(t0, t2),
                                         _mm_unpacklo_epi64(t1, t3), _mm_unpackhi_epi64(t1, t3)};
                for (int r = 0; r < 4; ++r) {
                    const __m128i packed = _mm_shuffle_epi8(rows[r], squeeze);
                    std::uint8_t* to = row - r * kRow + 12 * g;
                    // 16-byte stores run into the next group or tile, which is written
                    // after; the last group of a row stores exactly its 12 bytes.
                    if (g < 3 || x0 + kTile < kWidth) {
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), packed);
                    } else {
                        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), packed);
                        const int last = _mm_extract_epi32(packed, 2);
                        std::memcpy(to + 8, &last, 4);
                    }
                }
            }
        }
    }
};

// The colour conversion eight pixels per instruction in 512-bit registers: the same operations
// as Avx2Render's in the same order, so the same bits; half the instructions per pixel lets the
// processor overlap more of each pixel's long chain of dependent steps.
KV_AVX512_BEGIN
struct Avx512Render : Avx2Render {
    KV_AVX512 static __m256i toBytes(__m512d v) {
        __m256 s = _mm512_cvtpd_ps(v);
        s = _mm256_mul_ps(s, _mm256_set1_ps(0.007794427f));
        s = _mm256_min_ps(_mm256_max_ps(s, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
        return _mm256_cvttps_epi32(s);
    }
    KV_AVX512 static void column(const float* py, const float* pb, const float* pr,
                                 const RenderParams& p, int count, std::uint8_t* rgb) {
        const __m256 meanB = _mm256_set1_ps(static_cast<float>(p.meanB)),
                     meanR = _mm256_set1_ps(static_cast<float>(p.meanR));
        const __m256i order = pixelOrder();
        int i = 0;
        for (; i + 8 <= count; i += 8) {
            const __m512d cb = _mm512_cvtps_pd(_mm256_add_ps(_mm256_loadu_ps(pb + i), meanB));
            const __m512d cr = _mm512_cvtps_pd(_mm256_add_ps(_mm256_loadu_ps(pr + i), meanR));
            __m512d index = _mm512_div_pd(
                _mm512_mul_pd(_mm512_cvtps_pd(_mm256_loadu_ps(py + i)), _mm512_set1_pd(999.0)),
                _mm512_set1_pd(p.white));
            index = _mm512_min_pd(_mm512_max_pd(index, _mm512_setzero_pd()), _mm512_set1_pd(999.0));
            const __m512d k = _mm512_roundscale_pd(index, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
            const __m512d dy = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_mul_pd(
                _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(p.a), k), _mm512_set1_pd(p.b)), k)));
            const __m512d r = _mm512_add_pd(dy, _mm512_mul_pd(_mm512_set1_pd(1.402), cr));
            const __m512d g =
                _mm512_sub_pd(_mm512_sub_pd(dy, _mm512_mul_pd(_mm512_set1_pd(0.3441), cb)),
                              _mm512_mul_pd(_mm512_set1_pd(0.7141), cr));
            const __m512d b = _mm512_add_pd(dy, _mm512_mul_pd(_mm512_set1_pd(1.772), cb));
            const __m256i bb = toBytes(b);
            const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(toBytes(r), toBytes(g)),
                                                       _mm256_packs_epi32(bb, bb));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(rgb + 4 * i),
                                _mm256_shuffle_epi8(packed, order));
        }
        ScalarRender::column<4>(py + i, pb + i, pr + i, p, count - i, rgb + 4 * i);
    }
};

template <class R>
[[gnu::always_inline]] inline void renderBody(float* py, const float* pb, const float* pr,
                                              const std::array<double, 3>& means,
                                              RenderScratch& scratch, std::uint8_t* out) {
    // Tone map of the luminance: white level and median from a 10000-bin histogram.
    constexpr int kBins = RenderScratch::kBins;
    std::uint16_t* partial = scratch.partial;
    // Four partial histograms: neighbouring values of a smooth picture fall into one bin, and
    // counting them in turn into different arrays avoids waiting on the previous increment.
    // Each counts a quarter of the 192000 values, so 16 bits hold it.
    std::memset(partial, 0, sizeof(std::uint16_t) * 4 * kBins);
    int bins[kHeight];
    for (int x = 0; x < kWidth; ++x) {
        R::bins(py + static_cast<std::size_t>(x) * kStride, means[0], kHeight, bins);
        for (int i = 0; i < kHeight; i += 4) {
            ++partial[bins[i]];
            ++partial[kBins + bins[i + 1]];
            ++partial[2 * kBins + bins[i + 2]];
            ++partial[3 * kBins + bins[i + 3]];
        }
    }
    std::uint32_t* histogram = scratch.histogram;
    for (int i = 0; i < kBins; ++i)
        histogram[i] =
            partial[i] + partial[kBins + i] + partial[2 * kBins + i] + partial[3 * kBins + i];
    for (int i = 1; i < kBins; ++i)
        histogram[i] += histogram[i - 1];
    const auto whiteCount = static_cast<std::uint32_t>(0.99 * static_cast<double>(kPlaneValues));
    int whiteBin = 0;
    for (int i = kBins - 1; i >= 0; --i)
        if (histogram[i] <= whiteCount) {
            whiteBin = i;
            break;
        }
    RenderParams p{means[0], means[1], means[2], std::max(whiteBin * 3.2770276, 24576.0), 0, 0};
    int medianBin = kBins - 1;
    for (int i = 0; i < kBins; ++i)
        if (histogram[i] >= kPlaneValues / 2) {
            medianBin = i;
            break;
        }
    const int mid = static_cast<int>((32767.0 / p.white) * medianBin * 0.1);
    // f(i) = (a i + b) i through f(999) = 32767 and f(mid) = 16383.5, with b then held within
    // [1.0 s, 1.0 s] and a refitted to f(999): the limits make the table linear.
    const double slope = 32767.0 / 999.0;
    double a = 0.0, b = slope;
    if (mid > 0 && mid < 999) {
        const double t = 16383.5 / mid;
        a = (slope - t) / (999.0 - mid);
        b = (32767.0 - a * 999.0 * 999.0) / 999.0;
    }
    p.b = std::clamp(b, 1.0 * slope, 1.0 * slope);
    p.a = (32767.0 - p.b * 999.0) / (999.0 * 999.0);

    // Sixteen columns at a time into a tile, then each output row's 48 bytes of them: the
    // planes are read in order and every output line is written in one go.
    constexpr int kTile = RenderScratch::kTile;
    static_assert(kWidth % kTile == 0);
    std::uint8_t* tile = scratch.tile;
    for (int x0 = 0; x0 < kWidth; x0 += kTile) {
        for (int i = 0; i < kTile; ++i) {
            const std::size_t col = static_cast<std::size_t>(x0 + i) * kStride;
            R::column(py + col, pb + col, pr + col, p, kHeight, tile + i * RenderScratch::kTileRow);
        }
        R::writeTile(tile, out, x0);
    }
}

__attribute__((target("avx2"))) void renderAvx2(float* py, const float* pb, const float* pr,
                                                const std::array<double, 3>& means,
                                                RenderScratch& scratch, std::uint8_t* out) {
    renderBody<Avx2Render>(py, pb, pr, means, scratch, out);
}
KV_AVX512 void renderAvx512(float* py, const float* pb, const float* pr,
                            const std::array<double, 3>& means, RenderScratch& scratch,
                            std::uint8_t* out) {
    renderBody<Avx512Render>(py, pb, pr, means, scratch, out);
}
KV_AVX512_END
void renderBaseline(float* py, const float* pb, const float* pr, const std::array<double, 3>& means,
                    RenderScratch& scratch, std::uint8_t* out) {
    renderBody<ScalarRender>(py, pb, pr, means, scratch, out);
}

} // namespace

void WaveletCodec::renderRgb(float* py, const float* pb, const float* pr, std::uint8_t* out) {
    Impl& s = *impl_;
    if (s.vector && s.wide && cpuHasAvx512())
        renderAvx512(py, pb, pr, means_, *s.render, out);
    else if (s.vector && cpuHasAvx2())
        renderAvx2(py, pb, pr, means_, *s.render, out);
    else
        renderBaseline(py, pb, pr, means_, *s.render, out);
}

Status WaveletCodec::DecodePicture(ByteSpan stream, std::span<std::uint8_t> out, int mode) {
    if (out.size() < kRgbBytes) {
        error_ = DecodeError::None;
        return status::Failed;
    }
    int reduced = mode;
    error_ = DecodeStream(stream, reduced);
    if (error_ != DecodeError::None) {
        std::memset(out.data(), 0, kRgbBytes);
        return status::Failed;
    }
    Impl& s = *impl_;
    if (reduced == 1) {
        InverseTransform(kLevels - 1, true);
        renderRgb(s.plane(0), s.plane(1), s.plane(2), out.data());
        return status::Ok;
    }
    // The last level of each plane writes its result to a buffer no longer needed: Y to the
    // work plane, Cb to the Y plane, Cr to the Cb plane; each also serves as that plane's
    // work area.
    float* const results[3] = {s.work.data(), s.plane(0), s.plane(1)};
    for (int c = 0; c < 3; ++c) {
        for (int level = kLevels - 1; level >= 1; --level)
            synthesisLevel(s.plane(c), results[c], kWidth >> level, kHeight >> level, kStride,
                           s.vector, s.wide);
        synthesisLevelTo(s.plane(c), results[c], results[c], kWidth, kHeight, kStride, s.vector,
                         s.wide);
    }
    renderRgb(results[0], results[1], results[2], out.data());
    return status::Ok;
}

} // namespace kv::codec
