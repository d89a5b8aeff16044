#include "diagnostics/sensor_calibration.h"

#include "diagnostics/color_commands.h"
#include "diagnostics/vignetting.h"
#include "imaging/tiff_forms.h"
#include "platform/atomic_file.h"
#include "settings/profile.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace kv::diagnostics {

namespace {

constexpr std::size_t kRowColumnCapacity = 10000;
constexpr std::size_t kClusterCapacity = 30000;
// The isolated dark pixels share their buffer with the bad-gain ones; this is what is left.
constexpr std::size_t kIsolatedDarkCapacity = 20000;
constexpr std::size_t kCorrectionCapacity = 20000;
constexpr std::size_t kExcessSaveCapacity = 20000;

constexpr int kListSectionEnd = 32756;
constexpr int kIsolatedSectionEnd = 32758;
constexpr int kOverflowStart = 32768;
constexpr int kOverflowCapacity = 2728;
constexpr std::uint16_t kEndMarker = 0x2253;
constexpr int kStreamsStart = 3968;
constexpr int kStreamValues = 400;
constexpr int kStreamWords = 100;
constexpr int kStreams = 2 * kRawSamples;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return std::string(buffer, static_cast<std::size_t>(std::clamp(n, 0, 511)));
}

void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint16_t get16(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint16_t saturate16(long long v) {
    return static_cast<std::uint16_t>(std::clamp<long long>(v, 0, 65535));
}

int align4(int offset) {
    return (offset + 3) & ~3;
}

// The plane of a raw pixel and its plane coordinates.
int planeOf(int y, int x) {
    for (int k = 0; k < 4; ++k)
        if (kPlaneStart[k].line == (y & 1) && kPlaneStart[k].sample == (x & 1))
            return k;
    return 0;
}

CameraAddress rawAddress(int y, int x) {
    return cameraAddress(planeOf(y, x), y >> 1, x >> 1);
}

} // namespace

BlemishParams readBlemishParams(const settings::Profile& p) {
    BlemishParams b;
    auto get = [&](const char* key, int& v) { v = p.getInt("BLEMISH_PARAMS", key, v); };
    get("MAX_BLACK_DELTA", b.maxBlackDelta);
    get("MIN_BLACK_FACTOR", b.minBlackFactor);
    get("MAX_COLOR_DEVIATION", b.maxColorDeviation);
    get("MAX_COLOR_PIXELS", b.maxColorPixels);
    get("MIN_COLOR_DELTA", b.minColorDelta);
    get("MAX_COLOR_DELTA", b.maxColorDelta);
    get("MAX_EXCLUDED_GAIN", b.maxExcludedGain);
    get("MAX_GAIN_DELTA", b.maxGainDelta);
    get("MAX_GAIN_PIXEL", b.maxGainPixel);
    get("MAX_ROW_AVG_DEVIATION", b.maxRowAvgDeviation);
    get("ALLOWED_PATCH_CNT", b.allowedPatchCnt);
    get("ALLOWED_PATCH_AREA", b.allowedPatchArea);
    get("ALLOWED_COLUMN_PIXELS", b.allowedColumnPixels);
    get("ALLOWED_ROW_PIXELS", b.allowedRowPixels);
    get("ALLOWED_CLUSTER_PIXELS", b.allowedClusterPixels);
    get("ALLOWED_CEILING_PIXELS", b.allowedCeilingPixels);
    get("ALLOWED_SINGLE_PIXELS", b.allowedSinglePixels);
    get("ALLOWED_BLACK_PIXELS", b.allowedBlackPixels);
    get("ALLOWED_GAIN_PIXELS", b.allowedGainPixels);
    get("ALLOWED_CODE_PIXELS", b.allowedCodePixels);
    get("ALLOWED_FACTOR_PIXELS", b.allowedFactorPixels);
    get("ALLOWED_BLOB_PIXELS", b.allowedBlobPixels);
    get("ALLOWED_AVERAGE_DARK", b.allowedAverageDark);
    get("ALLOWED_AVERAGE_WHITE_MIN", b.allowedAverageWhiteMin);
    get("ALLOWED_AVERAGE_WHITE_MAX", b.allowedAverageWhiteMax);
    get("ALLOWED_AVERAGE_BLUE_MIN", b.allowedAverageBlueMin);
    get("ALLOWED_AVERAGE_BLUE_MAX", b.allowedAverageBlueMax);
    get("VIGNETTING_FACTOR", b.vignettingFactor);
    get("COLOR_EXCLUDE_CNT", b.colorExcludeCnt);
    return b;
}

CameraAddress cameraAddress(int plane, int line, int sample) {
    const auto start = kPlaneStart[static_cast<std::size_t>(plane)];
    return {static_cast<std::uint16_t>(400 * start.sample + 399 - line),
            static_cast<std::uint16_t>(start.line + 2 * sample)};
}

bool planePixel(CameraAddress a, int& plane, int& line, int& sample) {
    if (a.row >= 800 || a.column >= 960)
        return false;
    const int b = a.row / 400;
    const int startLine = a.column & 1;
    for (int k = 0; k < 4; ++k) {
        if (kPlaneStart[k].line == startLine && kPlaneStart[k].sample == b) {
            plane = k;
            line = 399 - a.row % 400;
            sample = a.column >> 1;
            return true;
        }
    }
    return false;
}

std::string sensorReportHeader(const std::string& cameraName, const std::string& programRevision,
                               const std::string& firmwareRevision, std::time_t now) {
    std::string h = "Blemish List Report for Camera: " + cameraName + "\n";
    h += "KVMini Code Revision: " + programRevision + "\n";
    h += "Camera Code Revision: " + firmwareRevision + "\n";
    const char* date = std::ctime(&now);
    h += "Date: " + std::string(date ? date : "\n") + "\n";
    return h;
}

SensorCalibration::SensorCalibration(const BlemishParams& params, int diagnosticFiles)
    : params_(params), diagnosticFiles_(diagnosticFiles), whiteSum_(kRawPixels), white_(kRawPixels),
      white64_(kRawPixels), gains_(kRawPixels), map_(kRawPixels), deviation_(kRawPixels),
      dark_(kRawPixels), reset_frame_(kRawPixels), blue_(kRawPixels), smoothed_(kRawPixels),
      work_(kRawPixels), colourDelta_(kRawPixels), encodedGains_(kEncodedGainBytes),
      encodedList_(kEncodedBlemishBytes) {
    rows_.capacity = columns_.capacity = blobs_.capacity = kRowColumnCapacity;
    clusters_.capacity = isolated_.capacity = kClusterCapacity;
    isolatedDark_.capacity = kIsolatedDarkCapacity;
    excessList_.capacity = encodeList_.capacity = rangeList_.capacity = kCorrectionCapacity;
}

ExposureLevel SensorCalibration::accumulateWhite(std::span<const std::uint16_t> frame) {
    if (frame.size() != static_cast<std::size_t>(kRawPixels))
        return ExposureLevel::TooDark;
    unsigned long long sum = 0;
    for (int i = 0; i < kRawPixels; ++i) {
        const unsigned v = frame[static_cast<std::size_t>(i)] >> 6;
        whiteSum_[static_cast<std::size_t>(i)] += v;
        sum += v;
    }
    ++passes_;
    whiteExposureMean_ = static_cast<double>(sum) / kRawPixels;
    const bool low = whiteExposureMean_ < params_.allowedAverageWhiteMin;
    if (!low && whiteExposureMean_ <= params_.allowedAverageWhiteMax)
        return ExposureLevel::Accepted;
    operatorMessage_ = format("Gain Creation Failed!\nIncorrect White Level Exposure of %6f.\n%s",
                              whiteExposureMean_, low ? "Flash Failure?\n" : "Too much light?\n");
    report_ += "FAILURE: " + format("Incorrect White Level Exposure or %6f.\n", whiteExposureMean_);
    return low ? ExposureLevel::TooDark : ExposureLevel::TooBright;
}

bool SensorCalibration::checkBlue(std::span<const std::uint16_t> frame) {
    if (frame.size() != static_cast<std::size_t>(kRawPixels))
        return false;
    std::copy(frame.begin(), frame.end(), blue_.begin());
    bluePresent_ = true;
    unsigned long long sum = 0;
    for (auto v : frame)
        sum += v >> 6;
    blueMean_ = static_cast<double>(sum) / kRawPixels;
    if (blueMean_ >= params_.allowedAverageBlueMin && blueMean_ <= params_.allowedAverageBlueMax)
        return true;
    operatorMessage_ =
        format("Gain Creation Failed!\nIncorrect Blue Level Exposure of %6f.\nFlash Failure?\n",
               blueMean_);
    report_ += "FAILURE: " + format("Incorrect Blue Level Exposure of %6f.\n", blueMean_);
    return false;
}

