#include "diagnostics/station_outputs.h"

#include "diagnostics/station.h"
#include "settings/app_settings.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace kv::diagnostics {
namespace {

// "%x" as the setting is written: hexadecimal digits with an optional 0x; nothing else.
std::optional<unsigned> parseAddress(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    if (text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0)
        at += 2;
    std::size_t end = text.size();
    while (end > at && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    if (end == at || end - at > 8)
        return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < end; ++i) {
        const int c = std::tolower(static_cast<unsigned char>(text[i]));
        if (!std::isxdigit(c))
            return std::nullopt;
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

} // namespace

std::optional<std::string> parportForAddress(unsigned baseAddress) {
    switch (baseAddress) {
    case 0x378:
        return "/dev/parport0";
    case 0x278:
        return "/dev/parport1";
    case 0x3BC:
        return "/dev/parport2";
    default:
        return std::nullopt;
    }
}

bool SystemStationDevices::relayWrite(unsigned baseAddress, std::uint8_t value,
                                      std::string& error) {
    if (!relay_.isOpen()) {
        std::string path = profile_.getString("PORTS", "RELAY_BOARD");
        if (path.empty()) {
            const auto parport = parportForAddress(baseAddress);
            if (!parport) {
                char text[96];
                std::snprintf(text, sizeof text,
                              "no parallel port at address %x (0x378, 0x278 or 0x3BC)",
                              baseAddress);
                error = text;
                return false;
            }
            path = *parport;
        }
        if (!relay_.open(path, error))
            return false;
    }
    return relay_.write(value, error);
}

bool SystemStationDevices::lightWrite(ByteSpan bytes, std::chrono::milliseconds timeout,
                                      std::string& error) {
    const std::string path =
        profile_.getString("PORTS", "LPT1", settings::AppSettings::defaultPortDevice("LPT1"));
    return platform::writeTimedDevice(path, bytes, timeout, error);
}

bool relayWrite(Station& s, std::uint8_t value) {
    const std::string text = s.profile.getString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR");
    if (text.find_first_not_of(" \t") == std::string::npos)
        return true;
    const auto address = parseAddress(text);
    std::string error;
    if (!address)
        error = "\"" + text + "\" is not a hexadecimal address";
    else if (s.devices.relayWrite(*address, value, error))
        return true;
    s.op.message("Relay board: " + error);
    return false;
}

bool lightControllerWrite(Station& s, std::uint16_t code) {
    const std::array<std::uint8_t, 2> bytes{static_cast<std::uint8_t>(code & 0xFF),
                                            static_cast<std::uint8_t>(code >> 8)};
    std::string error;
    if (!s.devices.lightWrite(bytes, kLightTimeout, error)) {
        s.op.message("Light controller: " + error);
        return false;
    }
    s.clock.sleep(kLightSettle);
    return true;
}

} // namespace kv::diagnostics
