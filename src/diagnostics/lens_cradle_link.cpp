// The lens cradle's serial line. On Linux the controller's port gets raw 8N1 at 9600 bit/s with
// DTR and RTS held low (no hang-up on close); the driver sizes its own queues, which are far
// larger than the controller's 1024 bytes.

#include "diagnostics/lens_cradle_link.h"

#include "settings/app_settings.h"
#include "settings/profile.h"

#include <algorithm>

namespace kv::diagnostics {

namespace {
constexpr const char* kSection = "FOCUS_PARAMS";
constexpr const char* kNoPortMessage =
    "Must specify lens cradle COMM port in *.INI file.\ne.g. [FOCUS_PARAMS]\nCRADLE_PORT_RS232=4";
} // namespace

CradleSettings CradleSettings::read(const settings::Profile& profile) {
    CradleSettings s;
    s.port = profile.getInt(kSection, "CRADLE_PORT_RS232", 0);
    s.maxSpeed = profile.getInt(kSection, "CRADLE_MAX_SPEED", 10000);
    s.focusSpeed = profile.getInt(kSection, "CRADLE_FOCUS_SPEED", 4000);
    s.maxTime = profile.getInt(kSection, "CRADLE_MAX_TIME", 5000);
    s.maxPosition = profile.getInt(kSection, "CRADLE_MAX_POSITION", 66000);
    return s;
}

LensCradleLink::LensCradleLink(Operator& op, CradleLinkOptions options)
    : op_(op), options_(std::move(options)) {}

LensCradleLink::~LensCradleLink() {
    close();
}

void LensCradleLink::close() {
    device_.close();
}

Status LensCradleLink::open(const CradleSettings& s) {
    close();
    error_.clear();
    if (s.port < 1 || s.port > 4) {
        error_ = "no lens cradle port";
        op_.message(kNoPortMessage);
        return status::Failed;
    }
    const std::string portName = "COM" + std::to_string(s.port);
    const auto deviceOf = [this](std::string_view port) {
        return options_.portDevice ? options_.portDevice(port)
                                   : settings::AppSettings().portDevice(port);
    };
    const std::string path = deviceOf(portName);
    if (!options_.cameraPort.empty() &&
        (options_.cameraPort == portName || deviceOf(options_.cameraPort) == path)) {
        error_ = portName + " is the camera's port";
        op_.message("The lens cradle cannot use " + portName +
                    ": the camera is connected there.\nSet CRADLE_PORT_RS232 in [FOCUS_PARAMS] "
                    "of the *.INI file to the cradle's own port.");
        return status::Failed;
    }
    platform::LineSettings line; // 9600 8N1, no flow control, DTR and RTS low
    if (!device_.open(path, line)) {
        error_ = device_.lastError();
        return status::Failed;
    }
    device_.purge();

    std::string reply;
    const long startSpeed = std::min(s.maxSpeed, kCradleStartSpeedCap);
    const std::string startup[] = {
        cradleLine("MED"),
        cradleLine("MFE"),
        cradleLine("VI", startSpeed),
        cradleLine("VF", s.maxSpeed),
        cradleLine("AC", kCradleAcceleration),
    };
    for (const std::string& l : startup) {
        if (exchange(l, reply, kCradleCommandTimeout, CradleReplyMode::Star) != status::Ok) {
            error_ = "no answer to " + l.substr(0, l.size() - 2);
            return status::Failed;
        }
    }
    if (home() != status::Ok) {
        error_ = "the cradle did not home";
        return status::Failed;
    }
    return status::Ok;
}

Status LensCradleLink::exchange(std::string_view line, std::string& reply, long timeoutMs,
                                CradleReplyMode mode) {
    reply.clear();
    emptyReads_ = 0;
    if (!device_.isOpen())
        return status::Failed;
    // The write's time-out: 100 ms per byte plus 100 ms.
    const auto writeLimit = std::chrono::milliseconds(100 * (line.size() + 1));
    const platform::IoResult w =
        device_.write(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(), writeLimit);
    if (w.failed) {
        device_.purge();
        return status::IoFailed;
    }
    if (w.count < line.size())
        return status::Failed;

    CradleReplyAssembler assembler(mode);
    const long budget = std::max(0L, timeoutMs) / 100 + 1;
    while (true) {
        std::uint8_t byte = 0;
        const platform::IoResult r = device_.read(&byte, 1, options_.readSlice, options_.readSlice);
        if (r.failed) {
            reply = assembler.reply();
            return status::Failed; // the device went away: no point in waiting on
        }
        if (r.count == 0) {
            if (++emptyReads_ >= budget) {
                reply = assembler.reply();
                return status::Failed;
            }
            continue;
        }
        const auto step = assembler.feed(byte);
        if (step == CradleReplyAssembler::Step::NeedMore)
            continue;
        reply = assembler.reply();
        return step == CradleReplyAssembler::Step::Complete ? status::Ok : status::Failed;
    }
}

bool LensCradleLink::readPosition(long& position) {
    std::string reply;
    if (exchange(cradleLine("RP"), reply, kCradleCommandTimeout, CradleReplyMode::Star) !=
        status::Ok)
        return false;
    const auto p = parseCradlePosition(reply);
    if (!p)
        return false;
    position = *p;
    return true;
}

Status LensCradleLink::moveTo(long position, long timeoutMs) {
    std::string reply;
    return exchange(cradleLine("MA", position), reply, timeoutMs, CradleReplyMode::StarThenF);
}

bool LensCradleLink::checkPosition(long expected) {
    long now = 0;
    if (!readPosition(now))
        return false;
    if (now != expected) {
        op_.message("Lens cradle position error!");
        return false;
    }
    return true;
}

bool LensCradleLink::moveChecked(long position, long timeoutMs) {
    return moveTo(position, timeoutMs) == status::Ok && checkPosition(position);
}

Status LensCradleLink::setSpeed(long speed) {
    std::string reply;
    return exchange(cradleLine("VF", speed), reply, kCradleCommandTimeout, CradleReplyMode::Star);
}

Status LensCradleLink::home() {
    std::string reply;
    return exchange(cradleLine("MH 1"), reply, kCradleHomeTimeout, CradleReplyMode::StarThenF);
}

} // namespace kv::diagnostics