bool SensorCalibration::storeDark(std::span<const std::uint16_t> frame) {
    if (frame.size() != static_cast<std::size_t>(kRawPixels))
        return false;
    std::copy(frame.begin(), frame.end(), dark_.begin());
    return true;
}

bool SensorCalibration::storeReset(std::span<const std::uint16_t> frame) {
    if (frame.size() != static_cast<std::size_t>(kRawPixels))
        return false;
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s)
                reset_frame_[static_cast<std::size_t>(mapIndex(p, l, s))] =
                    frame[static_cast<std::size_t>(rawIndex(p, l, s))];
    resetPresent_ = true;
    return true;
}

void SensorCalibration::createGains() {
    for (int i = 0; i < kRawPixels; ++i) {
        const auto w = passes_ > 0
                           ? whiteSum_[static_cast<std::size_t>(i)] / static_cast<unsigned>(passes_)
                           : 0u;
        white_[static_cast<std::size_t>(i)] = saturate16(w);
        white64_[static_cast<std::size_t>(i)] = saturate16(static_cast<long long>(w) * 64);
    }
    const Vignetting shading = measureVignetting(white64_);
    vignettingArea_ = shading.area;
    vignettingCorner_ = shading.corner;
    // Leave part of the lens fall-off in the picture: raise the white towards the corners.
    for (int p = 0; p < 4; ++p)
        for (int i = 0; i < kPlaneLines; ++i)
            for (int j = 0; j < kPlaneSamples; ++j) {
                const double r2 = double((j - 240) * (j - 240) + (i - 200) * (i - 200));
                const long f = static_cast<long>(
                    (1.0 + r2 / 97600.0 * params_.vignettingFactor / 1024.0) * 1024.0);
                auto& w = white_[static_cast<std::size_t>(rawIndex(p, i, j))];
                w = saturate16((static_cast<long long>(w) * f) >> 10);
            }
    double meanSum = 0, sum = 0, sumSquares = 0;
    for (int p = 0; p < 4; ++p) {
        double planeSum = 0;
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                const double w = white_[static_cast<std::size_t>(rawIndex(p, l, s))];
                planeSum += w;
                sumSquares += w * w;
            }
        sum += planeSum;
        const double m = planeSum / kPlanePixels;
        meanSum += m;
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                const auto at = static_cast<std::size_t>(rawIndex(p, l, s));
                const double w = white_[at];
                const double g = w != 0 ? m * 1024.0 / w : 65535.0;
                gains_[at] = g < 65535.0 ? static_cast<std::uint16_t>(std::lround(g)) : kNoGain;
            }
    }
    whiteMean_ = meanSum / 4;
    const double n = kRawPixels;
    whiteDeviation_ = std::sqrt(std::max(0.0, (sumSquares - sum * sum / n) / (n - 1)));
}

// Writes through `put` the mean of the values `take` gives (nullopt: left out) over the window
// of 20 starting 10 before each position; the first and last 10 positions take their nearest
// full window's mean.
template <class Take, class Put>
static void windowMeans(int length, Take take, Put put) {
    long sum = 0, count = 0;
    auto add = [&](int i, int sign) {
        if (const std::optional<long> v = take(i)) {
            sum += sign * *v;
            count += sign;
        }
    };
    for (int i = 0; i < 20; ++i)
        add(i, 1);
    std::uint16_t first = 0, last = 0;
    for (int i = 10; i < length - 10; ++i) {
        if (i > 10) {
            add(i - 11, -1);
            add(i + 9, 1);
        }
        last = static_cast<std::uint16_t>(count ? sum / count : 0);
        if (i == 10)
            first = last;
        put(i, last);
    }
    for (int i = 0; i < 10; ++i) {
        put(i, first);
        put(length - 1 - i, last);
    }
}

void SensorCalibration::smoothGains(std::span<const std::uint16_t> gains,
                                    std::span<std::uint16_t> smoothed,
                                    std::span<const std::uint16_t> map) {
    // Along lines: mean of the good samples.
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            windowMeans(
                kPlaneSamples,
                [&](int s) -> std::optional<long> {
                    if (map[static_cast<std::size_t>(mapIndex(p, l, s))] != 0)
                        return std::nullopt;
                    return gains[static_cast<std::size_t>(rawIndex(p, l, s))];
                },
                [&](int s, std::uint16_t v) {
                    work_[static_cast<std::size_t>(rawIndex(p, l, s))] = v;
                });
    // Down columns: mean of the non-zero line means.
    for (int p = 0; p < 4; ++p)
        for (int s = 0; s < kPlaneSamples; ++s)
            windowMeans(
                kPlaneLines,
                [&](int l) -> std::optional<long> {
                    const auto v = work_[static_cast<std::size_t>(rawIndex(p, l, s))];
                    if (v == 0)
                        return std::nullopt;
                    return v;
                },
                [&](int l, std::uint16_t v) {
                    smoothed[static_cast<std::size_t>(rawIndex(p, l, s))] = v;
                });
}

void SensorCalibration::buildBlemishMap() {
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                auto& g = gains_[static_cast<std::size_t>(rawIndex(p, l, s))];
                if (g > 4096) {
                    if (g == 32768)
                        --excessiveGains_;
                    code(p, l, s) = kMarkBadGain;
                    g = kUnityGain;
                    ++badGains_;
                }
            }
    smoothGains(gains_, smoothed_, map_);
    const int low = 1024 - params_.maxGainPixel, high = 1024 + params_.maxGainPixel;
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                if (code(p, l, s) != 0)
                    continue; // already replaced and counted
                const auto at = static_cast<std::size_t>(rawIndex(p, l, s));
                const int d = gains_[at] - smoothed_[at] + 1024;
                const bool gross = d < 682 || d > 2048;
                if (gross || d < low || d > high) {
                    code(p, l, s) = kMarkBadGain;
                    gains_[at] = smoothed_[at];
                    ++badGains_;
                    if (!gross)
                        deviation_[static_cast<std::size_t>(mapIndex(p, l, s))] = saturate16(d);
                }
            }
    smoothGains(gains_, smoothed_, map_);
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                if (code(p, l, s) != 0)
                    continue;
                const auto at = static_cast<std::size_t>(rawIndex(p, l, s));
                const int d = gains_[at] - smoothed_[at] + 1024;
                if (d < 904 || d > 1144) {
                    code(p, l, s) = kMarkExcessGain;
                    ++excessiveGains_;
                }
            }
}

void SensorCalibration::darkBlemishes() {
    double meanSum = 0, deviationSum = 0;
    for (int p = 0; p < 4; ++p) {
        double sum = 0;
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s)
                sum += dark_[static_cast<std::size_t>(rawIndex(p, l, s))];
        const double mu = sum / kPlanePixels;
        const double t = std::min(std::max(3 * mu, params_.minBlackFactor * 64.0),
                                  mu + params_.maxBlackDelta * 64.0);
        double n = 0, s1 = 0, s2 = 0;
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                const auto at = static_cast<std::size_t>(rawIndex(p, l, s));
                const double v = dark_[at];
                if (v > t) {
                    auto& c = code(p, l, s);
                    if (c == kMarkExcessGain)
                        --excessiveGains_;
                    if (c == kMarkBadGain)
                        --badGains_;
                    c = kMarkDark;
                    gains_[at] = smoothed_[at];
                    ++darkCount_;
                } else {
                    n += 1;
                    s1 += v / 64;
                    s2 += (v / 64) * (v / 64);
                }
            }
        const double m = n > 0 ? s1 / n : 0;
        meanSum += m;
        deviationSum += n > 0 ? std::sqrt(std::max(0.0, s2 / n - m * m)) : 0;
    }
    darkAverage_ = meanSum / 4;
    darkDeviation_ = deviationSum / 4;
}

