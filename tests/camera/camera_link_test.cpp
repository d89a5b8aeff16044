// CameraLink's protocol side: execute and its reply reading, the status request, pings and
// the lost-link rule, over a scripted far end or the bench camera.

#include "camera/camera_link.h"
#include "camsim/bench_camera.h"
#include "link_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

using namespace kv::camera;
using namespace kv::camera::test;
using kv::camsim::BenchCamera;
using kv::camsim::BenchCameraOptions;

namespace {

// A link on a scripted far end, with the camera's answers queued before the command.
struct ScriptedLink {
    explicit ScriptedLink(std::chrono::milliseconds t = 400ms) : ScriptedLink(quickTiming(t)) {}
    explicit ScriptedLink(LinkTiming timing)
        : link("COM1", kLineRS232, linkOptions(peer.path(), timing)) {}
    ScriptedPeer peer;
    CameraLink link;
};

} // namespace

TEST(CameraLinkProtocol, RepliesWithStateNoticesAreAccepted) {
    struct Case {
        std::string answer;
        kv::Status want;
    } cases[] = {
        {"OK\r\n", kv::status::Ok},
        {"bOK\r\n", kv::status::Ok},
        {"OdK\r\n", kv::status::Ok},
        {"rOrKd\r\n", kv::status::Ok},
        {"NG\r\n", kv::status::Failed},
        {"xOK\r\n", kv::status::Ok}, // the last four bytes ending in CR LF are the reply
    };
    for (const Case& c : cases) {
        ScriptedLink s;
        s.peer.answerNextLine(c.answer);
        EXPECT_EQ(s.link.execute(cmd::Nop), c.want) << c.answer;
        EXPECT_EQ(s.peer.answeredLine(), "N0\r\n");
    }
}

TEST(CameraLinkProtocol, ShortRepliesAndSilenceEndInTimeOuts) {
    ScriptedLink s(100ms);
    s.peer.answerNextLine("A\r\n"); // 3 bytes: never accepted at its CR LF
    EXPECT_EQ(s.link.execute(cmd::Nop), kv::status::TimedOut);
    s.peer.answeredLine();
    EXPECT_EQ(s.link.execute(cmd::TakePicture), kv::status::TimedOut);
    // The long wait of row 3 reads again and again while it times out, then gives up.
    ScriptedLink quick(5ms);
    quick.peer.answerNextLine("b");
    EXPECT_EQ(quick.link.executeSimple(cmd::EndItemRead), kv::status::Failed);
}

TEST(CameraLinkProtocol, LongWaitRowsOutlastSeveralTimeOuts) {
    ScriptedLink s(50ms);
    std::thread late([&] {
        s.peer.receive(4); // "B3\r\n"
        std::this_thread::sleep_for(200ms);
        s.peer.send("OK\r\n");
    });
    EXPECT_EQ(s.link.execute(cmd::EndItemRead), kv::status::Ok);
    late.join();
}

TEST(CameraLinkProtocol, NothingIsSentOnALostLink) {
    ScriptedLink s;
    s.link.setLinkState(LinkState::Lost);
    EXPECT_EQ(s.link.execute(cmd::TakePicture), kv::status::LinkLost);
    EXPECT_EQ(s.link.requestStatus(), kv::status::LinkLost);
    EXPECT_EQ(s.peer.drain(50ms), "");
}

TEST(CameraLinkProtocol, ABusyLinkThatIsLostMeanwhileSendsNothing) {
    LinkTiming t = quickTiming();
    t.busyPoll = 100ms; // a second of waiting in all: ample time for the other thread
    ScriptedLink s(t);
    s.link.setLinkState(LinkState::Busy);
    std::thread loser([&] {
        std::this_thread::sleep_for(20ms);
        s.link.setLinkState(LinkState::Lost);
    });
    EXPECT_EQ(s.link.execute(cmd::TakePicture), kv::status::LostWhileBusy);
    loser.join();
    EXPECT_EQ(s.peer.drain(50ms), "");
}

TEST(CameraLinkProtocol, CommandsThatDoNotFitAreRefusedUnsent) {
    ScriptedLink s;
    const std::string name(80, 'A');
    EXPECT_EQ(s.link.execute(cmd::OpenFile, {name, 0, 128}), kv::status::Failed);
    EXPECT_EQ(s.link.execute(cmd::SetRate, {}), kv::status::Failed);
    EXPECT_EQ(s.peer.drain(50ms), "");
    EXPECT_TRUE(s.link.pingsAllowed());
}

TEST(CameraLinkProtocol, RateCommandOnTheWire) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    EXPECT_EQ(link.execute(cmd::SetRate, {115200}), kv::status::Ok);
    const kv::Bytes wire = camera.received();
    EXPECT_EQ(std::string(wire.begin(), wire.end()), "K0;115200\r\n");
}

