// The "Connect to Camera" procedure and the "Baud Rate" menu command as GUI-free logic: the
// search over ports and bit rates, its progress texts and messages through an Operator, a
// cancel check after every step, and what the caller should change in its menus.
#pragma once

#include "base/operator.h"
#include "camera/camera_link.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::settings {
class AppSettings;
}

namespace kv::camera {

// What the search reads from the settings file.
struct ConnectSettings {
    int lineStandard = kLineRS232;      // "DIAGNOSTICS" "PROTOCOL"
    std::optional<int> fixedPort;       // "COMM_PORT_RS232"/"COMM_PORT_RS422": 1..4, none = search
    int baudRate = 0;                   // "CONNECT_PARAMS" "BAUD_RATE": 0 = automatic
    bool continuousTakePicture = false; // "DIAGNOSTICS" "CONTINUOUS_TAKE_PICTURE"

    static ConnectSettings read(settings::AppSettings& settings);
};

struct ConnectOptions {
    // The device behind a port name; empty = section "PORTS" of the settings.
    std::function<std::string(std::string_view)> portDevice;
    LinkTiming timing;
    bool splashShown = false;     // the procedure does nothing while the splash screen is up
    bool diagnosticsMode = false; // enables the continuous take-picture setting
    std::chrono::milliseconds takePictureDelay{6000};
    // The take-picture wait and the found camera's waits between commands
    // (LinkOptions::waitClock); nullptr = real time. Must outlive the camera.
    Clock* clock = nullptr;
    // Give up after this many tries (a non-interactive caller's bound); 0 = search until a
    // camera answers or the operator cancels.
    int maxTries = 0;
};

struct ConnectResult {
    std::unique_ptr<CameraLink> camera;             // the camera found (Ready), or none
    std::vector<std::pair<std::string, int>> tries; // port and rate of every detection tried
    bool cancelled = false;
    bool noPortOpened = false;         // message 61525 was shown
    bool gaveUp = false;               // maxTries reached
    bool rateRefused = false;          // the configured rate is above the port's maximum
    bool incompatibleFirmware = false; // message 61260 was shown
    // Menu items the caller removes: Sound (new firmware), Format Memory Card (no card).
    bool removeSoundCommand = false;
    bool removeFormatCard = false;
};

// Searches COM1..COM4 (or the fixed port) at 9600 and the working rate in turn until a camera
// answers, the operator cancels, or maxTries is reached. Progress texts go to the operator's
// progress box ("Connecting to Camera"); idle kicks go to `events`, which the found camera
// keeps using (so `events` must outlive it).
ConnectResult connectToCamera(const ConnectSettings& settings, const ConnectOptions& options,
                              Operator& op, CameraEvents& events);

// The "Baud Rate" menu command: `menuValue` 0 (Auto), 115200 or 57600. On success stores
// "BAUD_RATE" and the camera's configured rate and says "Baud rate change successful.";
// otherwise says "Baud rate change FAILED!" and leaves the setting alone. Waits through the
// camera's waitClock().
bool changeBaudRate(CameraLink& camera, int menuValue, settings::AppSettings& settings,
                    Operator& op);

// Message texts (string table ids in the names).
std::string searchingText61222(std::string_view port, long rate);
std::string connectedText61223(std::string_view port, long rate);
inline constexpr std::string_view kPortsInUse61525 =
    "All communication ports appear to be in use, try reconfiguring the system to free a "
    "communications port.";
std::string incompatibleFirmwareText61260(std::string_view firmware);
// The message shown when the configured working rate is above what the port accepts.
std::string rateRefusedText(std::string_view port, int rate, int maxRate);

} // namespace kv::camera