void SensorCalibration::resetStatistics() {
    reset_ = ResetStatistics{};
    if (!resetPresent_) {
        reset_.highValue = reset_.ceiling = 65535;
        return;
    }
    std::vector<long> histogram(65536);
    double sum = 0, sumSquares = 0;
    for (auto v : reset_frame_) {
        ++histogram[v];
        sum += v;
        sumSquares += double(v) * v;
    }
    const double mean = sum / kRawPixels;
    reset_.average = std::lround(mean);
    reset_.deviation = std::lround(std::sqrt(std::max(0.0, sumSquares / kRawPixels - mean * mean)));
    reset_.lowCount = histogram[0];
    reset_.highValue = reset_.average + 4 * reset_.deviation;
    if (reset_.highValue < 65535)
        for (long v = reset_.highValue + 1; v < 65536; ++v)
            reset_.highCount += histogram[static_cast<std::size_t>(v)];
    long count = 0, v = 65535;
    for (; v > 0; --v) {
        count += histogram[static_cast<std::size_t>(v)];
        if (count * 80 >= kRawPixels)
            break;
    }
    reset_.ceiling = 65472 - v;
    for (int i = 0; i < kRawPixels; ++i) {
        const auto r = reset_frame_[static_cast<std::size_t>(i)];
        if ((r == 0 || r > reset_.highValue) && map_[static_cast<std::size_t>(i)] == 0) {
            map_[static_cast<std::size_t>(i)] = kMarkDark;
            ++reset_.blemishes;
        }
    }
}

void SensorCalibration::writeIntermediate(const char* name,
                                          const std::vector<std::uint16_t>& frame) {
    if (diagnosticFiles_ >= 3 && !workingFolder_.empty() &&
        imaging::WriteMono16Tiff(workingFolder_ / name, kRawSamples, kRawLines, frame.data()) != 0)
        workingFilesFailed_ = true;
}

void SensorCalibration::colourImageBlemishes() {
    if (!bluePresent_)
        return;
    writeIntermediate("c.tif", blue_);
    for (int i = 0; i < kRawPixels; ++i)
        blue_[static_cast<std::size_t>(i)] =
            saturate16((static_cast<long long>(blue_[static_cast<std::size_t>(i)]) *
                        gains_[static_cast<std::size_t>(i)]) >>
                       10);
    // Smoothed into a buffer of its own: the smoothed gains are still needed by correctGains.
    std::vector<std::uint16_t> smoothedBlue(kRawPixels);
    smoothGains(blue_, smoothedBlue, map_);
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                const auto at = static_cast<std::size_t>(rawIndex(p, l, s));
                const auto mi = static_cast<std::size_t>(mapIndex(p, l, s));
                const long d = long(blue_[at]) - smoothedBlue[at];
                colourDelta_[mi] = 0;
                auto& c = map_[mi];
                if (l >= 4 && l <= 396 && s >= 4 && s <= 476 &&
                    std::labs(d) > params_.maxColorDeviation && c != kMarkBadGain &&
                    c != kMarkDark) {
                    if (c == kMarkExcessGain)
                        --excessiveGains_;
                    c = kMarkBadGain;
                    colourDelta_[mi] = kMarkBadGain;
                    ++badGains_;
                    ++colourDye_;
                }
            }
}

void SensorCalibration::tally(ClassCounts& counts, std::uint16_t c) {
    if (c == kMarkBadGain)
        ++counts.dead;
    else if (c == kMarkDark)
        ++counts.hot;
    else if (c == kMarkExcessGain)
        ++counts.excess;
}

void SensorCalibration::scanRuns(bool alongLines) {
    long run = 0;
    for (int p = 0; p < 4; ++p)
        for (int outer = 2; outer <= (alongLines ? 398 : 478); ++outer) {
            long longest = 0, aboveMarked = 0, aboveExcess = 0;
            for (int inner = 2; inner <= (alongLines ? 478 : 398); ++inner) {
                const int l = alongLines ? outer : inner;
                const int s = alongLines ? inner : outer;
                if (!marked(p, l, s)) {
                    run = 0;
                    continue;
                }
                ++run;
                if (run > longest) {
                    longest = run;
                    const int bl = alongLines ? l - 1 : l;
                    const int bs = alongLines ? s : s - 1;
                    if (marked(p, bl, bs))
                        ++aboveMarked;
                    else if (code(p, bl, bs) == kMarkExcessGain)
                        ++aboveExcess;
                }
            }
            if (longest <= 10)
                continue;
            if (aboveMarked * 100 / longest > 90)
                (alongLines ? doubleRow_ : doubleColumn_) = longest;
            long& value = alongLines ? rowOfClusters_ : columnOfClusters_;
            long& kept = alongLines ? rowClusterTally_ : columnClusterTally_;
            if (aboveExcess > kept) {
                value = longest;
                kept = aboveExcess;
            }
        }
}

void SensorCalibration::classifyPixel(int p, int l, int s) {
    static constexpr int dl[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
    static constexpr int ds[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
    int mask = 0;
    for (int k = 0; k < 8; ++k) {
        const int nl = l + dl[k], ns = s + ds[k];
        const auto c = code(p, nl, ns);
        bool set = c != 0 && c != 8;
        if ((ds[k] < 0 && s <= 2) || (ds[k] > 0 && s >= 478) || (dl[k] < 0 && l <= 2) ||
            (dl[k] > 0 && l >= 398))
            set = true;
        if (set)
            mask |= 1 << k;
    }
    const auto own = code(p, l, s);
    auto cluster = [&](int cl, int cs, int m, int cls) {
        tally(clusterClass_, code(p, cl, cs));
        clusters_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(cl),
                       static_cast<std::uint16_t>(cs), static_cast<std::uint8_t>(m),
                       static_cast<std::uint8_t>(cls)});
        code(p, cl, cs) = 3;
    };
    if (mask == 0) {
        tally(isolatedClass_, own);
        if (own == kMarkDark) {
            isolatedDark_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                               static_cast<std::uint16_t>(s)});
            code(p, l, s) = 9;
        } else {
            isolated_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                           static_cast<std::uint16_t>(s)});
            code(p, l, s) = 4;
        }
        return;
    }
    if ((mask & 231) == 0) { // only W and E: a horizontal run
        int c = s + 1;
        while (c < 479) {
            const auto cc = code(p, l, c);
            if ((cc != kMarkBadGain && cc != kMarkDark && cc != kMarkExcessGain) ||
                code(p, l - 1, c + 1) != 0 || code(p, l + 1, c + 1) != 0)
                break;
            ++c;
        }
        const int n = c - s;
        if (n >= 10) {
            for (int k = s; k < c; ++k) {
                tally(rowClass_, code(p, l, k));
                code(p, l, k) = 2;
            }
            rows_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                       static_cast<std::uint16_t>(s), static_cast<std::uint16_t>(n)});
            rowClass_.detected += n;
        } else {
            for (int k = s; k < c; ++k)
                cluster(l, k, 24, 2);
        }
        return;
    }
    if ((mask & 189) == 0) { // only N and S: a vertical run
        int r = l + 1;
        while (r < 399 && code(p, r, s) != 0 && code(p, r + 1, s - 1) == 0 &&
               code(p, r + 1, s + 1) == 0)
            ++r;
        const int n = r - l;
        if (n < 10) {
            for (int k = l; k < r; ++k)
                cluster(k, s, 66, 2);
            return;
        }
        int u = l - 1;
        while (u > 1 && code(p, u, s) != 0)
            --u;
        u = std::max(u, 1);
        const int end = std::min(399, l + n + 200);
        int a = std::max(1, u - 200);
        while (a < end) {
            int rr = a + 1;
            while (rr <= end && rr < 399 && code(p, rr + 1, s - 1) == 0 &&
                   code(p, rr + 1, s + 1) == 0)
                ++rr;
            const int m = rr - a;
            if (m >= 10) {
                columns_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(a),
                              static_cast<std::uint16_t>(s), static_cast<std::uint16_t>(m)});
                columnClass_.detected += m;
                for (int k = a; k < a + m; ++k) {
                    tally(columnClass_, code(p, k, s));
                    code(p, k, s) = 1;
                }
            }
            a = a + m + 1;
        }
        return;
    }
    int cls = 0;
    if ((mask & 90) == 0)
        cls = 1;
    else if ((mask & 165) == 0)
        cls = 2;
    else if ((mask & 66) == 0)
        cls = 3;
    else if ((mask & 24) == 0)
        cls = 4;
    else if ((mask & 36) == 0)
        cls = 5;
    else if ((mask & 129) == 0)
        cls = 6;
    if (cls != 0) {
        cluster(l, s, mask, cls);
        return;
    }
    struct Direction {
        int dl, ds, code;
    };
    static constexpr Direction order[8] = {{-1, 0, 16},  {1, 0, 32},  {0, -1, 1},  {0, 1, 2},
                                           {-1, -1, 17}, {-1, 1, 18}, {1, -1, 33}, {1, 1, 34}};
    ++blobClass_.detected;
    for (const auto& d : order) {
        if (code(p, l + d.dl, s + d.ds) == 0) {
            tally(blobClass_, own);
            blobs_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                        static_cast<std::uint16_t>(s), static_cast<std::uint8_t>(d.code)});
            ++blobClass_.included;
            break;
        }
    }
    code(p, l, s) = 8;
}

