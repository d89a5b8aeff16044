// A connected camera for command-line tools: either the camera on the ports of the settings
// file, or (with --simulate) a bench camera started in this process and mapped to COM1 for
// this run only. Used by kvtool's camera and transfer commands.
#pragma once

#include "base/operator.h"
#include "camera/connect_procedure.h"
#include "camsim/bench_camera.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kv::camsim {

struct ToolSession {
    std::unique_ptr<BenchCamera> bench; // with --simulate
    camera::ConnectSettings settings;
    camera::ConnectOptions options;
    // The device behind a port name for this run (COM1 is the bench camera when simulating).
    std::string device(std::string_view port) const;
};

// Prepares a session from the tool's options: --simulate (with the bench options of
// bench_options.h), --tries=N (default 8: every port twice at both rates). False with `error`
// set when an option is wrong or the bench camera cannot start.
bool prepareToolSession(const std::function<std::optional<std::string>(std::string_view)>& option,
                        const std::function<bool(std::string_view)>& flag, ToolSession& session,
                        std::string& error);

// The environment variable that shortens a simulated session's link waits (the tests set it).
inline constexpr const char* kQuickLinkVariable = "KVTOOL_QUICK_LINK";
// The link waits of a tool session: the polls a tool sits out at its end are short. With a
// simulated camera and KVTOOL_QUICK_LINK=1 the pings and the waits between commands are short
// too (a ping every 20 ms); the replies' time-out and the Busy camera's polls stay.
camera::LinkTiming toolLinkTiming(bool simulate);

// Runs the connect procedure for the session; the camera in the result, or none.
camera::ConnectResult connectToolSession(ToolSession& session, Operator& op,
                                         camera::CameraEvents& events);

} // namespace kv::camsim
