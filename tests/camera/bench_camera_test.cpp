// The bench camera as the link sees it: its variants, busy periods, refusals and a cable
// pulled part-way through a reply.

#include "camera/camera_link.h"
#include "camsim/bench_camera.h"
#include "link_test_support.h"

#include <gtest/gtest.h>

using namespace kv::camera;
using namespace kv::camera::test;
using kv::camsim::BenchCamera;
using kv::camsim::BenchCameraOptions;
using kv::camsim::CameraKind;

TEST(BenchCamera, StatusLineFollowsTheVariant) {
    struct Case {
        CameraKind kind;
        bool fileSystem, variantB;
    } cases[] = {{CameraKind::Plain, false, false},
                 {CameraKind::MemoryCard, true, false},
                 {CameraKind::VariantB, false, true}};
    for (const Case& c : cases) {
        BenchCameraOptions options;
        options.kind = c.kind;
        options.firmware = "2.03";
        BenchCamera camera(options);
        const std::string line = camera.statusLine();
        EXPECT_EQ(line.size(), 128u);
        EXPECT_EQ(line.substr(126), "\r\n");
        CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
        ASSERT_EQ(link.requestStatus(), kv::status::Ok);
        EXPECT_EQ(link.hasFileSystem(), c.fileSystem);
        EXPECT_EQ(link.variantB(), c.variantB);
        EXPECT_EQ(link.status().firmwareText(), "2.03");
    }
}

TEST(BenchCamera, CommandsDuringABusyPeriodAreAnsweredAfterIt) {
    BenchCameraOptions options;
    options.faults.busyAfterCommand = std::chrono::milliseconds(900); // > two time-outs
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    ASSERT_EQ(link.execute(cmd::Nop), kv::status::Ok);
    // The camera sends 'b' while busy; the reader drops them and waits for the answer.
    ASSERT_EQ(link.requestStatus(), kv::status::Ok);
    EXPECT_EQ(link.status().firmwareText(), "3.01");
    link.ping();
    EXPECT_EQ(link.linkState(), LinkState::Busy);
}

TEST(BenchCamera, RefusedCommandsAndRates) {
    BenchCameraOptions options;
    options.supportedRates = {9600, 57600};
    options.faults.refuseCommand = "P0";
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    EXPECT_EQ(link.execute(cmd::TakePicture), kv::status::Failed);
    EXPECT_EQ(link.execute(cmd::SetRate, {115200}), kv::status::Failed);
    EXPECT_EQ(link.execute(cmd::SetRate, {57600}), kv::status::Ok);
    EXPECT_EQ(camera.withState([](auto& s) { return s.rate; }), 57600);
    // The camera now listens at 57600 only.
    EXPECT_EQ(link.port().setRate(57600), kv::status::Ok);
    EXPECT_EQ(link.execute(cmd::Nop), kv::status::Ok);
}

TEST(BenchCamera, CablePulledInsideAReply) {
    BenchCameraOptions options;
    options.faults.pullCableAfter = 60; // part-way through the status line
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(30000ms)));
    // The long time-out is not waited for: the vanished device fails the read.
    EXPECT_EQ(link.requestStatus(), kv::status::IoFailed);
    EXPECT_TRUE(camera.cablePulled());
    EXPECT_EQ(link.status().firmwareText(), "");
    EXPECT_EQ(link.execute(cmd::Nop), kv::status::IoFailed);
}

TEST(BenchCamera, PacedRepliesStillArriveWhole) {
    BenchCameraOptions options;
    options.faults.paceRate = 9600; // a status line takes about 133 ms
    BenchCamera camera(options);
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    EXPECT_EQ(link.requestStatus(), kv::status::Ok);
    EXPECT_EQ(link.status().firmwareText(), "3.01");
}
