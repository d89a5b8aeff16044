#include "shell/status_layout.h"

namespace kv::shell {

namespace {

constexpr std::array<std::string_view, 12> kExposureTexts{"1/2000", "1/1000", "1/500", "1/250",
                                                          "1/125",  "1/60",   "1/30",  "1/15",
                                                          "1/8",    "1/4",    "1/2",   "1"};

} // namespace

std::vector<StatusPane> statusPanes(StatusLayout layout, bool newFirmware) {
    std::vector<StatusPane> panes{{0, 0, true, true}};
    switch (layout) {
    case StatusLayout::Message:
        break;
    case StatusLayout::Compact:
        panes.push_back({100, 130, false, false});
        break;
    case StatusLayout::Camera: {
        static constexpr std::array<int, 5> ordinary{60, 102, 70, 65, 80};
        static constexpr std::array<int, 5> renewed{60, 102, 65, 100, 0};
        const auto& widths = newFirmware ? renewed : ordinary;
        for (std::size_t i = 0; i < widths.size(); ++i)
            panes.push_back({kStatusPaneIds[i + 1], widths[i], false, true});
        break;
    }
    }
    return panes;
}

std::string_view exposureText(int index) {
    if (index < 0 || index >= static_cast<int>(kExposureTexts.size()))
        return {};
    return kExposureTexts[static_cast<std::size_t>(index)];
}

std::array<std::string, 5> cameraPaneTexts(const CameraPaneInput& in) {
    const camera::CameraStatus& s = in.status;
    std::array<std::string, 5> t;
    if (s.autoExposure)
        t[0] = "Exposure:  AUTO     ";
    else
        t[0] = "Exposure:   " + std::string(exposureText(s.exposureTime));
    t[1] = "Pics:  " + std::to_string(s.pictures < 0 ? 0 : s.pictures);
    const std::string flash = s.flash ? "Flash:  ON     " : "Flash:  OFF     ";
    if (!in.variantB && !in.newFirmwareA) {
        t[2] = s.sound ? "Sound:  ON    " : "Sound:  OFF     ";
        t[3] = flash;
        switch (s.legacyQuality) {
        case 0:
            t[4] = "Quality:  Best  ";
            break;
        case 1:
            t[4] = "Quality:  Stnd     ";
            break;
        case 2:
            t[4] = "Quality:  CINE     ";
            break;
        case 3:
            t[4] = "Quality: UNCOMP";
            break;
        default:
            break;
        }
    } else {
        t[2] = flash;
        t[3] = "Compression: " + std::to_string(in.variantB ? in.compressionLevel : s.quality);
    }
    return t;
}

} // namespace kv::shell
