#include "diagnostics/color_commands.h"

#include "camera/parameter_block.h"
#include "camera/transfers.h"
#include "diagnostics/picture_commands.h"
#include "diagnostics/station.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kv::diagnostics {
namespace {

namespace cmd = camera::cmd;
using process::ChannelRow;

constexpr int kMinTargetCells = 64;
constexpr double kMinTargetLevel = 128; // 10-bit mean: a target below this is not lit

// B, G, T, R of a cell, in matrix column order.
ChannelRow cellRow(const process::CellSamples& c) {
    return {double(c.b), double(c.g), double(c.t), double(c.r)};
}

std::optional<std::vector<std::uint16_t>> loadWhite(Station& s, const std::string& path) {
    imaging::WorkingPicture picture;
    if (imaging::ReadWorkingTiff(path, picture, 0, &s.op) != status::Ok ||
        picture.ifd.width != process::kMosaicWidth || picture.ifd.height != process::kMosaicHeight)
        return std::nullopt;
    std::vector<std::uint16_t> samples = imaging::samples16(picture);
    if (samples.size() != process::kMosaicSamples)
        return std::nullopt;
    return samples;
}

bool solve3(std::array<std::array<double, 3>, 3> a, std::array<double, 3>& x) {
    // Gaussian elimination with partial pivoting.
    std::array<double, 3> b = x;
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col]))
                pivot = r;
        if (std::fabs(a[pivot][col]) < 1e-12)
            return false;
        std::swap(a[col], a[pivot]);
        std::swap(b[col], b[pivot]);
        for (int r = col + 1; r < 3; ++r) {
            const double f = a[r][col] / a[col][col];
            for (int c = col; c < 3; ++c)
                a[r][c] -= f * a[col][c];
            b[r] -= f * b[col];
        }
    }
    for (int r = 2; r >= 0; --r) {
        double v = b[r];
        for (int c = r + 1; c < 3; ++c)
            v -= a[r][c] * x[c];
        x[r] = v / a[r][r];
    }
    return true;
}

} // namespace

ChannelMeans whiteMeans(const std::vector<std::uint16_t>& white) {
    ChannelMeans sum{};
    for (int j = 0; j < process::kCellRows; ++j)
        for (int k = 0; k < process::kCellColumns; ++k) {
            const ChannelRow c = cellRow(process::MosaicCell(white.data(), k, j));
            for (int i = 0; i < 4; ++i)
                sum[static_cast<std::size_t>(i)] += c[static_cast<std::size_t>(i)] / 64;
        }
    for (double& v : sum)
        v /= double(process::kCellCount);
    return sum;
}

std::optional<CellRect> parseRect(std::string_view text) {
    double v[4];
    if (process::ParseNumbers(text, v, 4) != 4)
        return std::nullopt;
    CellRect r{int(v[0]), int(v[1]), int(v[2]), int(v[3])};
    if (r.left > r.right || r.top > r.bottom)
        return std::nullopt;
    return r;
}

