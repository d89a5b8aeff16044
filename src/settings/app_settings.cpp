#include "settings/app_settings.h"

#include "base/text.h"
#include "platform/paths.h"

#include <cstdio>

namespace kv::settings {
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t MfgEpoch = 874000000; // 11 September 1997, 17:46:40 UTC

bool parsePair(const std::string& text, int& a, int& b) {
    return std::sscanf(text.c_str(), "%d %d", &a, &b) == 2;
}

} // namespace

bool placementFits(const Placement& p, int w, int h) {
    return p.left >= 0 && p.top >= 0 && p.right <= w && p.bottom <= h && p.maxX + 480 <= w &&
           p.maxY + 480 <= h && p.minX <= w && p.minY <= h && p.maxX >= 0 && p.maxY >= 0 &&
           p.minX >= 0 && p.minY >= 0;
}

std::string manufacturingNumberText(std::uint32_t number) {
    if (number == 0xFFFFFFFFu)
        return "-1";
    if (number < MfgEpoch)
        return std::to_string(number);
    return manufacturingStampText(static_cast<char>(number >> 24),
                                  static_cast<std::time_t>(MfgEpoch) + (number & 0xFFFFFF));
}

std::string manufacturingLetterText(char letter) {
    const auto byte = static_cast<unsigned char>(letter);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9'))
        return std::string(1, letter);
    char text[4];
    std::snprintf(text, sizeof text, "#%02X", byte);
    return text;
}

std::string manufacturingStampText(char letter, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%d%02d%02d%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year, local.tm_hour, local.tm_min, local.tm_sec);
    return manufacturingLetterText(letter) + text;
}

bool isWindowsPath(std::string_view value) {
    const std::string_view v = trim(value);
    const bool drive = v.size() >= 2 && v[1] == ':' &&
                       ((v[0] >= 'A' && v[0] <= 'Z') || (v[0] >= 'a' && v[0] <= 'z'));
    return drive || v.substr(0, 2) == "\\\\";
}

fs::path folderFromSetting(std::string_view value) {
    if (value.empty() || isWindowsPath(value))
        return platform::desktopDirectory();
    return fs::path(value);
}

fs::path fileFromSetting(std::string_view value) {
    if (!isWindowsPath(value))
        return fs::path(value);
    const std::string_view v = trim(value);
    const std::size_t cut = v.find_last_of("\\/:");
    return platform::desktopDirectory() / std::string(v.substr(cut + 1));
}

std::uint32_t formManufacturingNumber(char stationLetter, std::time_t now) {
    // Unsigned arithmetic: the sum wraps modulo 2^32 like the camera's 32-bit word.
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(stationLetter)) << 24) +
           (static_cast<std::uint32_t>(now) - MfgEpoch);
}

void AppSettings::savePlacement(const Placement& p) {
    profile_.writeInt("PLACEMENT", "FLAGS", p.flags);
    profile_.writeInt("PLACEMENT", "CMD", p.showCmd);
    if (p.minY > 0)
        profile_.writeString("PLACEMENT", "MIN",
                             std::to_string(p.minX) + " " + std::to_string(p.minY));
    if (p.maxY > 0)
        profile_.writeString("PLACEMENT", "MAX",
                             std::to_string(p.maxX) + " " + std::to_string(p.maxY));
    char rect[64];
    std::snprintf(rect, sizeof rect, "%d %d %d %d", p.left, p.top, p.right, p.bottom);
    profile_.writeString("PLACEMENT", "RECT", rect);
}

std::optional<Placement> AppSettings::loadPlacement(int screenWidth, int screenHeight) const {
    const std::string missing = "\x01";
    const std::string flags = profile_.getString("PLACEMENT", "FLAGS", missing);
    if (flags == missing)
        return std::nullopt;
    Placement p;
    p.flags = static_cast<int>(parseLeadingDecimal(flags));
    p.showCmd = profile_.getInt("PLACEMENT", "CMD", 1);
    parsePair(profile_.getString("PLACEMENT", "MIN"), p.minX, p.minY);
    parsePair(profile_.getString("PLACEMENT", "MAX"), p.maxX, p.maxY);
    const std::string rect = profile_.getString("PLACEMENT", "RECT");
    if (std::sscanf(rect.c_str(), "%d %d %d %d", &p.left, &p.top, &p.right, &p.bottom) != 4)
        return std::nullopt;
    if (!placementFits(p, screenWidth, screenHeight))
        return std::nullopt;
    return p;
}

std::string AppSettings::openPath() const {
    const std::string path = profile_.getString("PATHS", "OPEN_PATH");
    return path.empty() ? path : folderFromSetting(path).string();
}
void AppSettings::setOpenPath(const std::string& dir) {
    profile_.writeString("PATHS", "OPEN_PATH", dir);
}