void SensorCalibration::analyseBlemishMap() {
    passFlag_ = 1;
    rows_.clear();
    columns_.clear();
    clusters_.clear();
    blobs_.clear();
    isolated_.clear();
    isolatedDark_.clear();
    rowClass_ = columnClass_ = isolatedClass_ = clusterClass_ = ceilingClass_ = blobClass_ = {};
    ceilingPairs_ = 0;

    // Ceiling: the last sample of every line.
    for (int p = 0; p < 4; ++p)
        for (int l = 1; l <= 398; ++l) {
            if (!marked(p, l, 479))
                continue;
            ++ceilingClass_.detected;
            bool listed = true;
            if (marked(p, l - 1, 479) || marked(p, l + 1, 479))
                listed = ceilingPairs_++ < 6;
            if (listed) {
                tally(ceilingClass_, code(p, l, 479));
                clusters_.add(
                    {static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l), 479, 66, 3});
                ++ceilingClass_.included;
            }
            code(p, l, 479) = 10;
        }

    // The edges are not classified: set aside and put back afterwards.
    std::vector<std::pair<int, std::uint16_t>> aside;
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s)
                if (s == 0 || s >= 478 || l == 0 || l >= 398) {
                    auto& c = code(p, l, s);
                    if (c != 0)
                        aside.emplace_back(mapIndex(p, l, s), c);
                    c = 0;
                }

    scanRuns(true);
    scanRuns(false);

    for (int p = 0; p < 4; ++p)
        for (int l = 1; l <= 398; ++l)
            for (int s = 1; s <= 478; ++s)
                if (marked(p, l, s))
                    classifyPixel(p, l, s);

    for (const auto& [at, c] : aside)
        map_[static_cast<std::size_t>(at)] = c;

    isolatedClass_.detected = isolated_.total + isolatedDark_.total;
    clusterClass_.detected = clusters_.total;
}

void SensorCalibration::checkRowAverages() {
    for (int p = 0; p < 4; ++p) {
        const int a = kPlaneStart[p].line, b = kPlaneStart[p].sample;
        double before = 0, twoBefore = 0;
        for (int l = 1; l <= 398; ++l) {
            const int y = 2 * l + 3 - b;
            long sum = 0;
            for (int x = a + 2; x <= a + 956; x += 2)
                sum += gains_[static_cast<std::size_t>(y * kRawSamples + x)];
            const double m = double(sum) / 478.0;
            const double aMean = l == 1 ? m : before;
            const double xMean = l == 1 ? m : (l == 2 ? before : twoBefore);
            const long tm = long(m), ta = long(aMean), tx = long(xMean);
            const long e = long(0.1 * m + 0.9 * aMean);
            const long d =
                std::labs(tx - e) >= std::labs(tm - e) ? std::labs(tm - ta) : std::labs(tx - ta);
            if (d > params_.maxRowAvgDeviation) {
                rows_.add({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l), 1, 478});
                rowClass_.detected += 478;
                for (int s = 1; s <= 478; ++s) {
                    auto& c = code(p, l, s);
                    if (c == kMarkDark)
                        ++rowClass_.hot;
                    else if (c == kMarkExcessGain)
                        ++rowClass_.excess;
                    else
                        ++rowClass_.dead;
                    c = 2;
                }
            }
            twoBefore = before;
            before = m;
        }
    }
}

std::uint16_t SensorCalibration::gainAt(int y, int x) const {
    y = std::clamp(y, 0, kRawLines - 1);
    x = std::clamp(x, 0, kRawSamples - 1);
    return gains_[static_cast<std::size_t>(y * kRawSamples + x)];
}

void SensorCalibration::weightedRepair(int p, int l, int s, bool row) {
    const int at = rawIndex(p, l, s);
    const int y = at / kRawSamples, x = at % kRawSamples;
    const long n = gainAt(y - 2, x), so = gainAt(y + 2, x), w = gainAt(y, x - 2),
               e = gainAt(y, x + 2);
    const long nw = gainAt(y - 2, x - 2), ne = gainAt(y - 2, x + 2), sw = gainAt(y + 2, x - 2),
               se = gainAt(y + 2, x + 2);
    // Pairs across the defect: the one with the smallest difference weighs most.
    const long p1a = row ? ne : sw, p1b = row ? sw : ne;
    const long p2a = row ? n : w, p2b = row ? so : e;
    const long g1 = std::labs(p1a - p1b) + 64, g2 = std::labs(p2a - p2b) + 64,
               g3 = std::labs(nw - se) + 64;
    long long w1 = (g2 * g3) >> 6, w2 = (g1 * g3) >> 6, w3 = (g1 * g2) >> 6;
    const long long f = 1048576 / std::max<long long>(1, (w1 + w2 + w3 + 2) >> 2);
    w1 = (w1 * f + 128) >> 8;
    w2 = (w2 * f + 128) >> 8;
    w3 = (w3 * f + 128) >> 8;
    const long long g = (w1 * (p1a + p1b) + w2 * (p2a + p2b) + w3 * (nw + se) + 16384) >> 15;
    gains_[static_cast<std::size_t>(at)] = saturate16(g);
}

void SensorCalibration::correctGains(int pass) {
    excessSaved_.clear();
    for (int p = 0; p < 4; ++p)
        for (int l = 1; l <= 398; ++l)
            for (int s = 1; s <= 478; ++s)
                if (code(p, l, s) == kMarkExcessGain && excessSaved_.size() < kExcessSaveCapacity) {
                    const int at = rawIndex(p, l, s);
                    excessSaved_.push_back({gains_[static_cast<std::size_t>(at)],
                                            static_cast<std::uint16_t>(at % kRawSamples),
                                            static_cast<std::uint16_t>(at / kRawSamples)});
                    gains_[static_cast<std::size_t>(at)] = smoothed_[static_cast<std::size_t>(at)];
                }
    for (const auto& c : columns_.entries)
        for (int k = 0; k < c.length && c.line + k < kPlaneLines; ++k)
            weightedRepair(c.plane, c.line + k, c.sample, false);
    if (pass != 0)
        for (const auto& r : rows_.entries)
            for (int k = 0; k < r.length && r.sample + k < kPlaneSamples; ++k)
                weightedRepair(r.plane, r.line, r.sample + k, true);
    auto neighbour = [&](int p, int l, int s, int dl, int ds) -> long {
        const int at = rawIndex(p, l, s);
        return gainAt(at / kRawSamples + 2 * dl, at % kRawSamples + 2 * ds);
    };
    auto set = [&](int p, int l, int s, long g) {
        gains_[static_cast<std::size_t>(rawIndex(p, l, s))] = saturate16(g);
    };
    for (const auto& b : blobs_.entries) {
        const int dl = (b.direction & 16) ? -1 : (b.direction & 32) ? 1 : 0;
        const int ds = (b.direction & 1) ? -1 : (b.direction & 2) ? 1 : 0;
        set(b.plane, b.line, b.sample, neighbour(b.plane, b.line, b.sample, dl, ds));
    }
    for (const auto& c : clusters_.entries) {
        const int p = c.plane, l = c.line, s = c.sample;
        auto nb = [&](int dl, int ds) { return neighbour(p, l, s, dl, ds); };
        long g = gains_[static_cast<std::size_t>(rawIndex(p, l, s))];
        switch (c.patternClass) {
        case 1:
            g = (nb(-1, 0) + nb(1, 0) + nb(0, -1) + nb(0, 1) + 2) >> 2;
            break;
        case 2:
            g = (nb(-1, -1) + nb(-1, 1) + nb(1, -1) + nb(1, 1) + 2) >> 2;
            break;
        case 3:
            g = (nb(-1, 0) + nb(1, 0) + 1) >> 1;
            break;
        case 4:
            g = (nb(0, -1) + nb(0, 1) + 1) >> 1;
            break;
        case 5:
            g = (nb(-1, 1) + nb(1, -1) + 1) >> 1;
            break;
        case 6:
            g = (nb(-1, -1) + nb(1, 1) + 1) >> 1;
            break;
        default:
            break;
        }
        set(p, l, s, g);
    }
    for (const auto* list : {&isolated_, &isolatedDark_})
        for (const auto& i : list->entries)
            set(i.plane, i.line, i.sample,
                (neighbour(i.plane, i.line, i.sample, -1, 0) +
                 neighbour(i.plane, i.line, i.sample, 1, 0) +
                 neighbour(i.plane, i.line, i.sample, 0, -1) +
                 neighbour(i.plane, i.line, i.sample, 0, 1) + 2) >>
                    2);
}