std::optional<ChannelMeans> findNeutralTarget(ByteSpan ram, const CellRect& rect,
                                              const std::vector<std::uint16_t>* white) {
    if (ram.size() != process::kRamFileSize || rect.left < 0 || rect.top < 0 ||
        rect.right >= process::kCellColumns || rect.bottom >= process::kCellRows)
        return std::nullopt;
    const ChannelMeans flat = white ? whiteMeans(*white) : ChannelMeans{1, 1, 1, 1};
    std::vector<ChannelRow> cells;
    for (int j = rect.top; j <= rect.bottom; ++j)
        for (int k = rect.left; k <= rect.right; ++k) {
            ChannelRow c = cellRow(process::ReadCell(ram, k, process::kCellRows - 1 - j));
            if (white) {
                const process::CellSamples w =
                    process::MosaicCell(white->data(), k, j); // 16-bit samples
                const ChannelRow wr = cellRow(w);
                for (int i = 0; i < 4; ++i)
                    c[i] = wr[i] >= 64 ? c[i] * flat[i] / (wr[i] / 64.0) : c[i];
            }
            cells.push_back(c);
        }
    const auto brightness = [](const ChannelRow& c) { return c[0] + c[1] + c[2] + c[3]; };
    std::vector<double> levels;
    levels.reserve(cells.size());
    for (const ChannelRow& c : cells)
        levels.push_back(brightness(c));
    std::vector<double> sorted = levels;
    const std::size_t tenth = sorted.size() - 1 - sorted.size() / 10;
    std::nth_element(sorted.begin(), sorted.begin() + long(tenth), sorted.end());
    const double threshold = sorted[tenth] / 2;
    if (sorted[tenth] / 4 < kMinTargetLevel)
        return std::nullopt;
    ChannelMeans sum{};
    int count = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (levels[i] < threshold)
            continue;
        for (int c = 0; c < 4; ++c)
            sum[c] += cells[i][c];
        ++count;
    }
    if (count < kMinTargetCells)
        return std::nullopt;
    for (double& v : sum)
        v /= count;
    return sum;
}

std::optional<ChannelRow> neutralBalance(const process::ColorParams& params,
                                         const ChannelRow& balance, const ChannelMeans& target) {
    // A = M diag(target): RGB = A k for balance k. The smallest change d of k with
    // A (k + d) = (y, y, y) is d = A^T (A A^T)^-1 (t - A k).
    // The target's means are in memory order, the matrix columns in B, R, G, T.
    const ChannelMeans means = process::ToColumnOrder(target);
    std::array<std::array<double, 4>, 3> a{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            a[r][c] = params.high[r][c] * means[c];
    std::array<double, 3> rgb{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            rgb[r] += a[r][c] * balance[c];
    const double y = params.luminanceWeights[0] * rgb[0] + params.luminanceWeights[1] * rgb[1] +
                     params.luminanceWeights[2] * rgb[2];
    std::array<std::array<double, 3>, 3> aat{};
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s)
            for (int c = 0; c < 4; ++c)
                aat[r][s] += a[r][c] * a[s][c];
    std::array<double, 3> u{y - rgb[0], y - rgb[1], y - rgb[2]};
    if (!solve3(aat, u))
        return std::nullopt;
    ChannelRow k = balance;
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 3; ++r)
            k[c] += a[r][c] * u[r];
        if (!std::isfinite(k[c]) || k[c] <= 0)
            return std::nullopt;
    }
    return k;
}

void placeColorBlock(Bytes& record, const process::CameraColorBlock& block,
                     const std::optional<std::array<long, 4>>& levels) {
    std::size_t at = camera::kParamColorOffset;
    const auto put = [&](std::int16_t v) {
        camera::setParamWord(record, at, v);
        at += 2;
    };
    for (const auto* m : {&block.high, &block.low, &block.working})
        for (const auto& row : *m)
            for (std::int16_t v : row)
                put(v);
    for (const auto* row : {&block.highLuminance, &block.lowLuminance, &block.balanceDay,
                            &block.balanceFlash, &block.balanceSaturation})
        for (std::int16_t v : *row)
            put(v);
    for (std::int16_t v : block.saturation)
        put(v);
    if (levels)
        for (std::size_t i = 0; i < 4; ++i)
            camera::setParamWord(
                record, camera::kParamLevelsOffset + 2 * i,
                static_cast<std::int16_t>(std::clamp((*levels)[i], -32768L, 32767L)));
}

