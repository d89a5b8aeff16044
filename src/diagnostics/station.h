// Station: what a station procedure works with — the person (Operator), time (Clock), the
// settings file, the station's outputs, the loudspeaker and the camera — and the error text a
// procedure collects for the menu command to show at its end.
//
// The procedures run on the thread that calls them and wait only through `clock`; the
// program gives them a real clock that keeps its window alive, kvtool a plain real clock, the
// bench station and the tests a virtual one.
#pragma once

#include "base/clock.h"
#include "base/operator.h"
#include "base/sound_output.h"
#include "camera/camera_link.h"
#include "camera/transfers.h"
#include "settings/profile.h"

#include <functional>
#include <string>

namespace kv::diagnostics {

class StationDevices;

struct Station {
    Station(Operator& o, Clock& c, settings::Profile& p, StationDevices& d, SoundOutput& so)
        : op(o), clock(c), profile(p), devices(d), sound(so) {}

    Operator& op;
    Clock& clock;
    settings::Profile& profile;
    StationDevices& devices;
    SoundOutput& sound;

    // The connected camera, or nullptr. Procedures that reconnect replace it.
    camera::CameraLink* camera = nullptr;
    // Connects to the camera (again): the old link is closed first; nullptr when no camera
    // answered. Without it, procedures that need a camera fail with "Camera Not Connected!".
    std::function<camera::CameraLink*()> reconnect;
    // Closes the camera's link (an LED station lets go of a board before the next is put
    // in); without it the link is only forgotten here.
    std::function<void()> disconnect;
    // Set by the LED station loop while it runs: the firmware file comes from
    // "DOWNLOAD_PROGRAM" and the serial number is overwritten without asking.
    bool automaticMode = false;
    // The waits and retries of the transfers (their clock is set to `clock` on use).
    camera::TransferTiming timing;
    // Failure messages collected by a procedure, shown by the menu command at the end.
    std::string errorText;
    // Set when the operator cancels a verdict or an exposure warning of the gain run (cleared
    // when a run starts); the station loop and the final test stop on it.
    bool stopped = false;

    // Transfers on the connected camera with the station's clock.
    camera::CameraTransfers transfers() const;
    // The camera, connecting first when there is none (nullptr when none answered).
    camera::CameraLink* connectedCamera();
    // Reconnects (the camera restarts after a firmware download); nullptr when none answered.
    camera::CameraLink* reconnectCamera();
    void disconnectCamera();
    // "DIAGNOSTICS" flags.
    bool ledStation() const;
    bool flashStation() const;
};

// A camera command on the station's camera: its status (256 when there is no camera).
Status stationCommand(Station& s, int number, std::initializer_list<camera::CommandArg> args = {});

} // namespace kv::diagnostics