const std::vector<std::uint8_t>& SensorCalibration::encodeGains() {
    // Percentiles per plane: the brightest 1 % sets unity.
    long lowest = 1024, highest = 0;
    std::vector<long> histogram(65536);
    for (int p = 0; p < 4; ++p) {
        std::fill(histogram.begin(), histogram.end(), 0);
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s)
                ++histogram[gains_[static_cast<std::size_t>(rawIndex(p, l, s))]];
        long count = 0, low = 1024;
        for (long v = 0; v < 1024; ++v) {
            count += histogram[static_cast<std::size_t>(v)];
            if (count >= 1920) {
                low = v + 1;
                break;
            }
        }
        count = 0;
        long high = 0;
        for (long v = 65535; v >= 0; --v) {
            count += histogram[static_cast<std::size_t>(v)];
            if (count >= 192) {
                high = v;
                break;
            }
        }
        lowest = std::min(lowest, low);
        highest = std::max(highest, high);
    }
    scaleFactor_ = 1024.0 / double(lowest);
    maximumGain_ = double(highest) / double(lowest);
    for (auto& g : gains_)
        g = saturate16(static_cast<long long>(g * scaleFactor_));
    writeIntermediate("s.tif", gains_); // the scaled gains the coder starts from

    excessList_.clear();
    encodeList_.clear();
    rangeList_.clear();
    colourCorrected_ = 0;
    minColourDelta_ = maxColourDelta_ = 0;
    std::fill(encodedGains_.begin(), encodedGains_.end(), 0);
    for (int x = 0; x < kRawSamples; ++x)
        for (int parity = 0; parity < 2; ++parity) {
            const int stream = 2 * x + parity;
            auto lineOf = [&](int k) { return 799 - parity - 2 * k; };
            auto value = [&](int k) {
                return (gains_[static_cast<std::size_t>(lineOf(k) * kRawSamples + x)] + 4) >> 3;
            };
            const int a = value(0), b = value(1);
            int start = b - std::clamp(b - a, -8, 7);
            if (a - start > 7)
                start -= 7;
            if (a - start < -8)
                start += 8;
            start = std::min(start, 255);
            put16(encodedGains_, static_cast<std::size_t>(2 * stream),
                  static_cast<std::uint16_t>(start));
            int c = start, previous = a;
            std::uint16_t word = 0;
            for (int k = 0; k < kStreamValues; ++k) {
                const int y = lineOf(k);
                const auto at = static_cast<std::size_t>(y * kRawSamples + x);
                const int v = value(k);
                const int step = v - c;
                const int diff = std::clamp(step, -8, 7);
                word = static_cast<std::uint16_t>(word | ((diff & 0xF) << (4 * (k % 4))));
                if (k % 4 == 3) {
                    put16(encodedGains_,
                          static_cast<std::size_t>(kStreamsStart + stream * 2 * kStreamWords +
                                                   2 * (k / 4)),
                          word);
                    word = 0;
                }
                c += diff;
                const int plane = planeOf(y, x);
                const auto mi = static_cast<std::size_t>(mapIndex(plane, y >> 1, x >> 1));
                const int neighbourDelta = v - previous;
                // A colour-dye mark stays: it both lists the pixel and counts in the patches.
                const bool dyed = colourDelta_[mi] == kMarkBadGain;
                if (!dyed && (v > 255 || (std::abs(neighbourDelta) > params_.minColorDelta &&
                                          std::abs(neighbourDelta) < params_.maxColorDelta))) {
                    const int recorded = std::clamp(neighbourDelta * 64, -32768, 32767);
                    colourDelta_[mi] =
                        static_cast<std::uint16_t>(static_cast<std::int16_t>(recorded));
                    minColourDelta_ = std::min<long>(minColourDelta_, neighbourDelta);
                    maxColourDelta_ = std::max<long>(maxColourDelta_, neighbourDelta);
                }
                previous = v;
                const GainCorrection entry{rawAddress(y, x), gains_[at]};
                auto& m = map_[mi];
                if (v > 255) {
                    rangeList_.add(entry);
                    m = 7;
                } else if (std::abs(step) > params_.maxGainDelta || dyed) {
                    if (dyed)
                        ++colourCorrected_;
                    if (m == kMarkExcessGain) {
                        excessList_.add(entry);
                        m = 5;
                    } else if (m == 0) {
                        encodeList_.add(entry);
                        m = 6;
                    }
                }
            }
        }
    // What the camera will hold: the coded gains.
    gains_ = decodeGainImage(encodedGains_);
    writeIntermediate("k.tif", colourDelta_); // the recorded colour deltas (× 64)
    writeIntermediate("g.tif", gains_);
    return encodedGains_;
}

const std::vector<std::uint8_t>& SensorCalibration::encodeBlemishList() {
    auto& out = encodedList_;
    std::fill(out.begin(), out.end(), 0);
    put16(out, 0, 1);
    put16(out, 2, static_cast<std::uint16_t>(passFlag_));
    int offset = 32;
    auto section = [&](int headerWord, std::size_t n, int entryBytes, int limit, auto&& write) {
        const int room = std::max(0, (limit - offset) / entryBytes);
        const int count =
            static_cast<int>(std::min<std::size_t>(n, static_cast<std::size_t>(room)));
        put16(out, static_cast<std::size_t>(2 * headerWord), static_cast<std::uint16_t>(offset));
        put16(out, static_cast<std::size_t>(2 * headerWord + 2), static_cast<std::uint16_t>(count));
        for (int i = 0; i < count; ++i)
            write(static_cast<std::size_t>(offset + i * entryBytes), static_cast<std::size_t>(i));
        offset = align4(offset + count * entryBytes);
        return count;
    };
    auto writeRun = [&](const std::vector<DefectRun>& list, long& written) {
        return [&list, &written, &out](std::size_t at, std::size_t i) {
            const auto& r = list[i];
            const auto addr = cameraAddress(r.plane, r.line, r.sample);
            put16(out, at, addr.row);
            put16(out, at + 2, addr.column);
            put16(out, at + 4, r.length);
            written += r.length;
        };
    };
    rowsWritten_ = columnsWritten_ = 0;
    section(2, columns_.entries.size(), 6, kListSectionEnd,
            writeRun(columns_.entries, columnsWritten_));
    section(4, rows_.entries.size(), 6, kListSectionEnd, writeRun(rows_.entries, rowsWritten_));
    rowClass_.included = rowsWritten_;
    columnClass_.included = columnsWritten_;
    clusterClass_.included = section(6, clusters_.entries.size(), 6, kListSectionEnd,
                                     [&](std::size_t at, std::size_t i) {
                                         const auto& c = clusters_.entries[i];
                                         const auto addr = cameraAddress(c.plane, c.line, c.sample);
                                         put16(out, at, addr.row);
                                         put16(out, at + 2, addr.column);
                                         put16(out, at + 4, c.patternClass);
                                     });
    section(8, blobs_.entries.size(), 6, kListSectionEnd, [&](std::size_t at, std::size_t i) {
        const auto& b = blobs_.entries[i];
        const auto addr = cameraAddress(b.plane, b.line, b.sample);
        put16(out, at, addr.row);
        put16(out, at + 2, addr.column);
        put16(out, at + 4, b.direction);
    });
    std::vector<PlanePixel> isolated = isolated_.entries;
    isolated.insert(isolated.end(), isolatedDark_.entries.begin(), isolatedDark_.entries.end());
    isolatedClass_.included =
        section(10, isolated.size(), 4, kIsolatedSectionEnd, [&](std::size_t at, std::size_t i) {
            const auto addr =
                cameraAddress(isolated[i].plane, isolated[i].line, isolated[i].sample);
            put16(out, at, addr.row);
            put16(out, at + 2, addr.column);
        });

    std::vector<GainCorrection> corrections;
    for (const auto* list : {&excessList_, &encodeList_, &rangeList_})
        corrections.insert(corrections.end(), list->entries.begin(), list->entries.end());
    std::stable_sort(corrections.begin(), corrections.end(), [](const auto& x, const auto& y) {
        return std::abs(x.gain - 1024) > std::abs(y.gain - 1024);
    });
    auto writeCorrection = [&](std::size_t at, const GainCorrection& c) {
        put16(out, at, c.address.row);
        put16(out, at + 2, c.address.column);
        put16(out, at + 4, c.gain);
    };
    const int n = static_cast<int>(corrections.size());
    const int start = offset;
    const int fit = std::min(n, std::max(0, (kListSectionEnd - start) / 6));
    put16(out, 24, static_cast<std::uint16_t>(start));
    put16(out, 26, static_cast<std::uint16_t>(fit));
    for (int i = 0; i < fit; ++i)
        writeCorrection(static_cast<std::size_t>(start + 6 * i),
                        corrections[static_cast<std::size_t>(i)]);
    int written = fit;
    std::size_t marker = static_cast<std::size_t>(start + 6 * fit + 2);
    if (fit < n) {
        const int overflow = std::min(n - fit, kOverflowCapacity);
        put16(out, 28, 0x8000);
        put16(out, 30, static_cast<std::uint16_t>(overflow));
        for (int i = 0; i < overflow; ++i)
            writeCorrection(static_cast<std::size_t>(kOverflowStart + 6 * i),
                            corrections[static_cast<std::size_t>(fit + i)]);
        written += overflow;
        marker = static_cast<std::size_t>(kOverflowStart + 6 * overflow + 2);
    }
    put16(out, marker, kEndMarker);
    correctionsWritten_ = written;
    firstExcluded_ = written < n ? corrections[static_cast<std::size_t>(written)].gain : kUnityGain;
    return encodedList_;
}