TEST(CameraLinkProtocol, StatusRequestFillsTheStatusFromTheCamera) {
    BenchCameraOptions options;
    options.kind = kv::camsim::CameraKind::MemoryCard;
    options.firmware = "2.5";
    options.serialNumber = 123456;
    BenchCamera camera(options);
    camera.withState([](kv::camsim::CameraState& s) {
        s.pictures = -99;
        s.quality = 2;
        s.flash = 0;
        s.battery = 80;
    });
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    ASSERT_EQ(link.requestStatus(), kv::status::Ok);
    const CameraStatus& s = link.status();
    EXPECT_TRUE(link.hasFileSystem());
    EXPECT_FALSE(link.variantB());
    EXPECT_EQ(s.firmwareText(), "2.5");
    EXPECT_EQ(s.serialNumber, 123456);
    EXPECT_TRUE(s.picturesFlag);
    EXPECT_EQ(s.legacyQuality, 2); // firmware below 3.0 on the first variant
    EXPECT_EQ(s.quality, 70);
    EXPECT_EQ(s.flash, 0);
    EXPECT_EQ(s.battery, 80);
}

TEST(CameraLinkProtocol, SettingsCommandsAreMirroredInTheStatus) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    struct Case {
        int row;
        long value;
        std::int16_t CameraStatus::*field;
    } cases[] = {
        {cmd::Exposure, 9, &CameraStatus::exposureTime},
        {cmd::AutoExposure, 1, &CameraStatus::autoExposure},
        {cmd::Flash, 0, &CameraStatus::flash},
        {cmd::Quality, 3, &CameraStatus::quality},
        {cmd::Sound, 0, &CameraStatus::sound},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(link.execute(c.row, {c.value}), kv::status::Ok) << c.row;
        ASSERT_EQ(link.requestStatus(), kv::status::Ok);
        EXPECT_EQ(link.status().*c.field, c.value) << c.row;
    }
    EXPECT_EQ(link.execute(cmd::Exposure, {12}), kv::status::Failed); // out of range: refused
    EXPECT_EQ(link.execute(cmd::Compression, {40}), kv::status::Ok);
    EXPECT_EQ(camera.withState([](auto& s) { return s.compression; }), 40);
}

TEST(CameraLinkPing, AnswersSetTheLinkState) {
    BenchCameraOptions options;
    options.pictureBusy = 2s;
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    link.ping();
    EXPECT_EQ(link.linkState(), LinkState::Ready);
    EXPECT_FALSE(link.statusChanged());

    const int before = camera.withState([](auto& s) { return s.pictures; });
    ASSERT_EQ(link.execute(cmd::TakePicture), kv::status::Ok);
    link.ping(); // taking the picture: busy
    EXPECT_EQ(link.linkState(), LinkState::Busy);
    camera.setBusyFor(0ms);

    // 'd': new status, fetched within the same ping.
    camera.clearLogs();
    link.ping();
    EXPECT_EQ(link.linkState(), LinkState::Ready);
    EXPECT_TRUE(link.takeStatusChanged());
    EXPECT_FALSE(link.statusChanged());
    EXPECT_EQ(camera.commandLog(), std::vector<std::string>{"I0"});
    EXPECT_EQ(link.status().pictures, before + 1);
    EXPECT_FALSE(link.pingInProgress());
}

TEST(CameraLinkPing, FiveFailuresInARowLoseTheLink) {
    BenchCamera camera;
    camera.setFaults(faults([](auto& f) { f.silent = true; }));
    // The one answered ping in the middle must come within the time-out even on a busy
    // machine: a time-out well above a scheduling delay.
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(250ms)));
    for (int i = 1; i <= 4; ++i) {
        link.ping();
        EXPECT_EQ(link.pingFailures(), i);
        EXPECT_EQ(link.linkState(), LinkState::NoAnswer);
    }
    // One answer in between starts the count again.
    camera.setFaults({});
    link.ping();
    EXPECT_EQ(link.pingFailures(), 0);
    EXPECT_EQ(link.linkState(), LinkState::Ready);

    camera.setFaults(faults([](auto& f) { f.silent = true; }));
    for (int i = 0; i < 4; ++i)
        link.ping();
    // A command (even a failed one) resets the count as well.
    EXPECT_EQ(link.execute(cmd::Nop), kv::status::TimedOut);
    EXPECT_EQ(link.pingFailures(), 0);
    for (int i = 0; i < 5; ++i)
        link.ping();
    EXPECT_EQ(link.linkState(), LinkState::Lost);
    EXPECT_EQ(link.execute(cmd::Nop), kv::status::LinkLost);
    const std::size_t pings = camera.pingCount();
    link.ping(); // a lost link is not pinged any more
    EXPECT_FALSE(camera.waitForPings(pings + 1, 50ms));
}

TEST(CameraLinkPing, NoPingWhileForbiddenOrOff) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    link.holdPings();
    link.ping();
    link.releasePings();
    ASSERT_EQ(link.setPingMode(0), kv::status::Ok);
    link.ping();
    EXPECT_EQ(camera.pingCount(), 0u);
    EXPECT_EQ(camera.withState([](auto& s) { return s.pingMode; }), 0);
    ASSERT_EQ(link.setPingMode(1), kv::status::Ok);
    link.ping();
    EXPECT_EQ(camera.pingCount(), 1u);
}

