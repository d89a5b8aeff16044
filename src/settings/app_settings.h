// The program's own keys in its INI file, each with its default, plus the rules built on them:
// window placement, the manufacturing number's text form, gain and blemish file names and the
// device paths of the logical ports.
#pragma once

#include "settings/profile.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace kv::settings {

enum class LineProtocol { RS232 = 0, RS422 = 1 };

// Saved main-window placement. `minY`/`maxY` of 0 or less are not written, so earlier
// values of "MIN"/"MAX" stay in the file.
struct Placement {
    int flags = 0;
    int showCmd = 1;
    int minX = 0, minY = 0;
    int maxX = 0, maxY = 0;
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const Placement&) const = default;
};

// True when the placement fits a screen of the given size by every rule: rectangle inside the
// screen, maximised position leaving 480 pixels, minimised position on the screen, no
// negative coordinates.
bool placementFits(const Placement& p, int screenWidth, int screenHeight);

// The manufacturing number's text form: "-1" for all bits set, the decimal value below
// 874000000, else the station letter and the local date and time of the stamp
// ("A091197174640"). The text names gain and blemish files, so it is always printable and
// free of path separators: see manufacturingLetterText.
std::string manufacturingNumberText(std::uint32_t number);
// The letter byte of a manufacturing number as text: an ASCII letter or digit as itself, any
// other byte as "#" and two upper-case hexadecimal digits. Numbers formed since 1998 carry
// the high bits of their time into this byte (a "Z" station's numbers of 2026 have 0x90 there,
// giving "#90").
std::string manufacturingLetterText(char letter);
// The letter and the local date and time of `when`: month, day, years since 1900 (unpadded),
// hour, minute, second.
std::string manufacturingStampText(char letter, std::time_t when);

// Folder and file values written by the program's Windows versions ("c:\windows\desktop",
// "C:\gains\", "\\server\share\x") name nothing on this system. One rule maps them: such a
// folder stands for the desktop directory (where those files went by default), such a file for
// its last component in the desktop directory. They are never taken as relative paths.
bool isWindowsPath(std::string_view value);
// A folder value: empty or Windows-style gives the desktop directory, else the value.
std::filesystem::path folderFromSetting(std::string_view value);
// A file value: Windows-style gives desktop directory / last component, else the value.
std::filesystem::path fileFromSetting(std::string_view value);

// Forms a new manufacturing number from a station letter and a time (seconds since 1970).
// The time part is added to the letter times 2^24 as the camera's numbers always were.
std::uint32_t formManufacturingNumber(char stationLetter, std::time_t now);

class AppSettings {
public:
    explicit AppSettings(Profile& profile = appProfile()) : profile_(profile) {}
    Profile& profile() { return profile_; }

    // "PLACEMENT"
    void savePlacement(const Placement& p);
    // The saved placement when "FLAGS" is present and it fits the screen, else nothing.
    std::optional<Placement> loadPlacement(int screenWidth, int screenHeight) const;

    // "PATHS" / "OUTPUT_SIZE". The open path maps a Windows-style folder by folderFromSetting;
    // setOpenPath does not store a folder whose name holds a line break.
    std::string openPath() const;
    void setOpenPath(const std::string& dir);
    int outputSize() const; // 0..5, out of range gives 4
    void setOutputSize(int size);
    int sizeUnits() const; // 0..2, out of range gives 0
    void setSizeUnits(int units);

    // "CONNECT_PARAMS" / "DIAGNOSTICS"
    int baudRate() const; // 0 = automatic
    void setBaudRate(int rate);
    LineProtocol protocol() const;
    void setProtocol(LineProtocol p);
    int commPort(LineProtocol p) const; // 1..4; anything else means 1
    bool diagnosticsDisplayed() const;
    void setDiagnosticsDisplayed(bool shown);
    bool continuousTakePicture() const;
    void setContinuousTakePicture(bool on);
    char stationLetter() const; // first character of "MFG_SERIALNO_STATION", default 'Z'
    std::uint32_t newManufacturingNumber(std::time_t now = std::time(nullptr)) const;

    // "FILES": the folder for gain and blemish files, with the desktop directory standing in
    // for "c:\windows\desktop\", any other Windows folder and an empty value.
    std::filesystem::path gainBlemishFolder() const;
    // With a camera's manufacturing number: folder + number text, remembered in the file.
    // Without: the remembered name, or nothing when none is stored. With `mustExist`, a name
    // whose file does not exist gives nothing.
    std::optional<std::filesystem::path> blemishFileName(std::optional<std::uint32_t> camera,
                                                         bool mustExist);
    // The same rule with "GAIN_FILE" (stored without extension); ".tif" is appended unless
    // `withoutExtension`.
    std::optional<std::filesystem::path> gainFileName(std::optional<std::uint32_t> camera,
                                                      bool withoutExtension, bool mustExist);

    // "PORTS": the device behind a logical port name ("COM1".."COM4", "LPT1", "RELAY_BOARD").
    std::string portDevice(std::string_view logicalName) const;
    static std::string defaultPortDevice(std::string_view logicalName);

private:
    std::optional<std::filesystem::path> stationFileName(const char* key,
                                                         std::optional<std::uint32_t> camera,
                                                         const char* extension, bool mustExist);
    Profile& profile_;
};

} // namespace kv::settings