void SensorCalibration::findColourPatches() {
    patches_.clear();
    std::vector<std::uint8_t> seen(kRawPixels);
    std::vector<std::pair<int, int>> stack;
    const int band = std::max(0, params_.colorExcludeCnt);
    for (int p = 0; p < 4; ++p)
        for (int l = 0; l < kPlaneLines; ++l)
            for (int s = 0; s < kPlaneSamples; ++s) {
                const auto at = static_cast<std::size_t>(mapIndex(p, l, s));
                if (colourDelta_[at] == 0 || seen[at])
                    continue;
                long area = 0;
                bool nearBorder = false;
                seen[at] = 1;
                stack.assign(1, {l, s});
                while (!stack.empty()) {
                    const auto [cl, cs] = stack.back();
                    stack.pop_back();
                    ++area;
                    nearBorder = nearBorder || cl < band || cs < band || cl >= kPlaneLines - band ||
                                 cs >= kPlaneSamples - band;
                    const int next[4][2] = {{cl - 1, cs}, {cl + 1, cs}, {cl, cs - 1}, {cl, cs + 1}};
                    for (const auto& n : next) {
                        if (n[0] < 0 || n[0] >= kPlaneLines || n[1] < 0 || n[1] >= kPlaneSamples)
                            continue;
                        const auto ni = static_cast<std::size_t>(mapIndex(p, n[0], n[1]));
                        if (colourDelta_[ni] != 0 && !seen[ni]) {
                            seen[ni] = 1;
                            stack.push_back({n[0], n[1]});
                        }
                    }
                }
                if (area >= params_.maxColorPixels && !nearBorder)
                    patches_.push_back({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                                        static_cast<std::uint16_t>(s), area});
            }
}