TEST(CameraLinkRobustness, HostileRepliesLeaveTheLinkConsistent) {
    // A camera that floods garbage, never ends a line, or sends NUL bytes.
    const std::string floods[] = {std::string(5000, '\xAA'), std::string(300, 'X'),
                                  std::string(200, '\0'),
                                  std::string("OK") + std::string(150, 'r')};
    for (const std::string& flood : floods) {
        ScriptedLink s(60ms);
        ASSERT_EQ(s.link.status().serialNumber, 0);
        s.link.editStatus([](CameraStatus& st) { st.serialNumber = 4711; });
        s.peer.answerNextLine(flood);
        const kv::Status status = s.link.requestStatus();
        s.peer.answeredLine();
        EXPECT_NE(status, kv::status::IoFailed);
        EXPECT_EQ(s.link.status().serialNumber, 4711);
        EXPECT_EQ(s.link.status().firmwareText(), "");
        s.peer.drain(10ms);
        s.peer.answerNextLine(flood);
        EXPECT_NE(s.link.execute(cmd::Nop), kv::status::Ok);
        s.peer.answeredLine();
        EXPECT_TRUE(s.link.pingsAllowed());
        EXPECT_FALSE(s.link.pingInProgress());
    }
}

TEST(CameraLinkRobustness, NoisyCamerasNeverBreakTheLink) {
    // Without a checksum a changed digit cannot be caught; what must hold is that nothing
    // overflows, no call hangs past its time-outs, and the link works once the line is clean.
    const std::function<void(kv::camsim::FaultOptions&)> noises[] = {
        [](auto& f) { f.corruptRate = 0.05; },
        [](auto& f) { f.dropRate = 0.02; },
        [](auto& f) {
            f.dropRate = 0.01;
            f.corruptRate = 0.01;
            f.stateByteRate = 0.05;
        },
    };
    for (const auto& noise : noises) {
        BenchCameraOptions options;
        options.faults = faults(noise);
        options.faults.seed = 11;
        BenchCamera camera(options);
        CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(120ms)));
        for (int i = 0; i < 10; ++i) {
            (void)link.requestStatus();
            (void)link.execute(cmd::Nop);
            EXPECT_LE(link.status().firmwareText().size(), 11u);
            EXPECT_TRUE(link.pingsAllowed());
        }
        camera.setFaults({});
        link.port().purge();
        EXPECT_EQ(link.execute(cmd::Nop), kv::status::Ok);
        EXPECT_EQ(link.requestStatus(), kv::status::Ok);
        EXPECT_EQ(link.status().firmwareText(), "3.01");
    }
}

TEST(CameraLinkRobustness, StateBytesAloneNeverBreakAReply) {
    BenchCameraOptions options;
    options.faults = faults([](auto& f) {
        f.seed = 3;
        f.stateByteRate = 0.2;
    });
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(link.execute(cmd::Nop), kv::status::Ok) << i;
        ASSERT_EQ(link.requestStatus(), kv::status::Ok) << i;
        ASSERT_EQ(link.status().firmwareText(), "3.01");
    }
}

// The ping thread refreshes the status from the camera while other threads read it: every copy
// is one whole status line's (firmware and serial number of the same answer), never a firmware
// text half overwritten. A second writer edits the status through its lock as the transfers do.
TEST(CameraLinkPing, StatusCopiesAreNeverHalfWritten) {
    struct Version {
        const char* firmware;
        std::int32_t serial;
    };
    // Texts of full length, so that a torn copy mixes them visibly.
    const Version versions[] = {{"3.01AAAAAAA", 1111}, {"2.02BBBBBBB", 2222}};
    BenchCamera camera;
    camera.withState([&](auto& s) {
        s.firmware = versions[0].firmware;
        s.serialNumber = versions[0].serial;
    });
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming()));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);

    std::atomic<bool> stop{false};
    std::atomic<int> refreshes{0};
    std::thread cameraSide([&] {
        for (int i = 1; !stop.load(); ++i) {
            const Version& v = versions[i % 2];
            camera.withState([&](auto& s) {
                s.firmware = v.firmware;
                s.serialNumber = v.serial;
                s.statusChanged = true; // the next ping is answered 'd' and fetches the status
            });
            std::this_thread::sleep_for(5ms);
            ++refreshes;
        }
    });
    std::thread editor([&] {
        for (int i = 0; !stop.load(); ++i) {
            const Version& v = versions[i % 2];
            link.editStatus([&](CameraStatus& s) {
                std::snprintf(s.firmware.data(), s.firmware.size(), "%s", v.firmware);
                s.serialNumber = v.serial;
            });
        }
    });
    int torn = 0;
    long copies = 0;
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < end) {
        const CameraStatus s = link.status();
        ++copies;
        const bool whole = std::any_of(std::begin(versions), std::end(versions), [&](auto& v) {
            return s.firmwareText() == v.firmware && s.serialNumber == v.serial;
        });
        torn += whole ? 0 : 1;
    }
    stop = true;
    cameraSide.join();
    editor.join();
    EXPECT_EQ(torn, 0) << "of " << copies << " copies";
    EXPECT_GT(refreshes.load(), 10);
    EXPECT_GT(camera.pingCount(), 5u); // the ping thread was refreshing meanwhile
}
