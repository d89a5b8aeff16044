#include "imaging/process/gamma_table.h"

#include <cmath>
#include <cstdlib>

namespace kv::process {
namespace {

constexpr std::uint16_t kStart[10] = {0, 4096, 4096, 4096, 4096, 4397, 5123, 5806, 6447, 7049};
constexpr std::uint16_t kTail[16] = {4132, 4129, 4127, 4125, 4123, 4120, 4118, 4116,
                                     4114, 4111, 4109, 4107, 4105, 4103, 4100, 4098};
constexpr int kPeakLevel = 82;
constexpr double kPeak = 16287;
constexpr int kMidLevel = 255;
constexpr double kMid = 8799;
constexpr int kTailLevel = 1008;

GammaTable makeTable() {
    GammaTable t{};
    for (int i = 0; i < 10; ++i)
        t[static_cast<std::size_t>(i)] = kStart[i];
    // Between the fixed points the curve rises with an easing toward its peak, then falls as
    // a power of the level (a straight line in log-log), as the camera's tone curve does.
    const double first = kStart[9];
    for (int i = 10; i <= kPeakLevel; ++i) {
        const double u = double(i - 9) / (kPeakLevel - 9);
        t[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(
            std::lround(first + (kPeak - first) * (1 - (1 - u) * (1 - u))));
    }
    const double p1 = std::log(kPeak / kMid) / std::log(double(kMidLevel) / kPeakLevel);
    for (int i = kPeakLevel + 1; i <= kMidLevel; ++i)
        t[static_cast<std::size_t>(i)] =
            static_cast<std::uint16_t>(std::lround(kPeak * std::pow(double(i) / kPeakLevel, -p1)));
    const double p2 = std::log(kMid / kTail[0]) / std::log(double(kTailLevel) / kMidLevel);
    for (int i = kMidLevel + 1; i < kTailLevel; ++i)
        t[static_cast<std::size_t>(i)] =
            static_cast<std::uint16_t>(std::lround(kMid * std::pow(double(i) / kMidLevel, -p2)));
    for (int i = 0; i < 16; ++i)
        t[static_cast<std::size_t>(kTailLevel + i)] = kTail[i];
    return t;
}

} // namespace

const GammaTable& BuiltInGammaTable() {
    static const GammaTable table = makeTable();
    return table;
}

Bytes GammaTableBytes(const GammaTable& table) {
    Bytes bytes(2 * table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(table[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(table[i] >> 8);
    }
    return bytes;
}

std::optional<GammaTable> ParseGammaText(std::string_view text) {
    GammaTable table{};
    std::size_t count = 0;
    std::size_t at = 0;
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (true) {
        while (at < text.size() && space(text[at]))
            ++at;
        if (at == text.size())
            break;
        std::size_t end = at;
        while (end < text.size() && !space(text[end]))
            ++end;
        if (count == table.size() || end - at > 6)
            return std::nullopt;
        long value = 0;
        bool negative = false;
        std::size_t i = at;
        if (text[i] == '-' || text[i] == '+')
            negative = text[i++] == '-';
        if (i == end)
            return std::nullopt;
        for (; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        if (negative || value > 32767)
            return std::nullopt;
        table[count++] = static_cast<std::uint16_t>(value);
        at = end;
    }
    if (count != table.size())
        return std::nullopt;
    return table;
}

} // namespace kv::process