int SensorCalibration::evaluate() {
    const auto& p = params_;
    auto percent = [](long included, long detected) {
        return detected > 0 ? double(included) / double(detected) * 100.0 : 100.0;
    };
    const char* pf[6] = {"PASS", "PASS", "PASS",
                         "PASS", "PASS", "PASS"}; // rows cols iso clus ceil blob
    const char* gainPf = "PASS";
    static constexpr const char* cornerReport[4] = {
        "Top Right Corner of Image, %ld Area.\n", "Top Left Corner of Image, %ld Area.\n",
        "Bottom Right Corner of Image, %ld Area.\n", "Bottom Left Corner of Image, %ld Area.\n"};
    static constexpr const char* cornerOperator[4] = {
        "Top Right Corner of Image, %ld Area.\n", "Top Left Corner of Image, %ld Area.\n",
        "Bottom Right Corner of Image. %ld Area.\n", "Bottom Left Corner of Image. %ld Area.\n"};
    const int corner = std::clamp(vignettingCorner_, 0, 3);
    // Only the first failure of the run reaches the operator.
    bool failedOnce = false;
    auto check = [&](bool condition, const std::string& op, const std::string& text) {
        if (!condition)
            return false;
        report_ += "FAILURE: " + text;
        failedChecks_.push_back(text);
        if (!failedOnce)
            operatorMessage_ = op;
        failedOnce = true;
        passFlag_ = 0;
        return true;
    };
    operatorMessage_.clear();

    check(!bluePresent_, "Sensor Failed!\nNo Blue Image for Color Correction.\n",
          "No Blue Image for Color Correction.\n");
    check(vignettingArea_ > 4000,
          "Sensor Failed!\nGross Vignetting. \n" + format(cornerOperator[corner], vignettingArea_),
          "Gross Vignetting. \n" + format(cornerReport[corner], vignettingArea_));
    if (vignettingArea_ > 1000)
        report_ += "WARNING: Gross Vignetting. " + format(cornerReport[corner], vignettingArea_);
    findColourPatches();
    // Per colour, in the report's order B, G, T, R (planes 2, 1, 3, 0).
    static constexpr int colourPlanes[4] = {2, 1, 3, 0};
    static constexpr const char* colourNames[4] = {"B", "G", "T", "R"};
    long patchCount[4] = {}, largestArea = 0;
    double areaSum[4] = {}, areaSquares[4] = {};
    for (const auto& patch : patches_)
        for (int c = 0; c < 4; ++c)
            if (colourPlanes[c] == patch.plane) {
                ++patchCount[c];
                areaSum[c] += double(patch.area);
                areaSquares[c] += double(patch.area) * double(patch.area);
                largestArea = std::max(largestArea, patch.area);
            }
    const bool patchesFail = largestArea > p.allowedPatchArea ||
                             std::any_of(std::begin(patchCount), std::end(patchCount),
                                         [&](long n) { return n > p.allowedPatchCnt; });
    check(patchesFail, "Sensor Failed!\nUncorrectable Color Patches.\n",
          "Uncorrectable Color Patches.\n");
    if (check(blobClass_.detected > p.allowedBlobPixels ||
                  blobClass_.detected != blobClass_.included,
              "Sensor Failed!\nUncorrectable Blobs.\n", "Uncorrectable Blobs.\n"))
        pf[5] = "FAIL";
    if (check(ceilingClass_.detected != ceilingClass_.included,
              "Sensor Failed!\nUncorrectable Ceiling Pixels.\n",
              format("Uncorrectable Ceiling Pixels. \t%3.0f Percent Included\n",
                     percent(ceilingClass_.included, ceilingClass_.detected))))
        pf[4] = "FAIL";
    if (check(ceilingClass_.detected > p.allowedCeilingPixels,
              "Sensor Failed!\nExcessive Ceiling Pixels\n", "Excessive Ceiling Pixels.\n"))
        pf[4] = "FAIL";
    if (check(rowClass_.detected > rowClass_.included, "Sensor Failed!\nUncorrectable Rows.\n",
              format("Uncorrectable Rows.\t%3.0f Percent Included\n",
                     percent(rowClass_.included, rowClass_.detected))))
        pf[0] = "FAIL";
    if (check(rowClass_.detected > p.allowedRowPixels, "Sensor Failed!\nExcessive Rows.\n",
              "Excessive Rows.\n"))
        pf[0] = "FAIL";
    if (check(columnClass_.detected > columnClass_.included,
              "Sensor Failed!\nUncorrectable Columns.\n",
              format("Uncorrectable Columns.\t%3.0f Percent Included\n",
                     percent(columnClass_.included, columnClass_.detected))))
        pf[1] = "FAIL";
    if (check(columnClass_.detected > p.allowedColumnPixels, "Sensor Failed!\nExcessive Columns.\n",
              "Excessive Columns.\n"))
        pf[1] = "FAIL";
    if (check(clusterClass_.detected > clusterClass_.included,
              "Sensor Failed!\nUncorrectable Clustered Pixels.\n",
              format("Uncorrectable Clustered Pixels.\t%3.0f Percent Included\n",
                     percent(clusterClass_.included, clusterClass_.detected))))
        pf[3] = "FAIL";
    if (check(clusterClass_.detected > p.allowedClusterPixels,
              "Sensor Failed!\nExcessive Clustered Pixels.\n", "Excessive Clustered Pixels.\n"))
        pf[3] = "FAIL";
    const double isolatedPercent = percent(isolatedClass_.included, isolatedClass_.detected);
    if (check(isolatedClass_.detected > isolatedClass_.included,
              "Sensor Failed!\nUncorrectable Pixels.\n",
              format("Uncorrectable Pixels.\t%3.0f Percent Included\n", isolatedPercent)))
        pf[2] = "FAIL";
    if (check(isolatedClass_.detected > p.allowedSinglePixels,
              "Sensor Failed!\nExcessive Pixels.\n",
              format("Excessive Pixels.\t%3.0f Percent Included\n", isolatedPercent)))
        pf[2] = "FAIL";
    if (failedOnce && bluePresent_ && colourDye_ > 100)
        operatorMessage_ = "Gain Creation Failed!\nBlue Image Color Patches\n";
    check(doubleColumn_ > 10, "Sensor Failed!\nDouble columns. Bad Sensor.\n",
          format("Double columns. Largest double column: %ld.  Bad Sensor.\n", doubleColumn_));
    check(doubleRow_ > 10, "Sensor Failed!\nDouble rows. Bad Sensor.\n",
          format("Double rows. Largest double row: %ld.  Bad Sensor.\n", doubleRow_));
    check(columnOfClusters_ > 10, "Sensor Failed!\nColumns of Clusters. Bad Amplifier?\n",
          format("Columns of Clusters. Largest column: %ld.  Bad Amplifier?\n", columnOfClusters_));
    check(rowOfClusters_ > 10, "Sensor Failed!\nRows of Clusters. Bad Amplifier?\n",
          format("Rows of Clusters. Largest row: %ld.  Bad Amplifier?\n", rowOfClusters_));
    check(darkCount_ > p.allowedBlackPixels, "Sensor Failed!\nExcessive Black Pixels.\n",
          "Excessive Black Pixels.\n");
    const long gainsDetected = excessList_.total + encodeList_.total + rangeList_.total;
    if (check(gainsDetected > correctionsWritten_ &&
                  std::labs(firstExcluded_ - 1024) > p.maxExcludedGain,
              "Sensor Failed!\nUncorrectable Gains.\n",
              format("Uncorrectable Gains. \t%3.0f Percent Included\n",
                     percent(correctionsWritten_, gainsDetected))))
        gainPf = "FAIL";
    if (check(excessList_.total > p.allowedGainPixels, "Sensor Failed!\nExcessive Gains.\n",
              "Excessive Gains.\n"))
        gainPf = "FAIL";
    check(encodeList_.total > p.allowedCodePixels, "Sensor Failed!\nExcessive Encodes.\n",
          "Excessive Encodes.\n");
    check(rangeList_.total > p.allowedFactorPixels, "Sensor Failed!\nExcessive Factors.\n",
          "Excessive Factors.\n");
    check(p.allowedAverageDark < darkAverage_, "Sensor Failed!\nExcessive Dark Current.\n",
          "Excessive Dark Current.\n");
    check(whiteMean_ < p.allowedAverageWhiteMin || whiteMean_ > p.allowedAverageWhiteMax,
          format("Gain Creation Failed!\nIncorrect White Level Exposure of %6f.\nFlash Failure?\n",
                 whiteMean_),
          "Incorrect White Level Exposure. Flash Failure?\n");
    check(blueMean_ < p.allowedAverageBlueMin || blueMean_ > p.allowedAverageBlueMax,
          "Gain Creation Failed!\nIncorrect Blue Level Exposure.\nFlash Failure?\n",
          "Incorrect Blue Level Exposure. Flash Failure?\n");
    if (maximumGain_ > 2)
        report_ += "Warning: High Vignetting. Max Gain Greater than 2.\n";

    // The body.
    const long detected = rowClass_.detected + columnClass_.detected + isolatedClass_.detected +
                          clusterClass_.detected + blobClass_.detected;
    const long included = rowClass_.included + columnClass_.included + isolatedClass_.included +
                          clusterClass_.included + blobClass_.included;
    std::string& r = report_;
    r += "\nSummary\n=======\nSensor:\t";
    if (passFlag_ == 1)
        r += "PASSED\n";
    else
        r += "FAILED\n";
    r += format("Total Detected Bad Pixels:\t%6ld\n", detected);
    r += format("Total Included Bad Pixels:\t%6ld\n", included);
    r += format("Total Detected Bad Gains:\t%6ld\n", gainsDetected);
    r += format("Total Included Bad Gains:\t%6ld\n\n", correctionsWritten_);
    r += "General Info:\n=============\n";
    r += format("Dark Current\tAverage:\t%6.0f\tSTND Dev:\t%6.0f\n", darkAverage_, darkDeviation_);
    r += "Dark Offsets\tLow End:\t    --\tHigh End:\t    --\t\n";
    r += format("Gains\t\tExposure:\t%6.0f\n", whiteMean_);
    r += format("Color\t\tExposure:\t%6.0f\n", blueMean_);
    r += format("Gains Scale:\tFactor:\t%6.2f\t\tMax Gain:\t%6.2f\n", scaleFactor_, maximumGain_);
    r += format("DAC \t\tSetting:\t%6d\n", dacSetting_);
    r += "Noise\t\tDyn.Range:\t    --\tSTND Dev:\t    --\n\n";
    r += format("Color Patches: %6d  Thresh Cnt: %4d  Largest Area: %6.2ld  Thresh Area: %6d\t%s\n",
                static_cast<int>(patches_.size()), p.allowedPatchCnt, largestArea,
                p.allowedPatchArea, patchesFail ? "FAIL" : "PASS");
    r += "=============\n";
    if (!patches_.empty())
        for (int c = 0; c < 4; ++c) {
            const double n = double(patchCount[c]);
            const double mean = n > 0 ? areaSum[c] / n : 0.0;
            const double deviation =
                n > 0 ? std::sqrt(std::max(0.0, areaSquares[c] / n - mean * mean)) : 0.0;
            r += format("Color %s Total:\t%6ld\tAvg Area:%6.0f\tStd_dev:%6.0f\n", colourNames[c],
                        patchCount[c], mean, deviation);
        }
    r += "\nRows & Cols\t  Total\tAverage Length\n===========\t  -----\t--------------\n";
    auto average = [](long total, long n) { return n > 0 ? double(total) / double(n) : 0.0; };
    r += format("Rows\t\t%6ld\t%6.0f\n", rows_.total, average(rowClass_.detected, rows_.total));
    r += format("Columns\t\t%6ld\t%6.0f\n\n", columns_.total,
                average(columnClass_.detected, columns_.total));
    r += "Bad Pixels Detected Included Thresh   P/F  Dead     Hot      Excess\n";
    r += "==========                   Pixels        Pixels   Pixels   Gains\n";
    r += "           -------- -------- ------   ---  ------   ------   ---------\n";
    auto line = [&](const char* label, const ClassCounts& c, int threshold, const char* verdict,
                    bool excess = true) {
        r += format("%s%6ld   %6ld    %6d %6s%6ld %6ld %6ld\n", label, c.detected, c.included,
                    threshold, verdict, c.dead, c.hot, excess ? c.excess : 0L);
    };
    line("Rows:     ", rowClass_, p.allowedRowPixels, pf[0]);
    line("Columns:  ", columnClass_, p.allowedColumnPixels, pf[1]);
    line("Isolated: ", isolatedClass_, p.allowedSinglePixels, pf[2], false);
    line("Clusters: ", clusterClass_, p.allowedClusterPixels, pf[3]);
    line("Ceiling:  ", ceilingClass_, p.allowedCeilingPixels, pf[4]);
    r += format("Ceiling Pairs:  %6ld\n", ceilingPairs_);
    r += format("Blobs:    %6ld   %6ld    %6d %6s\n\n", blobClass_.detected, blobClass_.included,
                p.allowedBlobPixels, pf[5]);
    r += "Bad Gains\tDetected  Included\n=========\t--------  --------\n";
    r += format("Excessive Gains\t%6ld\n", excessList_.total);
    r += format("Encode Failures\t%6ld\n", encodeList_.total);
    r += format("Out of Range\t%6ld\n", rangeList_.total);
    r += format("First Excluded Bad Gain Value = %6ld (1023 = Unity)\n", firstExcluded_);
    r += format("Max Allowed Excluded Bad Gain Value = 1023 +/-%6d (1023 = Unity)\n",
                p.maxExcludedGain);
    r += format("Gains Total\t%6ld\t%6ld\n", gainsDetected, correctionsWritten_);
    r += format("Threshold\t%6d\t%6s\n\n", p.allowedGainPixels, gainPf);
    r += "Corrected Bad Color\n===================\n";
    r += format("Color Dye Corrected Pixels\t%6ld\t\t(Included as bad pixels). \n", colourDye_);
    r += format("Color Corrected Pixels\t%6ld\t\t(Included in gain count already). \n",
                colourCorrected_);
    r += format("Min Color Delta:\t%6ld\tMax Color Delta:%6ld\n\n", minColourDelta_,
                maxColourDelta_);
    r += "Coordinates of Bad Color Patches\n=================================\n";
    r += "Number\t\t\tStart Line\tStart Sample\tArea\tColor\n";
    r += "------\t\t\t----------\t------------\t------\t-----\n";
    static constexpr const char* planeLetters[4] = {"R", "G", "B", "T"};
    for (std::size_t i = 0; i < patches_.size() && i < 30; ++i) {
        const auto& patch = patches_[i];
        const auto a = cameraAddress(patch.plane, patch.line, patch.sample);
        r += format("%6d\t\t\t%6d\t\t%6d\t\t%6.0f\t%6s\n", static_cast<int>(i + 1), a.row, a.column,
                    double(patch.area), planeLetters[patch.plane]);
    }
    r += "Coordinates of Bad Rows & Columns\n=================================\n";
    r += "Number\t\t\tStart Line\tStart Sample\tLength\tColor\n";
    r += "------\t\t\t----------\t------------\t------\t-----\n";
    static constexpr const char* letters[4] = {"R", "G", "B", "T"};
    auto runs = [&](const char* title, const std::vector<DefectRun>& list) {
        r += title;
        if (list.empty())
            r += "None\n";
        int number = 0;
        for (const auto& d : list) {
            const auto a = cameraAddress(d.plane, d.line, d.sample);
            r += format("%6d\t\t\t%6d\t\t%6d\t\t%6d\t%s\n", ++number, a.row, a.column, d.length,
                        letters[d.plane]);
        }
    };
    runs("Rows:\n", rows_.entries);
    runs("Columns:\n", columns_.entries);
    r += "Reset Image Statistics\n======================\n";
    r += format("Reset image average:\t%6ld\n", reset_.average);
    r += format("Reset image stnd dev:\t%6ld\n", reset_.deviation);
    r += format("Reset image low count:\t%6ld\n", reset_.lowCount);
    r += format("Reset image high count:\t%6ld\n", reset_.highCount);
    r += format("Reset image blem count:\t%6ld\n", reset_.blemishes);
    r += format("Reset image high value:\t%6ld\n", reset_.highValue);
    r += format("Ceiling:\t%6ld   (= 1023 - %3ld)\n", reset_.ceiling, reset_.ceiling >> 6);
    return passFlag_;
}

