#include "imaging/process/dsp_simulation.h"

#include "imaging/process/cell_render.h"
#include "imaging/process/gamma_table.h"
#include "imaging/process/lumin_table.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"

#include <algorithm>
#include <cstdio>

namespace kv::process {
namespace {

using Plane = std::vector<std::int32_t>;

constexpr std::int32_t kMax16 = 65535;
constexpr std::int32_t kMinSigned = -32768;
constexpr std::int32_t kMaxSigned = 32767;

std::int32_t clampTo(std::int64_t v, std::int32_t low, std::int32_t high) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, low, high));
}

// The fixed-point product of the later stages: (a x b + 2^(n-1)) >> n.
std::int64_t fixedProduct(std::int64_t a, std::int64_t b, int n) {
    return (a * b + (std::int64_t(1) << (n - 1))) >> n;
}

// YCbCr <-> RGB on 16-bit values with the coefficients of the colour conversions x 8192.
struct Ycc {
    std::int32_t y, cb, cr;
};
Ycc rgbToYcc(std::int64_t r, std::int64_t g, std::int64_t b) {
    return {clampTo((2449 * r + 4809 * g + 934 * b + 4096) >> 13, 0, kMax16),
            clampTo((-1382 * r - 2714 * g + 4096 * b + 4096) >> 13, kMinSigned, kMaxSigned),
            clampTo((4096 * r - 3430 * g - 666 * b + 4096) >> 13, kMinSigned, kMaxSigned)};
}
void yccToRgb(std::int64_t y, std::int64_t cb, std::int64_t cr, std::int32_t* rgb) {
    rgb[0] = clampTo(y + ((11485 * cr + 4096) >> 13), 0, kMax16);
    rgb[1] = clampTo(y - ((2819 * cb + 5850 * cr + 4096) >> 13), 0, kMax16);
    rgb[2] = clampTo(y + ((14516 * cb + 4096) >> 13), 0, kMax16);
}

void append16(Bytes& out, std::int32_t v) {
    appendLe16(out, static_cast<std::uint16_t>(std::clamp<std::int32_t>(v, 0, kMax16)));
}

// Writes the numbered debug pictures; does nothing without a folder.
class DebugWriter {
public:
    DebugWriter(const std::optional<std::filesystem::path>& folder, DspResult& result)
        : folder_(folder), result_(result) {}

    bool enabled() const { return folder_.has_value(); }
    bool ok() const { return ok_; }

    // Four channels of 10-bit samples as an RGBT8 picture: each sample shifted right by 2 and
    // limited to 255, in the order R, G, B, T.
    void channels(const std::array<Plane, 4>& ch) {
        if (!next())
            return;
        Bytes data;
        data.reserve(kCellCount * 4);
        for (std::size_t i = 0; i < kCellCount; ++i)
            for (int c : {kR, kG, kB, kT})
                data.push_back(static_cast<std::uint8_t>(std::clamp(ch[c][i] >> 2, 0, 255)));
        write(kCellColumns, kCellRows, 4, 8, data, false);
    }
    // The R, G, B channels of 10-bit samples as 16-bit planes (shifted left by 6).
    void channelsRgb16(const std::array<Plane, 4>& ch) {
        if (!next())
            return;
        Bytes data;
        data.reserve(kCellCount * 6);
        for (int c : {kR, kG, kB})
            for (std::size_t i = 0; i < kCellCount; ++i)
                append16(data, ch[c][i] << 6);
        write(kCellColumns, kCellRows, 3, 16, data, true);
    }
    void rgb16(const Plane& r, const Plane& g, const Plane& b) {
        if (!next())
            return;
        Bytes data;
        data.reserve(kCellCount * 6);
        for (const Plane* p : {&r, &g, &b})
            for (std::int32_t v : *p)
                append16(data, v);
        write(kCellColumns, kCellRows, 3, 16, data, true);
    }
    // YCbCr planes with 32768 added to Cb and Cr.
    void ycc16(const std::array<Plane, 3>& ycc) {
        if (!next())
            return;
        Bytes data;
        data.reserve(kCellCount * 6);
        for (int c = 0; c < 3; ++c)
            for (std::int32_t v : ycc[c])
                append16(data, c == 0 ? v : v + 32768);
        write(kCellColumns, kCellRows, 3, 16, data, true);
    }
    // The RGB picture of YCbCr planes.
    void yccAsRgb16(const std::array<Plane, 3>& ycc) {
        if (!enabled())
            return;
        Plane r(kCellCount), g(kCellCount), b(kCellCount);
        for (std::size_t i = 0; i < kCellCount; ++i) {
            std::int32_t rgb[3];
            yccToRgb(ycc[0][i], ycc[1][i], ycc[2][i], rgb);
            r[i] = rgb[0];
            g[i] = rgb[1];
            b[i] = rgb[2];
        }
        rgb16(r, g, b);
    }
    void mono16(const Plane& plane, int width = kCellColumns, int height = kCellRows) {
        if (!next())
            return;
        Bytes data;
        data.reserve(plane.size() * 2);
        for (std::int32_t v : plane)
            append16(data, v);
        write(width, height, 1, 16, data, false);
    }

private:
    bool next() { return enabled() && ok_ && index_ < kDspDebugCount; }

