// kvtool camera commands: ports, connect, status, take, set, baud. Each runs against the
// camera on the configured ports, or with --simulate against an in-process bench camera.

#include "camera/camera_link.h"
#include "camera/connect_procedure.h"
#include "camera/serial_port.h"
#include "camsim/bench_options.h"
#include "camsim/tool_session.h"
#include "command.h"
#include "settings/app_settings.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kvtool {
namespace {

using kv::camera::CameraLink;

std::atomic<bool> interrupted{false};
void onInterrupt(int) {
    interrupted = true;
}

// Progress lines and messages on stdout; Ctrl-C cancels the search.
class TerminalOperator : public kv::SilentOperator {
public:
    TerminalOperator() { std::signal(SIGINT, onInterrupt); }
    ~TerminalOperator() override { std::signal(SIGINT, SIG_DFL); }
    void message(std::string_view text) override {
        std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    }
    void beginProgress(std::string_view text, long) override {
        std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    }
    void setProgressText(std::string_view text) override {
        std::printf("  %.*s\n", static_cast<int>(text.size()), text.data());
        std::fflush(stdout);
    }
    bool cancelled() override { return interrupted.load(); }
};

struct Connected {
    kv::camsim::ToolSession session;
    kv::camera::ConnectResult result;
    CameraLink* camera() { return result.camera.get(); }
};

// Prepares the session from the options and runs the search; prints the search when
// `verbose`. Returns false after printing the reason.
bool connectCamera(Args& args, Connected& c, bool verbose, int& exitCode) {
    std::string error;
    if (!kv::camsim::prepareToolSession([&](std::string_view n) { return args.option(n); },
                                        [&](std::string_view n) { return args.flag(n); }, c.session,
                                        error)) {
        exitCode = fail(error);
        return false;
    }
    TerminalOperator terminal;
    kv::SilentOperator quiet;
    kv::Operator& op = verbose ? static_cast<kv::Operator&>(terminal) : quiet;
    c.result = kv::camsim::connectToolSession(c.session, op, kv::camera::noCameraEvents());
    if (c.camera() != nullptr)
        return true;
    if (c.result.cancelled)
        exitCode = fail("search cancelled");
    else if (c.result.noPortOpened)
        exitCode = fail("no communication port could be opened (see section PORTS)");
    else
        exitCode =
            fail("no camera answered after " + std::to_string(c.result.tries.size()) + " tries");
    return false;
}

const char* yesNo(bool b) {
    return b ? "yes" : "no";
}

constexpr const char* kExposureTexts[12] = {"1/2000", "1/1000", "1/500", "1/250", "1/125", "1/60",
                                            "1/30",   "1/15",   "1/8",   "1/4",   "1/2",   "1"};

void printStatus(CameraLink& camera) {
    const kv::camera::CameraStatus& s = camera.status();
    const std::string firmware(s.firmwareText());
    std::printf("port             %s (%s) at %d bit/s\n", camera.portName().c_str(),
                camera.port().devicePath().c_str(), camera.port().currentRate());
    std::printf("link state       %s\n", kv::camera::linkStateName(camera.linkState()));
    std::printf("type             0x%04X\n", s.type);
    std::printf("firmware         %s\n", firmware.c_str());
    std::printf(
        "serial number    %d (%s)\n", s.serialNumber,
        kv::settings::manufacturingNumberText(static_cast<std::uint32_t>(s.serialNumber)).c_str());
    std::printf("pictures         %d\n", s.pictures);
    if (s.battery == 999)
        std::printf("battery          mains power\n");
    else
        std::printf("battery          %d %%\n", s.battery);
    std::printf("error status     %d\n", s.errorStatus);
    const bool knownExposure = s.exposureTime >= 0 && s.exposureTime < 12;
    std::printf("exposure time    %d (%s s)\n", s.exposureTime,
                knownExposure ? kExposureTexts[s.exposureTime] : "?");
    std::printf("auto exposure    %d\n", s.autoExposure);
    std::printf("flash            %d\n", s.flash);
    std::printf("quality          %d\n", s.quality);
    std::printf("legacy quality   %d\n", s.legacyQuality);
    std::printf("sound            %d\n", s.sound);
    std::printf("number           %d\n", s.number);
    std::printf("pictures flag    %s\n", yesNo(s.picturesFlag));
    std::printf("hasFileSystem    %s\n", yesNo(camera.hasFileSystem()));
    std::printf("variantB         %s\n", yesNo(camera.variantB()));
    std::printf("hasNewFirmware   %s\n", yesNo(camera.hasNewFirmware()));
    std::printf("hasNewFirmwareA  %s\n", yesNo(camera.hasNewFirmwareA()));
}

int commandFailed(const char* what, kv::Status code) {
    return fail(std::string(what) + " FAILED! (" + std::to_string(code) + ": " +
                std::string(kv::statusText(code)) + ")");
}

// ---- commands ----

int runPorts(Args& args) {
    kv::camsim::ToolSession session;
    std::string error;
    if (!kv::camsim::prepareToolSession([&](std::string_view n) { return args.option(n); },
                                        [&](std::string_view n) { return args.flag(n); }, session,
                                        error))
        return fail(error);
    if (!args.positional().empty())
        return usage("ports");
    const int standard = session.settings.lineStandard;
    for (const char* port : {"COM1", "COM2", "COM3", "COM4"}) {
        const std::string device = session.device(port);
        kv::camera::SerialPort serial(device, standard);
        if (serial.opening() == 0)
            std::printf("%s  %-20s opens (up to %d bit/s)\n", port, device.c_str(),
                        serial.maxRate());
        else
            std::printf("%s  %-20s does not open: %s\n", port, device.c_str(),
                        serial.lastError().c_str());
    }
    return 0;
}

int runConnect(Args& args) {
    Connected c;
    int code = 0;
    if (!connectCamera(args, c, true, code))
        return code;
    if (!args.positional().empty())
        return usage("connect");
    std::printf("camera on %s at %d bit/s, firmware %s\n", c.camera()->portName().c_str(),
                c.camera()->port().currentRate(),
                std::string(c.camera()->status().firmwareText()).c_str());
    if (c.result.removeSoundCommand)
        std::printf("menu: Sound removed (new firmware)\n");
    if (c.result.removeFormatCard)
        std::printf("menu: Format Memory Card removed (no memory card)\n");
    return 0;
}

int runStatus(Args& args) {
    Connected c;
    int code = 0;
    if (!connectCamera(args, c, false, code))
        return code;
    if (!args.positional().empty())
        return usage("status");
    const kv::Status result = c.camera()->requestStatus();
    if (result != kv::status::Ok)
        return commandFailed("Status request", result);
    printStatus(*c.camera());
    return 0;
}

int runTake(Args& args) {
    Connected c;
    int code = 0;
    if (!connectCamera(args, c, false, code))
        return code;
    if (!args.positional().empty())
        return usage("take");
    const kv::Status result = c.camera()->execute(kv::camera::cmd::TakePicture);
    if (result != kv::status::Ok)
        return commandFailed("Take Picture", result);
    (void)c.camera()->requestStatus();
    std::printf("Take Picture Successful. %d pictures in the camera\n",
                c.camera()->status().pictures);
    return 0;
}

struct Setting {
    const char* name;
    int row;
    int low, high;
};
constexpr Setting kSettings[] = {
    {"quality", kv::camera::cmd::Quality, 0, 3},
    {"flash", kv::camera::cmd::Flash, 0, 1},
    {"sound", kv::camera::cmd::Sound, 0, 1},
    {"autoexposure", kv::camera::cmd::AutoExposure, 0, 1},
    {"exposure", kv::camera::cmd::Exposure, 0, 11},
    {"compression", kv::camera::cmd::Compression, 0, 255},
};

int runSet(Args& args) {
    Connected c;
    // Options first (they are taken out of the words), then the positional words.
    std::string error;
    if (!kv::camsim::prepareToolSession([&](std::string_view n) { return args.option(n); },
                                        [&](std::string_view n) { return args.flag(n); }, c.session,
                                        error))
        return fail(error);
    if (args.size() != 2)
        return usage("set");
    const Setting* setting = nullptr;
    for (const Setting& s : kSettings) {
        if (args[0] == s.name)
            setting = &s;
    }
    if (setting == nullptr)
        return usage("set");
    long value = -1;
    if (setting->row == kv::camera::cmd::Exposure) {
        for (int i = 0; i < 12; ++i) {
            if (args[1] == kExposureTexts[i])
                value = i;
        }
    }
    if (value < 0) {
        char* end = nullptr;
        value = std::strtol(args[1].c_str(), &end, 10);
        if (*end != '\0' || args[1].empty())
            value = -1;
    }
    if (value < setting->low || value > setting->high)
        return fail("value for " + std::string(setting->name) + " must be " +
                    std::to_string(setting->low) + ".." + std::to_string(setting->high));
    kv::SilentOperator quiet;
    c.result = kv::camsim::connectToolSession(c.session, quiet, kv::camera::noCameraEvents());
    if (c.camera() == nullptr)
        return fail("no camera answered");
    const kv::Status result = c.camera()->execute(setting->row, {value});
    if (result != kv::status::Ok)
        return commandFailed(setting->name, result);
    std::printf("%s = %ld Successful.\n", setting->name, value);
    return 0;
}

int runBaud(Args& args) {
    Connected c;
    int code = 0;
    if (!connectCamera(args, c, false, code))
        return code;
    if (args.size() != 1)
        return usage("baud");
    int rate = -1;
    if (args[0] == "auto")
        rate = 0;
    else if (args[0] == "115200")
        rate = 115200;
    else if (args[0] == "57600")
        rate = 57600;
    if (rate < 0)
        return usage("baud");
    TerminalOperator op;
    kv::settings::AppSettings settings;
    if (!kv::camera::changeBaudRate(*c.camera(), rate, settings, op))
        return 1;
    std::printf("now at %d bit/s\n", c.camera()->port().currentRate());
    return 0;
}

const std::string kOptionsNote = " [--simulate [bench options]] [--tries=N]";

Registrar portsCommand{{"ports", "ports" + kOptionsNote,
                        "list COM1..COM4, their devices and whether they open", runPorts}};
Registrar connectCommand{
    {"connect", "connect" + kOptionsNote, "search the ports and rates for the camera", runConnect}};
Registrar statusCommand{{"status", "status" + kOptionsNote,
                         "show every status field and capability of the camera", runStatus}};
Registrar takeCommand{{"take", "take" + kOptionsNote, "take a picture", runTake}};
Registrar setCommand{
    {"set", "set quality|flash|sound|autoexposure|exposure|compression VALUE" + kOptionsNote,
     "change a camera setting", runSet}};
Registrar baudCommand{{"baud", "baud auto|115200|57600" + kOptionsNote,
                       "change the camera's bit rate and remember it", runBaud}};

} // namespace
} // namespace kvtool