const std::array<long, 4>& SensorCalibration::colourCorrections() {
    if (passes_ > 0) {
        const ChannelMeans m = whiteMeans(white64_); // B, G, T, R
        colourLevels_ = {std::lround(m[0]), std::lround(m[3]), std::lround(m[1]),
                         std::lround(m[2])};
    }
    return colourLevels_;
}

void SensorCalibration::colourReport(const std::array<long, 4>& levels) {
    report_ += "\nColor Conversion:\n=================\n";
    report_ += format("BRGT_levels: %ld %ld %ld %ld\n", levels[0], levels[1], levels[2], levels[3]);
}

bool SensorCalibration::saveWorkingFiles(const std::filesystem::path& gainFile,
                                         const std::filesystem::path& blemishFile) {
    bool raw = true;
    if (diagnosticFiles_ >= 2) {
        if (!gainFile.empty())
            raw = platform::writeFileAtomically(gainFile, encodedGains_);
        if (!blemishFile.empty())
            raw = platform::writeFileAtomically(blemishFile, encodedList_) && raw;
    }
    if (diagnosticFiles_ < 3 || workingFolder_.empty())
        return raw && !workingFilesFailed_;
    auto write = [&](const char* name, const std::vector<std::uint16_t>& frame) {
        return imaging::WriteMono16Tiff(workingFolder_ / name, kRawSamples, kRawLines,
                                        frame.data()) == 0;
    };
    // The white average as one white exposure: replaying it gives the same gains.
    bool ok = write("a.tif", white64_) && write("z.tif", dark_) && write("b.tif", map_);
    if (resetPresent_) {
        std::vector<std::uint16_t> raw(kRawPixels);
        for (int p = 0; p < 4; ++p)
            for (int l = 0; l < kPlaneLines; ++l)
                for (int s = 0; s < kPlaneSamples; ++s)
                    raw[static_cast<std::size_t>(rawIndex(p, l, s))] =
                        reset_frame_[static_cast<std::size_t>(mapIndex(p, l, s))];
        ok = write("r.tif", raw) && ok;
    }
    return ok && raw && !workingFilesFailed_;
}

int SensorCalibration::calculate() {
    createGains();
    buildBlemishMap();
    darkBlemishes();
    resetStatistics();
    colourImageBlemishes();
    analyseBlemishMap();
    correctGains(0);
    checkRowAverages();
    correctGains(1);
    encodeGains();
    encodeBlemishList();
    return evaluate();
}

bool decodeBlemishList(ByteSpan list, DecodedBlemishList& out) {
    out = {};
    if (list.size() != kEncodedBlemishBytes)
        return false;
    out.version = get16(list, 0);
    out.passed = get16(list, 2);
    auto sectionOf = [&](int word, int entryBytes, int& offset, int& count) {
        offset = get16(list, static_cast<std::size_t>(2 * word));
        count = get16(list, static_cast<std::size_t>(2 * word + 2));
        return offset >= 32 &&
               static_cast<std::size_t>(offset) + static_cast<std::size_t>(count) * entryBytes <=
                   list.size();
    };
    auto pixel = [&](std::size_t at, int& p, int& l, int& s) {
        return planePixel({get16(list, at), get16(list, at + 2)}, p, l, s);
    };
    int offset = 0, count = 0, p = 0, l = 0, s = 0;
    for (int which = 0; which < 2; ++which) {
        if (!sectionOf(2 + 2 * which, 6, offset, count))
            return false;
        auto& target = which == 0 ? out.columns : out.rows;
        for (int i = 0; i < count; ++i) {
            const auto at = static_cast<std::size_t>(offset + 6 * i);
            if (!pixel(at, p, l, s))
                return false;
            target.push_back({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                              static_cast<std::uint16_t>(s), get16(list, at + 4)});
        }
    }
    if (!sectionOf(6, 6, offset, count))
        return false;
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(offset + 6 * i);
        if (!pixel(at, p, l, s))
            return false;
        out.clusters.push_back({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                                static_cast<std::uint16_t>(s), 0,
                                static_cast<std::uint8_t>(get16(list, at + 4))});
    }
    if (!sectionOf(8, 6, offset, count))
        return false;
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(offset + 6 * i);
        if (!pixel(at, p, l, s))
            return false;
        out.blobs.push_back({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                             static_cast<std::uint16_t>(s),
                             static_cast<std::uint8_t>(get16(list, at + 4))});
    }
    if (!sectionOf(10, 4, offset, count))
        return false;
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<std::size_t>(offset + 4 * i);
        if (!pixel(at, p, l, s))
            return false;
        out.isolated.push_back({static_cast<std::uint8_t>(p), static_cast<std::uint16_t>(l),
                                static_cast<std::uint16_t>(s)});
    }
    auto corrections = [&](int from, int n) {
        for (int i = 0; i < n; ++i) {
            const auto at = static_cast<std::size_t>(from + 6 * i);
            out.corrections.push_back(
                {{get16(list, at), get16(list, at + 2)}, get16(list, at + 4)});
        }
    };
    if (!sectionOf(12, 6, offset, count))
        return false;
    corrections(offset, count);
    std::size_t marker = static_cast<std::size_t>(offset + 6 * count + 2);
    if (get16(list, 28) == 0x8000) {
        const int overflow = get16(list, 30);
        if (overflow > kOverflowCapacity)
            return false;
        corrections(kOverflowStart, overflow);
        marker = static_cast<std::size_t>(kOverflowStart + 6 * overflow + 2);
    }
    out.endMarker = marker + 2 <= list.size() && get16(list, marker) == kEndMarker;
    return true;
}

std::vector<std::uint16_t> decodeGainImage(ByteSpan image) {
    if (image.size() != kEncodedGainBytes)
        return {};
    std::vector<std::uint16_t> gains(kRawPixels);
    for (int stream = 0; stream < kStreams; ++stream) {
        const int x = stream / 2, parity = stream % 2;
        int c = get16(image, static_cast<std::size_t>(2 * stream));
        for (int k = 0; k < kStreamValues; ++k) {
            const auto word =
                get16(image, static_cast<std::size_t>(kStreamsStart + stream * 2 * kStreamWords +
                                                      2 * (k / 4)));
            int nibble = (word >> (4 * (k % 4))) & 0xF;
            if (nibble >= 8)
                nibble -= 16;
            c += nibble;
            const int y = 799 - parity - 2 * k;
            gains[static_cast<std::size_t>(y * kRawSamples + x)] =
                static_cast<std::uint16_t>(std::clamp(c, 0, 8191) * 8);
        }
    }
    return gains;
}

} // namespace kv::diagnostics
