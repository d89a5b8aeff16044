#include "library/picture_info.h"

#include "settings/app_settings.h"

#include <array>
#include <ctime>

namespace kv::library {

std::string_view exposureText(int index) {
    static constexpr std::array<std::string_view, 12> kTexts = {
        "1/2000", "1/1000", "1/500", "1/250", "1/125", "1/60",
        "1/30",   "1/15",   "1/8",   "1/4",   "1/2",   "1"};
    if (index < 0 || index >= static_cast<int>(kTexts.size()))
        return "?";
    return kTexts[static_cast<std::size_t>(index)];
}

std::string_view qualityText(int quality) {
    switch (quality) {
    case 0:
        return "Quality:  Best  ";
    case 1:
        return "Quality:  Stnd     ";
    case 2:
        return "Quality:  CINE     ";
    case 3:
        return "Quality: UNCOMP";
    default:
        return "";
    }
}

std::string_view flashText(int flash) {
    switch (flash) {
    case 0:
        return "Flash:  OFF     ";
    case 1:
        return "Flash:  ON     ";
    default:
        return "Flash:  UNUSED";
    }
}

std::string shortenPath(std::string_view path) {
    if (path.size() < 26)
        return std::string(path);
    const auto first = path.find('/', path.starts_with('/') ? 1 : 0);
    const auto last = path.find_last_of('/');
    if (first == std::string_view::npos || first >= last)
        return std::string(path);
    return std::string(path.substr(0, first + 1)) + "..." + std::string(path.substr(last));
}

std::string captureTimeText(std::int32_t seconds) {
    const std::time_t t = seconds;
    std::tm local{};
    if (!::localtime_r(&t, &local))
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string pictureInformationText(const PictureRecord& record, bool diagnosticsShown) {
    std::string text = " \t     Size: " + std::to_string(record.fileSize / 1024) + " KB";
    text += "\r\n\t      File:  " + shortenPath(record.path);
    text += "\r\n   Created:  " + captureTimeText(record.sortKey);
    if (diagnosticsShown)
        text +=
            "\r\n   Mfg. No.:  " + settings::manufacturingNumberText(record.manufacturingNumber);
    text += "\r\nExposure:  " + std::string(exposureText(record.exposureIndex)) + " second";
    text += "\r\n" + std::string(flashText(record.flashState));
    if (record.isJpeg != 0)
        text += "Compression: " + std::to_string(record.jpegLevel);
    else
        text += qualityText(record.quality);
    return text;
}

} // namespace kv::library