    void write(int width, int height, int channels, int bits, const Bytes& data, bool planes) {
        char name[64];
        std::snprintf(name, sizeof name, "%03d%s", index_, kDspDebugNames[index_]);
        ++index_;
        const std::filesystem::path path = *folder_ / name;
        if (imaging::WriteDebugPicture(path, std::uint32_t(width), std::uint32_t(height), channels,
                                       std::int16_t(bits), data, planes) != status::Ok) {
            ok_ = false;
            result_.error = "cannot write " + path.string();
            return;
        }
        result_.debugFiles.push_back(path);
    }

    const std::optional<std::filesystem::path>& folder_;
    DspResult& result_;
    int index_ = 0;
    bool ok_ = true;
};

class Progress {
public:
    Progress(Operator* op, int total) : op_(op) {
        if (op_)
            op_->beginProgress("DSP Simulation", total);
    }
    ~Progress() {
        if (op_)
            op_->endProgress();
    }
    // False when the operator asked to stop.
    bool step(const char* stage) {
        if (!op_)
            return true;
        op_->setProgressText(stage);
        op_->setProgress(++done_);
        op_->pumpMessages();
        return !op_->cancelled();
    }

private:
    Operator* op_;
    long done_ = 0;
};

} // namespace

GammaGainTable DefaultGammaGainTable() {
    return BuiltInGammaTable();
}

bool ParseGammaGainTable(const std::uint8_t* bytes, std::size_t size, GammaGainTable& table) {
    if (bytes == nullptr || size != kGammaGainBytes)
        return false;
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    return true;
}

std::int32_t SharpeningGain(std::int32_t y, std::int32_t sharpened, int high, int low) {
    // The weight looks at the 10-bit luminance, the thresholds' units.
    const std::int64_t y10 = y >> 6;
    std::int64_t w = 0;
    if (high <= low) {
        w = y10 >= high ? 64 : 0; // no ramp between equal or crossed thresholds
    } else if (y10 > high) {
        w = 64;
    } else if (y10 >= low) {
        const std::int64_t k = 16384 / (std::int64_t(high) - low);
        w = std::min<std::int64_t>(64, (k * y10 - k * low) >> 8);
    }
    std::int64_t gain = 4096;
    if (w != 0 && y > 0)
        gain = 4096 + (64 * std::int64_t(sharpened) / y - 64) * w;
    return clampTo(gain, 0, kMax16);
}

bool VariantUsesFlashMatrix(DspVariant v) {
    return v == DspVariant::B || v == DspVariant::D;
}
bool VariantWritesDebug(DspVariant v) {
    return v == DspVariant::C || v == DspVariant::D;
}

