#include "camera/connect_procedure.h"

#include "settings/app_settings.h"

#include <array>
#include <cstdio>

namespace kv::camera {

namespace {
constexpr std::array<const char*, 4> kPortNames = {"COM1", "COM2", "COM3", "COM4"};
}

std::string searchingText61222(std::string_view port, long rate) {
    char text[96];
    std::snprintf(text, sizeof text, "Searching Port:  %.*s   Rate:   %ld",
                  static_cast<int>(port.size()), port.data(), rate);
    return text;
}

std::string connectedText61223(std::string_view port, long rate) {
    char text[96];
    std::snprintf(text, sizeof text, "Connected to Port:  %.*s  Rate:  %ld",
                  static_cast<int>(port.size()), port.data(), rate);
    return text;
}

std::string incompatibleFirmwareText61260(std::string_view firmware) {
    return "Camera firmware revision " + std::string(firmware) +
           " is not compatible with this version of software.";
}

std::string rateRefusedText(std::string_view port, int rate, int maxRate) {
    return "The configured bit rate " + std::to_string(rate) + " is above what port " +
           std::string(port) + " accepts (" + std::to_string(maxRate) +
           " bit/s). Choose a lower Baud Rate.";
}

ConnectSettings ConnectSettings::read(settings::AppSettings& settings) {
    ConnectSettings s;
    s.lineStandard = settings.protocol() == settings::LineProtocol::RS422 ? kLineRS422 : kLineRS232;
    const char* key = s.lineStandard == kLineRS422 ? "COMM_PORT_RS422" : "COMM_PORT_RS232";
    auto& profile = settings.profile();
    if (!profile.getString("DIAGNOSTICS", key).empty()) {
        const int port = profile.getTextInt("DIAGNOSTICS", key, 1);
        s.fixedPort = port >= 1 && port <= 4 ? port : 1;
    }
    s.baudRate = settings.baudRate();
    s.continuousTakePicture = settings.continuousTakePicture();
    return s;
}

ConnectResult connectToCamera(const ConnectSettings& settings, const ConnectOptions& options,
                              Operator& op, CameraEvents& events) {
    ConnectResult result;
    if (options.splashShown)
        return result;
    op.beginProgress("Connecting to Camera", 0);

    std::array<int, 2> rates = {9600, settings.baudRate != 0 ? settings.baudRate : kSerialRateCap};
    int rateIndex = 0;
    std::size_t searchIndex = 0;
    bool anyOpened = false;
    // The four search slots: a camera lives in its slot only while it is being tried.
    std::array<std::unique_ptr<CameraLink>, 4> slots;

    for (;;) {
        const std::string port = settings.fixedPort
                                     ? kPortNames[static_cast<std::size_t>(*settings.fixedPort - 1)]
                                     : kPortNames[searchIndex];
        LinkOptions linkOptions;
        linkOptions.devicePath = options.portDevice ? options.portDevice(port) : std::string();
        linkOptions.timing = options.timing;
        linkOptions.events = &events;
        linkOptions.waitClock = options.clock;
        auto& slot = slots[searchIndex];
        slot = std::make_unique<CameraLink>(port, settings.lineStandard, linkOptions);

        if (slot->port().opening() == 0) {
            slot->setConfiguredRate(settings.baudRate);
            rates[1] = settings.baudRate != 0 ? settings.baudRate : slot->port().maxRate();
            anyOpened = true;
            const int rate = rates[static_cast<std::size_t>(rateIndex)];
            op.setProgressText(searchingText61222(port, rate));
            result.tries.emplace_back(port, rate);
            if (slot->connect(rate) == LinkState::Connected) {
                op.setProgressText(connectedText61223(port, slot->port().currentRate()));
                result.camera = std::move(slot);
            } else if (slot->rateRefused()) {
                // Every further try would end the same way (or with a dead link).
                op.message(rateRefusedText(port, settings.baudRate, slot->port().maxRate()));
                result.rateRefused = true;
                events.idleKick();
                break;
            }
        }
        events.idleKick();
        if (result.camera)
            break;
        slot.reset();

        if (++searchIndex == kPortNames.size()) {
            if (!anyOpened) {
                op.message(kPortsInUse61525);
                result.noPortOpened = true;
                break;
            }
            searchIndex = 0;
            rateIndex ^= 1;
        }
        if (op.cancelled()) {
            result.cancelled = true;
            break;
        }
        if (options.maxTries > 0 && static_cast<int>(result.tries.size()) >= options.maxTries) {
            result.gaveUp = true;
            break;
        }
    }

    if (CameraLink* camera = result.camera.get()) {
        camera->setLinkState(LinkState::Ready);
        if (camera->status().firmwareText().empty()) {
            op.message(incompatibleFirmwareText61260(""));
            result.incompatibleFirmware = true;
        }
        if (options.diagnosticsMode && settings.continuousTakePicture) {
            camera->waitClock().sleep(options.takePictureDelay);
            (void)camera->execute(cmd::TakePicture);
        }
        result.removeSoundCommand = camera->hasNewFirmware();
        result.removeFormatCard = !camera->hasFileSystem();
    }
    events.idleKick();
    op.endProgress();
    return result;
}

bool changeBaudRate(CameraLink& camera, int menuValue, settings::AppSettings& settings,
                    Operator& op) {
    op.setWaitCursor(true);
    Status result = camera.setRate(menuValue);
    if (result == status::Ok) {
        camera.waitClock().sleep(camera.timing().statusRetrySleep);
        result = camera.requestStatus();
    }
    op.setWaitCursor(false);
    if (result != status::Ok) {
        op.message("Baud rate change FAILED!");
        return false;
    }
    settings.setBaudRate(menuValue);
    camera.setConfiguredRate(menuValue);
    camera.events().idleKick();
    op.message("Baud rate change successful.");
    return true;
}

} // namespace kv::camera