bool writeColorParameters(Station& s, const process::CameraColorBlock& block,
                          const std::optional<std::array<long, 4>>& levels) {
    camera::CameraTransfers transfers = s.transfers();
    Bytes record;
    if (transfers.readParameterRecord(record) != status::Ok ||
        record.size() < camera::kParamColorEnd) {
        s.op.message("Communications Error.");
        return false;
    }
    placeColorBlock(record, block, levels);
    Bytes check;
    const bool ok = transfers.writeParameterRecord(record) == status::Ok &&
                    transfers.readParameterRecord(check) == status::Ok &&
                    std::equal(record.begin() + camera::kParamLevelsOffset,
                               record.begin() + camera::kParamColorEnd,
                               check.begin() + camera::kParamLevelsOffset);
    s.op.message(ok ? "Color Conversion Change Successfull." : "Color Conversion Change FAILED!");
    return ok;
}

bool neutralizeCameraColor(Station& s, std::optional<std::string> rectText,
                           std::optional<std::string> whiteImage, std::optional<bool> flash) {
    if (!s.connectedCamera()) {
        s.op.message("Camera Not Connected!");
        return false;
    }
    if (!rectText)
        rectText = s.op.askText("Enter Rect: l t r b:",
                                s.profile.getString("COLOR_PARAMS", "NEUTRAL_RECTANGLE_LTRB"));
    if (!rectText)
        return false;
    const std::optional<CellRect> rect = parseRect(*rectText);
    if (!rect) {
        s.op.message("Error: neutral target not found!");
        return false;
    }
    s.profile.writeString("COLOR_PARAMS", "NEUTRAL_RECTANGLE_LTRB", *rectText);
    if (!whiteImage)
        whiteImage =
            s.op.chooseFile("Open white image (MONO16.tif format)", "TIFF Files (*.tif)", false);
    std::optional<std::vector<std::uint16_t>> white;
    if (whiteImage && !whiteImage->empty()) {
        white = loadWhite(s, *whiteImage);
        if (!white)
            return false;
    }
    if (!flash)
        flash = s.op.confirm("If flash picture, press OK\nOtherwise CANCEL.");
    if (!takeUncompressedCompensated(s))
        return false;
    const std::optional<Bytes> ram = uploadRamPicture(s);
    if (!ram)
        return false;
    const std::optional<ChannelMeans> target =
        findNeutralTarget(*ram, *rect, white ? &*white : nullptr);
    if (!target) {
        s.op.message("Error: neutral target not found!");
        return false;
    }
    process::ColorParams params = process::LoadColorParams(s.profile);
    ChannelRow& balance = *flash ? params.balanceFlash : params.balanceDay;
    const std::optional<ChannelRow> updated = neutralBalance(params, balance, *target);
    if (!updated) {
        s.op.message("Color Conversion Change FAILED!");
        return false;
    }
    balance = *updated;
    return writeColorParameters(s, process::ConvertColorParams(params), std::nullopt);
}

bool colorMatrix(Station& s, std::optional<std::string> whiteImage) {
    if (!s.connectedCamera()) {
        s.op.message("Camera Not Connected!");
        return false;
    }
    if (!whiteImage)
        whiteImage = s.op.chooseFile("Open white image (MONO16.tif format), if available",
                                     "TIFF Files (*.tif)", false);
    std::array<long, 4> levels{1024, 1024, 1024, 1024};
    if (whiteImage && !whiteImage->empty()) {
        const auto white = loadWhite(s, *whiteImage);
        if (!white)
            return false;
        const ChannelMeans m = whiteMeans(*white); // B, G, T, R
        levels = {std::lround(m[0]), std::lround(m[3]), std::lround(m[1]), std::lround(m[2])};
    } else {
        s.op.message("No white image\nBRGT levels read from *.INI file\nor default to uniform "
                     "levels");
        double v[4];
        if (process::ParseNumbers(s.profile.getString("COLOR_PARAMS", "BRGT_LEVELS"), v, 4) == 4)
            for (int i = 0; i < 4; ++i)
                levels[static_cast<std::size_t>(i)] = std::lround(v[i]);
    }
    const process::ColorParams params = process::LoadColorParams(s.profile);
    return writeColorParameters(s, process::ConvertColorParams(params), levels);
}

} // namespace kv::diagnostics