DspResult RunDspSimulation(const std::uint16_t* mosaic10, const DspParams& params,
                           const DspOptions& options, Operator* op) {
    DspResult result;
    DebugWriter debug(options.debugFolder, result);
    Progress progress(op, 10);
    auto stop = [&](const char* stage) {
        if (!debug.ok())
            return true;
        if (!progress.step(stage)) {
            result.error = "cancelled";
            return true;
        }
        return false;
    };

    // The raw channels, one cell per index (row-major, row 0 at the top).
    std::array<Plane, 4> ch;
    for (Plane& p : ch)
        p.resize(kCellCount);
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k) {
            const CellSamples c = MosaicCell(mosaic10, k, j);
            const std::size_t i = std::size_t(j) * kCellColumns + k;
            ch[kB][i] = c.b & 1023;
            ch[kG][i] = c.g & 1023;
            ch[kT][i] = c.t & 1023;
            ch[kR][i] = c.r & 1023;
        }

    if (debug.enabled()) {
        // The quick cell rendering first, to compare the simulated result with.
        std::vector<std::uint8_t> reference(kCellCount * 3);
        RenderMosaicCells(mosaic10, reference.data());
        std::array<Plane, 3> ycc;
        Plane r(kCellCount), g(kCellCount), b(kCellCount);
        for (Plane& p : ycc)
            p.resize(kCellCount);
        for (std::size_t i = 0; i < kCellCount; ++i) {
            r[i] = reference[3 * i] * 257;
            g[i] = reference[3 * i + 1] * 257;
            b[i] = reference[3 * i + 2] * 257;
            const Ycc v = rgbToYcc(r[i], g[i], b[i]);
            ycc[0][i] = v.y;
            ycc[1][i] = v.cb;
            ycc[2][i] = v.cr;
        }
        debug.ycc16(ycc);
        debug.rgb16(r, g, b);
        Plane mono(kMosaicSamples);
        for (std::size_t i = 0; i < kMosaicSamples; ++i)
            mono[i] = (mosaic10[i] & 1023) << 6;
        debug.mono16(mono, kMosaicWidth, kMosaicHeight);
        debug.channels(ch);
        debug.channelsRgb16(ch);
    }
    if (stop("Raw channels"))
        return result;

    // Black level: v - black when v is above black, else 0.
    for (int c = 0; c < 4; ++c)
        for (std::int32_t& v : ch[c])
            v = v > params.black[c] ? v - params.black[c] : 0;
    debug.channels(ch);
    debug.channelsRgb16(ch);
    if (stop("Black level"))
        return result;

    // Scaling: (scale x v) >> 8, limited to 0..1023.
    for (int c = 0; c < 4; ++c)
        for (std::int32_t& v : ch[c])
            v = clampTo((std::int64_t(params.scale[c]) * v) >> 8, 0, 1023);
    debug.channels(ch);
    debug.channelsRgb16(ch);
    if (stop("Scaling"))
        return result;

    // The largest of the four samples, and the gamma gain it selects (units of 1/4096).
    Plane largest(kCellCount), gammaGain(kCellCount);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        largest[i] = std::max({ch[kB][i], ch[kR][i], ch[kG][i], ch[kT][i]});
        gammaGain[i] = options.gamma[std::size_t(largest[i])];
    }
    if (debug.enabled()) {
        Plane shown(kCellCount);
        for (std::size_t i = 0; i < kCellCount; ++i)
            shown[i] = largest[i] << 6;
        debug.mono16(shown);
        debug.mono16(gammaGain);
    }
    // Every channel of a cell takes its cell's gain, which keeps the cell's colour ratios.
    for (int c = 0; c < 4; ++c)
        for (std::size_t i = 0; i < kCellCount; ++i)
            ch[c][i] = clampTo(fixedProduct(ch[c][i], gammaGain[i], 12), 0, 1023);
    if (stop("Gamma gain"))
        return result;

    // Matrix from B, G, T, R to Y, Cb, Cr and luminance L: 10-bit samples times 13-bit
    // fractions, shifted right by 7 to 16-bit values.
    const DspMatrix& m = options.flashMatrix ? params.matrixFlash : params.matrixHigh;
    std::array<Plane, 3> ycc;
    for (Plane& p : ycc)
        p.resize(kCellCount);
    Plane lum(kCellCount);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        std::int64_t row[4];
        for (int o = 0; o < 4; ++o) {
            std::int64_t sum = 0;
            for (int c = 0; c < 4; ++c)
                sum += std::int64_t(m[o][c]) * ch[c][i];
            row[o] = (sum + 64) >> 7;
        }
        ycc[0][i] = clampTo(row[0], 0, kMax16);
        ycc[1][i] = clampTo(row[1], kMinSigned, kMaxSigned);
        ycc[2][i] = clampTo(row[2], kMinSigned, kMaxSigned);
        lum[i] = clampTo(row[3], 0, kMax16);
    }
    debug.ycc16(ycc);
    debug.yccAsRgb16(ycc);
    if (stop("Colour matrix"))
        return result;

    // Saturation in RGB: c' = Y + (c - Y) x saturation (units of 1/8192), then back to YCbCr.
    std::array<Plane, 3> sat;
    for (Plane& p : sat)
        p.resize(kCellCount);
    Plane satR(kCellCount), satG(kCellCount), satB(kCellCount);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        std::int32_t rgb[3];
        yccToRgb(ycc[0][i], ycc[1][i], ycc[2][i], rgb);
        for (int c = 0; c < 3; ++c)
            rgb[c] = clampTo(ycc[0][i] + fixedProduct(rgb[c] - ycc[0][i], params.saturation[c], 13),
                             0, kMax16);
        satR[i] = rgb[0];
        satG[i] = rgb[1];
        satB[i] = rgb[2];
        const Ycc v = rgbToYcc(rgb[0], rgb[1], rgb[2]);
        sat[0][i] = v.y;
        sat[1][i] = v.cb;
        sat[2][i] = v.cr;
    }
    debug.rgb16(satR, satG, satB);
    debug.ycc16(sat);
    if (stop("Saturation"))
        return result;

    // The unsaturated picture: the same luminance without colour.
    std::array<Plane, 3> unsat{sat[0], Plane(kCellCount, 0), Plane(kCellCount, 0)};
    debug.rgb16(unsat[0], unsat[0], unsat[0]);
    debug.ycc16(unsat);

    // White-point weighting: near white the colour is faded towards the unsaturated picture,
    // so clipped highlights stay neutral. w (0..64) rises from 0 at three quarters of the
    // luminance range to 64 at its top.
    Plane weight(kCellCount);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        const std::int32_t w = lum[i] <= 49152 ? 0 : std::min(64, ((lum[i] - 49152) * 64) >> 14);
        weight[i] = w;
        for (int c = 1; c < 3; ++c)
            sat[c][i] =
                clampTo(fixedProduct(sat[c][i], 64 - w, 6) + fixedProduct(unsat[c][i], w, 6),
                        kMinSigned, kMaxSigned);
    }
    if (debug.enabled()) {
        Plane shown(kCellCount);
        for (std::size_t i = 0; i < kCellCount; ++i)
            shown[i] = weight[i] * 1023;
        debug.mono16(shown);
    }
    if (stop("White-point weighting"))
        return result;

    // Sharpened luminance: S = Y + (4Y - the four neighbours) / 4, edges repeated.
    const Plane& y = sat[0];
    Plane sharp(kCellCount);
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k) {
            const std::size_t i = std::size_t(j) * kCellColumns + k;
            const std::int64_t up = y[i - (j > 0 ? kCellColumns : 0)];
            const std::int64_t down = y[i + (j < kCellRows - 1 ? kCellColumns : 0)];
            const std::int64_t left = y[i - (k > 0 ? 1 : 0)];
            const std::int64_t right = y[i + (k < kCellColumns - 1 ? 1 : 0)];
            sharp[i] =
                clampTo(y[i] + fixedProduct(4 * y[i] - up - down - left - right, 1, 2), 0, kMax16);
        }
    debug.mono16(sharp);

    Plane sharpGain(kCellCount), totalGain(kCellCount);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        sharpGain[i] = SharpeningGain(y[i], sharp[i], params.alphaHigh, params.alphaLow);
        totalGain[i] = clampTo(fixedProduct(gammaGain[i], sharpGain[i], 12), 0, kMax16);
    }
    debug.mono16(sharpGain);
    debug.mono16(totalGain);

    for (std::size_t i = 0; i < kCellCount; ++i) {
        sat[0][i] = clampTo(fixedProduct(sat[0][i], sharpGain[i], 12), 0, kMax16);
        for (int c = 1; c < 3; ++c)
            sat[c][i] = clampTo(fixedProduct(sat[c][i], sharpGain[i], 12), kMinSigned, kMaxSigned);
    }
    debug.ycc16(sat);
    debug.yccAsRgb16(sat);
    if (stop("Sharpening"))
        return result;

    result.rgb8.resize(kCellCount * 3);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        std::int32_t rgb[3];
        yccToRgb(sat[0][i], sat[1][i], sat[2][i], rgb);
        for (int c = 0; c < 3; ++c)
            result.rgb8[3 * i + c] = static_cast<std::uint8_t>(rgb[c] >> 8);
    }
    result.ycc = std::move(sat);
    result.completed = debug.ok();
    return result;
}

std::string DevelopMtxText(const DspParams& params, bool flashMatrix) {
    std::string out;
    char line[64];
    auto label = [&](const char* text) {
        std::snprintf(line, sizeof line, "%s\r\n", text);
        out += line;
    };
    auto real = [&](double v) {
        std::snprintf(line, sizeof line, "%g\r\n", v);
        out += line;
    };
    auto integer = [&](int v) {
        std::snprintf(line, sizeof line, "%d\r\n", v);
        out += line;
    };
    label(flashMatrix ? "color_matrix_flash[BGTR]" : "color_matrix_hi[BGTR]");
    for (const auto& row : flashMatrix ? params.matrixFlash : params.matrixHigh)
        for (int v : row)
            real(v / 8192.0);
    label("BTGR black");
    for (int c : {kB, kT, kG, kR})
        integer(params.black[c]);
    label("pass3_scale");
    for (int c : {kB, kT, kG, kR})
        integer(params.scale[c]);
    label("saturation_coeffs[RGB]");
    for (int v : params.saturation)
        real(v / 8192.0);
    label("alpha high");
    integer(params.alphaHigh);
    label("alpha low");
    integer(params.alphaLow);
    return out;
}

} // namespace kv::process
