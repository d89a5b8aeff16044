#include "camsim/tool_session.h"

#include "camsim/bench_options.h"
#include "settings/app_settings.h"

#include <cstdlib>

namespace kv::camsim {

std::string ToolSession::device(std::string_view port) const {
    if (bench && port == "COM1")
        return bench->devicePath();
    return settings::AppSettings().portDevice(port);
}

bool prepareToolSession(const std::function<std::optional<std::string>(std::string_view)>& option,
                        const std::function<bool(std::string_view)>& flag, ToolSession& session,
                        std::string& error) {
    settings::AppSettings appSettings;
    session.settings = camera::ConnectSettings::read(appSettings);
    session.options.maxTries = 8;
    if (auto tries = option("--tries")) {
        char* end = nullptr;
        const long n = std::strtol(tries->c_str(), &end, 10);
        if (*end != '\0' || n < 0) {
            error = "bad value for --tries: " + *tries;
            return false;
        }
        session.options.maxTries = static_cast<int>(n);
    }
    const bool simulate = flag("--simulate");
    session.options.timing = toolLinkTiming(simulate);

    if (simulate) {
        BenchCameraOptions bench;
        if (!readBenchOptions(option, flag, bench, error))
            return false;
        session.bench = std::make_unique<BenchCamera>(bench);
        if (!session.bench->ok()) {
            error = "cannot start the bench camera (no pseudo-terminal)";
            return false;
        }
        // The bench camera sits on COM1: search from there whatever port is configured.
        session.settings.fixedPort.reset();
    }
    session.options.portDevice = [&session](std::string_view port) { return session.device(port); };
    return true;
}

camera::LinkTiming toolLinkTiming(bool simulate) {
    using std::chrono::milliseconds;
    camera::LinkTiming t;
    t.shutdownPoll = milliseconds(20);
    t.handshakePoll = milliseconds(10);
    const char* quick = std::getenv(kQuickLinkVariable);
    if (simulate && quick != nullptr && std::string_view(quick) == "1") {
        t.serialTimeout = milliseconds(250);
        t.pingInterval = milliseconds(20);
        t.handshakePoll = milliseconds(2);
        t.shutdownPoll = milliseconds(5);
        t.longWaitSleep = milliseconds(1);
        t.statusRetrySleep = milliseconds(5);
    }
    return t;
}

camera::ConnectResult connectToolSession(ToolSession& session, Operator& op,
                                         camera::CameraEvents& events) {
    return camera::connectToCamera(session.settings, session.options, op, events);
}

} // namespace kv::camsim
