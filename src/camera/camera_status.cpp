#include "camera/camera_status.h"

#include "camera/line_scanner.h"

#include <charconv>
#include <cstring>

namespace kv::camera {

std::string_view CameraStatus::firmwareText() const {
    return std::string_view(firmware.data(), strnlen(firmware.data(), firmware.size() - 1));
}

double CameraStatus::firmwareRevision() const {
    const std::string_view text = firmwareText();
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
}

bool CameraStatus::hasNewFirmware() const {
    const double revision = firmwareRevision();
    return variantB() ? revision >= 2.0 : revision >= 3.0;
}

bool CameraStatus::hasNewFirmwareA() const {
    return !variantB() && firmwareRevision() >= 3.0;
}

int parseStatusLine(ByteSpan line, CameraStatus& status) {
    LineScanner scan(line);
    int fields = 0;
    std::int64_t value = 0;
    std::string_view text;
    bool qualityRead = false;
    std::int16_t qualityValue = 0;

    auto number = [&](std::string_view label, auto& field) {
        if (!scan.literal(label) || !scan.integer(value))
            return false;
        // scanf keeps the low bits of a value too wide for its field.
        field = static_cast<std::remove_reference_t<decltype(field)>>(value);
        ++fields;
        return true;
    };

    [&] {
        if (!number("Type: ", status.type))
            return;
        if (!scan.literal(" S/W: ") || !scan.token(text))
            return;
        // The field holds 11 characters; a longer token is cut, not written past the field.
        status.firmware.fill('\0');
        std::memcpy(status.firmware.data(), text.data(),
                    std::min(text.size(), status.firmware.size() - 1));
        ++fields;
        if (!number(" S/N: ", status.serialNumber) || !number(" Pix: ", status.pictures) ||
            !number(" Bat: ", status.battery) || !number(" EStat: ", status.errorStatus) ||
            !number(" E0;", status.exposureTime) || !number(" E1;", status.autoExposure) ||
            !number(" F0;", status.flash))
            return;
        if (!number(" Q0;", qualityValue))
            return;
        qualityRead = true;
        if (!number(" S0;", status.sound) || !number(" No. ", status.number))
            return;
    }();

    if (qualityRead) {
        if (status.variantB() || status.firmwareRevision() >= 3.0)
            status.quality = qualityValue;
        else
            status.legacyQuality = qualityValue;
    }
    status.picturesFlag = status.pictures == -99;
    return fields;
}

} // namespace kv::camera
