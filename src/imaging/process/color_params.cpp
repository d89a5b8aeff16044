#include "imaging/process/color_params.h"

#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace kv::process {
namespace {

constexpr double kYccMatrix[3][3] = {
    {0.299, 0.587, 0.114},
    {-0.1687, -0.3313, 0.5},
    {0.5, -0.4187, -0.0813},
};

constexpr double kFixedMax = 3.9998779296875; // 32767 / 8192
constexpr double kFixedMin = -4.0;

template <std::size_t N>
void readKey(const settings::Profile& profile, std::string_view key, double* values) {
    const std::string text = profile.getString("COLOR_PARAMS", key);
    ParseNumbers(text, values, static_cast<int>(N));
}

void readMatrix(const settings::Profile& profile, std::string_view key,
                std::array<ChannelRow, 4>& m) {
    double flat[12];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            flat[4 * r + c] = m[r][c];
    ParseNumbers(profile.getString("COLOR_PARAMS", key), flat, 12);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            m[r][c] = flat[4 * r + c];
}

std::array<std::array<std::int16_t, 4>, 3> toYccFixed(const std::array<ChannelRow, 3>& rgb) {
    std::array<std::array<std::int16_t, 4>, 3> out{};
    for (int o = 0; o < 3; ++o)
        for (int c = 0; c < 4; ++c) {
            double sum = 0;
            for (int i = 0; i < 3; ++i)
                sum += kYccMatrix[o][i] * rgb[i][c];
            out[o][c] = ToCameraFixed(sum);
        }
    return out;
}

template <std::size_t N>
std::array<std::int16_t, N> toFixed(const std::array<double, N>& values) {
    std::array<std::int16_t, N> out{};
    for (std::size_t i = 0; i < N; ++i)
        out[i] = ToCameraFixed(values[i]);
    return out;
}

std::array<ChannelRow, 3> firstThree(const std::array<ChannelRow, 4>& m) {
    return {m[0], m[1], m[2]};
}

} // namespace

int ParseNumbers(std::string_view text, double* values, int count) {
    return parseNumberList(text, values, count);
}

ColorParams DefaultColorParams() {
    ColorParams p;
    p.high = {{{-0.5222, 1.3456, 0.0192, 0.4114},
               {-0.4329, -0.4318, 0.4675, 1.2875},
               {1.3855, -0.1272, 0.0055, -0.5613},
               {}}};
    p.low = {{{-0.2358, 0.8561, 0.1275, 0.442},
              {-0.2737, -0.0126, 0.3582, 0.8928},
              {0.9531, -0.1053, 0.094, -0.2683},
              {}}};
    p.working = firstThree(p.high);
    p.saturation = {1.3564, 1.0288, 1};
    p.luminanceWeights = {0.29, 0.606, 0.104};
    p.balanceDay = {1, 0.95, 0.76, 1};
    p.balanceFlash = {1, 0.95, 0.76, 1};
    p.balanceSaturation = {1, 0.95, 0.76, 1};
    DeriveLuminanceRows(p);
    return p;
}

void DeriveLuminanceRows(ColorParams& params) {
    for (auto* m : {&params.high, &params.low})
        for (int c = 0; c < 4; ++c) {
            double sum = 0;
            for (int r = 0; r < 3; ++r)
                sum += params.luminanceWeights[r] * (*m)[r][c];
            (*m)[3][c] = sum;
        }
}

ColorParams LoadColorParams(const settings::Profile& profile) {
    ColorParams p = DefaultColorParams();
    readMatrix(profile, "MTX_HIGH", p.high);
    readMatrix(profile, "MTX_LOW", p.low);
    readKey<3>(profile, "MTX_SAT", p.saturation.data());
    readKey<3>(profile, "MTX_LUM_RGB", p.luminanceWeights.data());
    readKey<4>(profile, "BAL_COEFFS_DAY", p.balanceDay.data());
    readKey<4>(profile, "BAL_COEFFS_FLASH", p.balanceFlash.data());
    readKey<4>(profile, "BAL_COEFFS_SAT", p.balanceSaturation.data());
    p.working = firstThree(p.high);
    DeriveLuminanceRows(p);
    return p;
}

std::int16_t ToCameraFixed(double value) {
    if (std::isnan(value))
        return 0;
    const double clamped = std::clamp(value, kFixedMin, kFixedMax);
    return static_cast<std::int16_t>(clamped * 8192.0);
}

CameraColorBlock ConvertColorParams(const ColorParams& params) {
    CameraColorBlock block;
    block.high = toYccFixed(firstThree(params.high));
    block.low = toYccFixed(firstThree(params.low));
    block.working = toYccFixed(params.working);
    block.highLuminance = toFixed(params.high[3]);
    block.lowLuminance = toFixed(params.low[3]);
    block.balanceDay = toFixed(params.balanceDay);
    block.balanceFlash = toFixed(params.balanceFlash);
    block.balanceSaturation = toFixed(params.balanceSaturation);
    block.saturation = toFixed(params.saturation);
    return block;
}

} // namespace kv::process
