// The link keeps replies and commands paired, holds pings for as long as anyone needs them,
// and refuses what would leave it dead: late replies, garbage status lines, rate changes on a
// busy camera, several holders of the ping hold, a rate the port cannot take.

#include "camera/camera_link.h"
#include "camera/connect_procedure.h"
#include "camsim/bench_camera.h"
#include "link_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kv::camera;
using namespace kv::camera::test;
using kv::camsim::BenchCamera;
using kv::camsim::BenchCameraOptions;

namespace {

LinkTiming shortTiming() {
    LinkTiming t = quickTiming(150ms);
    t.busyPoll = 50ms;
    return t;
}

// A late answer to one command must not be read as the answer to the next one.
TEST(Resynchronisation, ALateReplyIsNeverTakenForTheNextCommandsReply) {
    struct Case {
        const char* name;
        int late;            // the command answered late
        int next;            // the command after it
        kv::Status nextWant; // its result
        const char* refuse;
    } cases[] = {
        {"late OK, then a refused flash command", cmd::Exposure, cmd::Flash, kv::status::Failed,
         "F0"},
        {"late OK, then a status request", cmd::Exposure, cmd::Status, kv::status::Ok, ""},
        {"late status line, then a refused command", cmd::Status, cmd::Flash, kv::status::Failed,
         "F0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BenchCamera camera;
        CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), shortTiming()));
        ASSERT_EQ(link.connect(9600), LinkState::Connected);
        const std::string late = commandRow(c.late)->format;
        camera.setFaults(faults([&](auto& f) {
            f.lateCommand = late.substr(0, 2);
            f.lateBy = 400ms; // well past the 150 ms time-out
            f.refuseCommand = c.refuse;
        }));
        const kv::Status first =
            c.late == cmd::Status ? link.requestStatus() : link.execute(c.late, {4});
        EXPECT_EQ(first, kv::status::TimedOut);
        const kv::Status second =
            c.next == cmd::Status ? link.requestStatus() : link.execute(c.next, {0});
        EXPECT_EQ(second, c.nextWant);
        // And the link stays paired afterwards: pings and commands answer in turn.
        camera.setFaults({});
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(link.execute(cmd::Nop), kv::status::Ok);
            EXPECT_EQ(link.requestStatus(), kv::status::Ok);
        }
        EXPECT_EQ(link.status().firmwareText(), "3.01");
    }
}

// A status reply counts only when its fields parse; garbage leaves the status as it was.
TEST(Resynchronisation, GarbageIsNoStatusLine) {
    const std::string lines[] = {
        std::string(126, '\x5A') + "\r\n",                    // a whole line of noise
        std::string(128, '\x33'),                             // no line end at all
        "Tyqe: 1 S/W: 9.99" + std::string(109, ' ') + "\r\n", // the first key spoiled
    };
    for (const std::string& line : lines) {
        ScriptedPeer peer;
        CameraLink link("COM1", kLineRS232, linkOptions(peer.path(), quickTiming(100ms)));
        peer.answerNextLine(line);
        EXPECT_NE(link.requestStatus(), kv::status::Ok);
        peer.answeredLine();
        const CameraStatus s = link.status();
        EXPECT_EQ(s.pictures, -1); // the defaults, untouched
        EXPECT_EQ(s.firmwareText(), "");
        EXPECT_EQ(s.type, 0);
    }
}

// setRate on a Busy camera waits with pings running (only a ping can see the camera become
// Ready again) and holds them only for the switch itself.
TEST(Resynchronisation, RateChangeOnABusyCameraLetsPingsSeeItReady) {
    BenchCameraOptions options;
    options.pictureBusy = 300ms;
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), shortTiming()));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    ASSERT_EQ(link.execute(cmd::TakePicture), kv::status::Ok);
    ASSERT_TRUE(eventually([&] { return link.linkState() == LinkState::Busy; }));
    camera.clearLogs();
    ASSERT_EQ(link.setRate(57600), kv::status::Ok);
    const kv::Bytes heard = camera.received();
    const std::string text(heard.begin(), heard.end());
    const auto k0 = text.find("K0;57600");
    ASSERT_NE(k0, std::string::npos);
    EXPECT_NE(text.substr(0, k0).find('\x40'), std::string::npos)
        << "no ping went out before the rate command";
    EXPECT_NE(link.linkState(), LinkState::Busy);
    EXPECT_EQ(link.requestStatus(), kv::status::Ok);
}

// Holds nest: pings stay off until every holder has released its hold.
TEST(Resynchronisation, TwoHoldersKeepPingsOffUntilBothRelease) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    ASSERT_TRUE(camera.waitForPings(1, 5s));
    auto first = std::make_unique<CameraLink::PingHold>(link);
    std::thread other([&] {
        CameraLink::PingHold second(link);
        EXPECT_EQ(link.pingHolds(), 2);
    }); // the second holder releases here
    other.join();
    EXPECT_FALSE(link.pingsAllowed());
    const std::size_t pings = camera.pingCount();
    std::this_thread::sleep_for(100ms); // five ping intervals
    EXPECT_EQ(camera.pingCount(), pings) << "a ping cut into the first holder's exchange";
    link.resumePings(); // resets the failure count, never a hold
    EXPECT_FALSE(link.pingsAllowed());
    first.reset();
    EXPECT_TRUE(link.pingsAllowed());
    EXPECT_TRUE(camera.waitForPings(pings + 1, 5s));
}

// A working rate above what the port accepts ends the connect before the camera switches.
TEST(Resynchronisation, ARateThePortCannotTakeIsRefusedWithAMessage) {
    BenchCamera camera;
    {
        CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
        link.setConfiguredRate(230400);
        EXPECT_EQ(link.connect(9600), LinkState::NotConnected);
        EXPECT_TRUE(link.rateRefused());
    }
    const auto log = camera.commandLog();
    EXPECT_TRUE(std::none_of(log.begin(), log.end(),
                             [](const std::string& l) { return l.rfind("K0", 0) == 0; }));

    ConnectSettings settings;
    settings.fixedPort = 1;
    settings.baudRate = 230400;
    ConnectOptions options;
    options.timing = quickTiming();
    options.maxTries = 8;
    const std::string device = camera.devicePath();
    options.portDevice = [device](std::string_view) { return device; };
    RecordingOperator op;
    RecordingEvents events;
    const ConnectResult result = connectToCamera(settings, options, op, events);
    EXPECT_EQ(result.camera, nullptr);
    EXPECT_TRUE(result.rateRefused);
    EXPECT_EQ(result.tries.size(), 1u); // no point in trying on
    ASSERT_FALSE(op.messages.empty());
    EXPECT_NE(op.messages.back().find("230400"), std::string::npos);
}

} // namespace