int AppSettings::outputSize() const {
    const int size = profile_.getInt("OUTPUT_SIZE", "SIZE_OUT", 4);
    return size >= 0 && size <= 5 ? size : 4;
}
void AppSettings::setOutputSize(int size) {
    profile_.writeInt("OUTPUT_SIZE", "SIZE_OUT", size);
}

int AppSettings::sizeUnits() const {
    const int units = profile_.getInt("OUTPUT_SIZE", "SIZE_UNITS", 0);
    return units >= 0 && units <= 2 ? units : 0;
}
void AppSettings::setSizeUnits(int units) {
    profile_.writeInt("OUTPUT_SIZE", "SIZE_UNITS", units);
}

int AppSettings::baudRate() const {
    return profile_.getInt("CONNECT_PARAMS", "BAUD_RATE", 0);
}
void AppSettings::setBaudRate(int rate) {
    profile_.writeInt("CONNECT_PARAMS", "BAUD_RATE", rate);
}

LineProtocol AppSettings::protocol() const {
    return profile_.getTextInt("DIAGNOSTICS", "PROTOCOL", 0) == 1 ? LineProtocol::RS422
                                                                  : LineProtocol::RS232;
}
void AppSettings::setProtocol(LineProtocol p) {
    profile_.writeString("DIAGNOSTICS", "PROTOCOL", p == LineProtocol::RS422 ? "1" : "0");
}

int AppSettings::commPort(LineProtocol p) const {
    const int port = profile_.getTextInt(
        "DIAGNOSTICS", p == LineProtocol::RS422 ? "COMM_PORT_RS422" : "COMM_PORT_RS232", 1);
    return port >= 1 && port <= 4 ? port : 1;
}

bool AppSettings::diagnosticsDisplayed() const {
    return profile_.getTextInt("DIAGNOSTICS", "DIAG_DISPLAYED", 0) == 1;
}
void AppSettings::setDiagnosticsDisplayed(bool shown) {
    profile_.writeString("DIAGNOSTICS", "DIAG_DISPLAYED", shown ? "1" : "0");
}

bool AppSettings::continuousTakePicture() const {
    return profile_.getTextInt("DIAGNOSTICS", "CONTINUOUS_TAKE_PICTURE", 0) == 1;
}
void AppSettings::setContinuousTakePicture(bool on) {
    profile_.writeString("DIAGNOSTICS", "CONTINUOUS_TAKE_PICTURE", on ? "1" : "0");
}

char AppSettings::stationLetter() const {
    const std::string letter = profile_.getString("DIAGNOSTICS", "MFG_SERIALNO_STATION", "Z");
    return letter.empty() ? 'Z' : letter.front();
}

std::uint32_t AppSettings::newManufacturingNumber(std::time_t now) const {
    return formManufacturingNumber(stationLetter(), now);
}

fs::path AppSettings::gainBlemishFolder() const {
    return folderFromSetting(profile_.getString("FILES", "GAIN_BLEMISH_FOLDER"));
}

std::optional<fs::path> AppSettings::stationFileName(const char* key,
                                                     std::optional<std::uint32_t> camera,
                                                     const char* extension, bool mustExist) {
    fs::path name;
    if (camera) {
        name = gainBlemishFolder() / manufacturingNumberText(*camera);
        profile_.writeString("FILES", key, name.string());
    } else {
        const std::string stored = profile_.getString("FILES", key);
        if (stored.empty())
            return std::nullopt;
        name = fileFromSetting(stored);
    }
    if (extension)
        name += extension;
    std::error_code ec;
    if (mustExist && !fs::exists(name, ec))
        return std::nullopt;
    return name;
}

std::optional<fs::path> AppSettings::blemishFileName(std::optional<std::uint32_t> camera,
                                                     bool mustExist) {
    return stationFileName("BLEMISH_FILE", camera, nullptr, mustExist);
}

std::optional<fs::path> AppSettings::gainFileName(std::optional<std::uint32_t> camera,
                                                  bool withoutExtension, bool mustExist) {
    // The existence check always looks at the ".tif" file, which is what the station reads.
    auto name = stationFileName("GAIN_FILE", camera, ".tif", mustExist);
    if (name && withoutExtension)
        name->replace_extension();
    return name;
}

std::string AppSettings::defaultPortDevice(std::string_view logicalName) {
    const std::string name = toUpper(logicalName);
    if (name.size() == 4 && name.compare(0, 3, "COM") == 0 && name[3] >= '1' && name[3] <= '4')
        return "/dev/ttyS" + std::to_string(name[3] - '1');
    if (name == "LPT1")
        return "/dev/lp0";
    if (name == "RELAY_BOARD")
        return "/dev/parport0";
    return {};
}

std::string AppSettings::portDevice(std::string_view logicalName) const {
    return profile_.getString("PORTS", toUpper(logicalName), defaultPortDevice(logicalName));
}

} // namespace kv::settings
