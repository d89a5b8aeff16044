#include "library/output_size.h"

#include "library/output_renderer.h"

#include <charconv>
#include <cstdio>

namespace kv::library {

std::string_view sizeUnitsName(int units) {
    switch (validSizeUnits(units)) {
    case 1:
        return "Centimeters";
    case 2:
        return "Pixels";
    default:
        return "Inches";
    }
}

int validSizeUnits(int units) {
    return units >= 0 && units <= 2 ? units : 0;
}

std::string outputSizeLabel(int units, int index) {
    static constexpr std::string_view kPixelLabels[kOutputSizeCount] = {
        "60      X   50", "120    X   100", "240    X   200",
        "480    X   400", "960    X   800", "1920   X  1600"};
    if (index < 0 || index >= kOutputSizeCount)
        index = kDefaultOutputSize;
    const PixelSize pixels = outputPixels(index);
    double w = pixels.width / 72.0;
    double h = pixels.height / 72.0;
    const char* format = nullptr;
    switch (validSizeUnits(units)) {
    case 2:
        return std::string(kPixelLabels[index]);
    case 1:
        w *= 2.54;
        h *= 2.54;
        format = index < 3 ? "%2.1f    X   %2.1f" : "%2.1f  X   %2.1f";
        break;
    default:
        format = index < 4 ? "%2.1f    X   %2.1f" : "%2.1f  X  %2.1f";
        break;
    }
    char text[64];
    std::snprintf(text, sizeof text, format, w, h);
    return text;
}

bool canvasTextAcceptable(std::string_view text) {
    if (text.empty())
        return true;
    const char last = text.back();
    return (last >= '0' && last <= '9') || last == '.';
}

std::optional<std::string> canvasPartnerText(std::string_view text, double startThis,
                                             double startOther) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || startThis == 0)
        return std::nullopt;
    char out[64];
    std::snprintf(out, sizeof out, "%2.3f", value * (startOther / startThis));
    return std::string(out);
}

} // namespace kv::library
