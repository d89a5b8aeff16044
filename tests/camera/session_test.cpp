// The camera session: detection, the working rate, the ping thread and the lost-link rule,
// shutdown, the transfer worker, the connect procedure and the baud-rate command.

#include "camera/camera_link.h"
#include "camera/connect_procedure.h"
#include "camera/transfer_item.h"
#include "camsim/bench_camera.h"
#include "link_test_support.h"
#include "settings/app_settings.h"
#include "settings/profile.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kv::camera;
using namespace kv::camera::test;
using kv::camsim::BenchCamera;
using kv::camsim::BenchCameraOptions;

namespace {

BenchCameraOptions cameraOptions(const std::function<void(BenchCameraOptions&)>& set = {}) {
    BenchCameraOptions o;
    if (set)
        set(o);
    return o;
}

// A settings file of the test's own.
struct TempSettings {
    TempSettings()
        : path(std::filesystem::temp_directory_path() /
               ("kv_session_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) +
                ".ini")),
          profile(path), settings(profile) {}
    ~TempSettings() { std::filesystem::remove(path); }
    static inline int counter = 0;
    std::filesystem::path path;
    kv::settings::Profile profile;
    kv::settings::AppSettings settings;
};

} // namespace

TEST(CameraSession, ConnectDetectsTheCameraAndSwitchesToTheWorkingRate) {
    BenchCamera camera;
    RecordingEvents events;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(), &events));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    EXPECT_EQ(link.port().currentRate(), 115200);
    EXPECT_EQ(camera.withState([](auto& s) { return s.rate; }), 115200);
    const auto log = camera.commandLog();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[0], "");
    EXPECT_EQ(log[1], "N0");
    EXPECT_EQ(log[2], "K0;115200"); // BAUD_RATE 0: the port's maximum
    EXPECT_EQ(log[3], "I0");
    EXPECT_EQ(log[4], "Z5;1");
    EXPECT_EQ(link.status().firmwareText(), "3.01");

    // The ping thread runs, and kicks the shell after every ping.
    EXPECT_TRUE(link.pingThreadRunning());
    EXPECT_TRUE(camera.waitForPings(3, 10s));
    EXPECT_TRUE(eventually([&] { return events.kicks.load() >= 2; }));
    EXPECT_EQ(link.linkState(), LinkState::Ready);

    // Commands and pings share the wire: every command still gets its own answer.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(link.requestStatus(), kv::status::Ok) << i;
}

TEST(CameraSession, ConfiguredRateIsUsedInsteadOfTheMaximum) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    link.setConfiguredRate(57600);
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    EXPECT_EQ(link.port().currentRate(), 57600);
    EXPECT_EQ(camera.commandLog().at(2), "K0;57600");
}

TEST(CameraSession, DetectionFailures) {
    struct Case {
        const char* what;
        std::function<void(BenchCameraOptions&)> camera;
        int rate;
    } cases[] = {
        {"silent camera", [](auto& o) { o.faults.silent = true; }, 9600},
        {"N0 answered, K0 refused", [](auto& o) { o.faults.refuseCommand = "K0"; }, 9600},
        {"working rate not supported",
         [](auto& o) {
             o.supportedRates = {9600, 57600};
         },
         9600},
        {"camera at another rate", [](auto& o) { o.initialRate = 115200; }, 9600},
        {"rate above the port's maximum", {}, 230400},
    };
    for (const Case& c : cases) {
        BenchCamera camera(cameraOptions(c.camera));
        auto link = std::make_unique<CameraLink>(
            "COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(60ms)));
        EXPECT_EQ(link->connect(c.rate), LinkState::NotConnected) << c.what;
        EXPECT_FALSE(link->pingThreadRunning()) << c.what;
        link.reset(); // destroyed, as the search does
    }
    // A camera left at the working rate is found at that rate.
    BenchCamera camera(cameraOptions([](auto& o) { o.initialRate = 115200; }));
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    EXPECT_EQ(link.connect(115200), LinkState::Connected);
}

TEST(CameraSession, SilentCameraIsLostAndThePingThreadEnds) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(250ms)));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    link.setLinkState(LinkState::Ready);
    camera.setFaults(faults([](auto& f) { f.silent = true; }));
    EXPECT_TRUE(eventually([&] { return link.linkState() == LinkState::Lost; }, 30s));
    EXPECT_TRUE(eventually([&] { return link.pingThreadState() == 3; }, 30s));
    EXPECT_EQ(link.execute(cmd::Nop), kv::status::LinkLost);
}

TEST(CameraSession, PulledCableLosesTheLink) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath(), quickTiming(250ms)));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    camera.pullCable();
    EXPECT_TRUE(eventually([&] { return link.linkState() == LinkState::Lost; }, 30s));
    EXPECT_EQ(link.requestStatus(), kv::status::LinkLost);
}

TEST(CameraSession, DestroyingWhileAPingIsOnTheWireWaitsForIt) {
    BenchCamera camera;
    LinkTiming t = quickTiming(300ms);
    t.pingInterval = 1ms;
    auto link =
        std::make_unique<CameraLink>("COM1", kLineRS232, linkOptions(camera.devicePath(), t));
    ASSERT_EQ(link->connect(9600), LinkState::Connected);
    // A silent camera keeps each ping on the wire for the whole time-out.
    camera.setFaults(faults([](auto& f) { f.silent = true; }));
    ASSERT_TRUE(eventually([&] { return link->pingInProgress(); }));
    link.reset(); // must wait for the ping, then end the thread and close the port
    EXPECT_EQ(link, nullptr);
}

TEST(CameraSession, RateChangeSwitchesCameraAndPort) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);
    ASSERT_EQ(link.setRate(57600), kv::status::Ok);
    EXPECT_EQ(link.port().currentRate(), 57600);
    EXPECT_EQ(camera.withState([](auto& s) { return s.rate; }), 57600);
    EXPECT_EQ(link.requestStatus(), kv::status::Ok);
    ASSERT_EQ(link.setRate(0), kv::status::Ok); // automatic: the port's maximum
    EXPECT_EQ(link.port().currentRate(), 115200);
    EXPECT_EQ(link.setRate(1200), kv::status::Failed); // the camera refuses
    EXPECT_EQ(link.port().currentRate(), 115200);
    EXPECT_EQ(link.requestStatus(), kv::status::Ok);
}

TEST(CameraSession, BaudRateCommandStoresOnlyWhatWorked) {
    TempSettings temp;
    RecordingOperator op;
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    ASSERT_EQ(link.connect(9600), LinkState::Connected);

    EXPECT_TRUE(changeBaudRate(link, 57600, temp.settings, op));
    EXPECT_EQ(temp.settings.baudRate(), 57600);
    EXPECT_EQ(link.configuredRate(), 57600);
    EXPECT_EQ(op.messages.back(), "Baud rate change successful.");

    // The camera takes K0 at 115200 but then does not answer the status request.
    camera.setFaults(faults([](auto& f) { f.refuseCommand = "I0"; }));
    EXPECT_FALSE(changeBaudRate(link, 115200, temp.settings, op));
    EXPECT_EQ(op.messages.back(), "Baud rate change FAILED!");
    EXPECT_EQ(temp.settings.baudRate(), 57600);
    EXPECT_EQ(link.configuredRate(), 57600);
}

TEST(CameraSession, TransferWorkerRunsItsJobAndEndsWithItsExitCode) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    std::mutex mutex;
    std::vector<int> fetched;
    link.setRetrieveAction(
        [&](CameraLink& l, CameraWorker& w, const std::shared_ptr<TransferItem>& item) {
            EXPECT_EQ(&l, &link);
            EXPECT_EQ(CameraWorker::current(), &w);
            EXPECT_EQ(std::this_thread::get_id(), w.threadId());
            std::lock_guard<std::mutex> g(mutex);
            fetched.push_back(item->pictureNumber);
        });
    EXPECT_FALSE(link.postToWorker({worker::Retrieve, nullptr}));
    EXPECT_EQ(link.workerThreadId(), std::thread::id());

    struct Case {
        int action;
        int exitCode;
    } cases[] = {{worker::End3, worker::ExitClosed},
                 {worker::End4, worker::ExitEnd4},
                 {9, worker::ExitOther}};
    for (const Case& c : cases) {
        link.startWorker();
        CameraWorker* w = link.worker();
        ASSERT_NE(w, nullptr);
        EXPECT_NE(link.workerThreadId(), std::thread::id());
        for (std::int16_t n = 1; n <= 3; ++n) {
            auto item = std::make_shared<TransferItem>();
            item->pictureNumber = n;
            ASSERT_TRUE(link.postToWorker({worker::Retrieve, item}));
        }
        ASSERT_TRUE(link.postToWorker({c.action, nullptr}));
        ASSERT_TRUE(w->waitFinished(10s));
        EXPECT_EQ(w->exitCode(), c.exitCode);
        EXPECT_FALSE(link.postToWorker({worker::Retrieve, nullptr}));
        link.clearWorker();
        EXPECT_EQ(link.worker(), nullptr);
    }
    EXPECT_EQ(fetched, (std::vector<int>{1, 2, 3, 1, 2, 3, 1, 2, 3}));
}

TEST(CameraSession, WorkerStopsBetweenBlocksAndOnAClosedQueue) {
    BenchCamera camera;
    CameraLink link("COM1", kLineRS232, linkOptions(camera.devicePath()));
    std::atomic<int> jobs{0};
    std::atomic<bool> release{false};
    link.setRetrieveAction([&](CameraLink&, CameraWorker& w, const std::shared_ptr<TransferItem>&) {
        ++jobs;
        eventually([&] { return release.load(); });
        // Between two blocks: a waiting stop request ends the retrieval here.
        auto waiting = w.takeWaiting();
        EXPECT_TRUE(waiting.has_value());
        EXPECT_TRUE(w.stopRequested());
    });
    link.startWorker();
    CameraWorker* w = link.worker();
    ASSERT_TRUE(link.postToWorker({worker::Retrieve, std::make_shared<TransferItem>()}));
    ASSERT_TRUE(eventually([&] { return jobs.load() == 1; }));
    ASSERT_TRUE(link.postToWorker({worker::End4, nullptr}));
    ASSERT_TRUE(link.postToWorker({worker::Retrieve, std::make_shared<TransferItem>()}));
    release = true;
    ASSERT_TRUE(w->waitFinished(10s));
    EXPECT_EQ(w->exitCode(), worker::ExitEnd4);
    EXPECT_EQ(jobs.load(), 1);

    // A forgotten worker ends on its own when its queue closes.
    link.startWorker();
    w = link.worker();
    link.clearWorker();
    EXPECT_TRUE(w->waitFinished(10s));
    EXPECT_EQ(w->exitCode(), worker::ExitClosed);
}

// ---- the connect procedure ----

namespace {

struct Search {
    ConnectSettings settings;
    ConnectOptions options;
    RecordingOperator op;
    RecordingEvents events;
    std::map<std::string, std::string> devices;

    Search() {
        options.timing = quickTiming(60ms);
        options.portDevice = [this](std::string_view port) {
            auto it = devices.find(std::string(port));
            return it != devices.end() ? it->second : "/dev/nonexistent-" + std::string(port);
        };
    }
    ConnectResult run() { return connectToCamera(settings, options, op, events); }
};

} // namespace

TEST(ConnectProcedure, FindsTheCameraOnTheSecondPort) {
    BenchCamera camera;
    Search search;
    search.options.timing = quickTiming();
    search.devices["COM2"] = camera.devicePath();
    const ConnectResult r = search.run();
    ASSERT_NE(r.camera, nullptr);
    EXPECT_EQ(r.camera->portName(), "COM2");
    EXPECT_EQ(r.camera->linkState(), LinkState::Ready);
    EXPECT_EQ(r.tries, (std::vector<std::pair<std::string, int>>{{"COM2", 9600}}));
    EXPECT_EQ(search.op.progress,
              (std::vector<std::string>{"Searching Port:  COM2   Rate:   9600",
                                        "Connected to Port:  COM2  Rate:  115200"}));
    EXPECT_EQ(search.op.boxes, std::vector<std::string>{"Connecting to Camera"});
    EXPECT_EQ(search.op.closed, 1);
    EXPECT_TRUE(search.op.messages.empty());
    EXPECT_TRUE(r.removeSoundCommand); // firmware 3.01 on the first variant
    EXPECT_TRUE(r.removeFormatCard);   // no memory card
    EXPECT_GE(search.events.kicks.load(), 2);
}

TEST(ConnectProcedure, FixedPortAlternatesTheRatesEveryFourTries) {
    BenchCamera camera(cameraOptions([](auto& o) { o.faults.silent = true; }));
    Search search;
    search.settings.fixedPort = 3;
    search.settings.baudRate = 57600;
    search.devices["COM3"] = camera.devicePath();
    search.options.maxTries = 9;
    const ConnectResult r = search.run();
    EXPECT_EQ(r.camera, nullptr);
    EXPECT_TRUE(r.gaveUp);
    std::vector<std::pair<std::string, int>> want;
    for (int rate : {9600, 57600})
        for (int i = 0; i < 4; ++i)
            want.emplace_back("COM3", rate);
    want.emplace_back("COM3", 9600);
    EXPECT_EQ(r.tries, want);
}

TEST(ConnectProcedure, AutomaticRateSearchesAtThePortMaximumAndSendsIt) {
    // The camera already runs at 115200: the first round at 9600 finds nothing, the second
    // round at the port's maximum finds it.
    BenchCamera camera(cameraOptions([](auto& o) { o.initialRate = 115200; }));
    Search search;
    search.options.timing = quickTiming(250ms);
    search.devices["COM1"] = camera.devicePath();
    const ConnectResult r = search.run();
    ASSERT_NE(r.camera, nullptr);
    EXPECT_EQ(r.tries,
              (std::vector<std::pair<std::string, int>>{{"COM1", 9600}, {"COM1", 115200}}));
    const auto log = camera.commandLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "K0;115200"), log.end());
}

TEST(ConnectProcedure, NoPortOpensAtAll) {
    Search search;
    const ConnectResult r = search.run();
    EXPECT_EQ(r.camera, nullptr);
    EXPECT_TRUE(r.noPortOpened);
    EXPECT_TRUE(r.tries.empty());
    EXPECT_EQ(search.op.messages, std::vector<std::string>{std::string(kPortsInUse61525)});
    EXPECT_EQ(search.op.closed, 1);
    EXPECT_EQ(search.events.kicks.load(), 5); // one per step and the final refresh
}

TEST(ConnectProcedure, CancelEndsTheSearchWithoutACamera) {
    BenchCamera camera(cameraOptions([](auto& o) { o.faults.silent = true; }));
    Search search;
    search.devices["COM1"] = camera.devicePath();
    search.op.cancelAfterChecks = 1;
    const ConnectResult r = search.run();
    EXPECT_EQ(r.camera, nullptr);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(search.op.checks, 2);
    EXPECT_EQ(search.op.closed, 1);
}

TEST(ConnectProcedure, SplashScreenUpDoesNothing) {
    Search search;
    search.options.splashShown = true;
    const ConnectResult r = search.run();
    EXPECT_EQ(r.camera, nullptr);
    EXPECT_TRUE(search.op.boxes.empty());
}

TEST(ConnectProcedure, CameraVariantsDecideTheMenuItemsAndFirmwareMessage) {
    struct Case {
        kv::camsim::CameraKind kind;
        const char* firmware;
        bool removeSound, removeFormat, incompatible;
    } cases[] = {
        {kv::camsim::CameraKind::MemoryCard, "2.5", false, false, false},
        {kv::camsim::CameraKind::VariantB, "2.0", true, true, false},
        // A status line that does not parse leaves the firmware text empty.
        {kv::camsim::CameraKind::Plain, "", false, true, true},
    };
    for (const Case& c : cases) {
        BenchCamera camera(cameraOptions([&](auto& o) {
            o.kind = c.kind;
            o.firmware = c.firmware;
        }));
        if (*c.firmware == '\0') {
            camera.addHandler("I0", [](BenchCamera& cam, const kv::camsim::BenchCommand&) {
                cam.sendReply(std::string(126, '?') + "\r\n");
            });
        }
        Search search;
        search.options.timing = quickTiming();
        search.devices["COM1"] = camera.devicePath();
        const ConnectResult r = search.run();
        ASSERT_NE(r.camera, nullptr) << c.firmware;
        EXPECT_EQ(r.removeSoundCommand, c.removeSound) << c.firmware;
        EXPECT_EQ(r.removeFormatCard, c.removeFormat) << c.firmware;
        EXPECT_EQ(r.incompatibleFirmware, c.incompatible) << c.firmware;
        if (c.incompatible) {
            EXPECT_EQ(search.op.messages,
                      std::vector<std::string>{"Camera firmware revision  is not compatible with "
                                               "this version of software."});
        }
    }
}

TEST(ConnectProcedure, ReadsItsSettings) {
    TempSettings temp;
    temp.profile.writeString("DIAGNOSTICS", "PROTOCOL", "1");
    temp.profile.writeString("DIAGNOSTICS", "COMM_PORT_RS422", "7");
    temp.profile.writeString("CONNECT_PARAMS", "BAUD_RATE", "57600");
    ConnectSettings s = ConnectSettings::read(temp.settings);
    EXPECT_EQ(s.lineStandard, kLineRS422);
    EXPECT_EQ(s.fixedPort, 1); // outside 1..4 counts as 1
    EXPECT_EQ(s.baudRate, 57600);
    temp.profile.writeString("DIAGNOSTICS", "PROTOCOL", "0");
    s = ConnectSettings::read(temp.settings);
    EXPECT_EQ(s.lineStandard, kLineRS232);
    EXPECT_FALSE(s.fixedPort.has_value()); // COMM_PORT_RS232 empty: search
}

// The take-picture delay and connect's status retry waits go through the caller's clock, so a
// program can keep its window alive meanwhile and a test runs them in virtual time.
TEST(ConnectProcedure, DiagnosticsModeTakesAPictureAfterConnecting) {
    for (bool diagnostics : {false, true}) {
        BenchCamera camera;
        kv::VirtualClock clock;
        Search search;
        search.options.timing = quickTiming();
        search.options.timing.statusRetrySleep = 700ms;
        search.options.clock = &clock;
        search.options.diagnosticsMode = diagnostics;
        search.options.takePictureDelay = 6000ms;
        search.settings.continuousTakePicture = true;
        search.devices["COM1"] = camera.devicePath();
        const ConnectResult r = search.run();
        ASSERT_NE(r.camera, nullptr);
        EXPECT_EQ(&r.camera->waitClock(), &clock);
        // One status retry wait of connect, then the take-picture delay.
        EXPECT_EQ(clock.slept(), diagnostics ? 6700ms : 700ms);
        const auto log = camera.commandLog();
        EXPECT_EQ(std::count(log.begin(), log.end(), "P0"), diagnostics ? 1 : 0);
    }
}

TEST(CameraSession, WaitsBetweenCommandsRunOnTheLinksClock) {
    struct Case {
        const char* what;
        std::function<void(CameraLink&, kv::settings::AppSettings&)> act;
        std::chrono::milliseconds slept;
    } cases[] = {
        // A Busy camera (pings held, so none ends it): ten polls, then the command goes.
        {"busy camera",
         [](CameraLink& link, auto&) {
             CameraLink::PingHold hold(link);
             link.setLinkState(LinkState::Busy);
             (void)link.execute(cmd::Nop);
         },
         10 * 900ms},
        {"baud rate command",
         [](CameraLink& link, auto& settings) {
             RecordingOperator op;
             EXPECT_TRUE(changeBaudRate(link, 57600, settings, op));
         },
         700ms},
    };
    for (const Case& c : cases) {
        TempSettings temp;
        BenchCamera camera;
        kv::VirtualClock clock;
        LinkTiming timing = quickTiming();
        timing.busyPoll = 900ms;
        timing.statusRetrySleep = 700ms;
        LinkOptions options = linkOptions(camera.devicePath(), timing);
        options.waitClock = &clock;
        CameraLink link("COM1", kLineRS232, options);
        ASSERT_EQ(link.connect(9600), LinkState::Connected) << c.what;
        const auto before = clock.slept();
        c.act(link, temp.settings);
        EXPECT_EQ(clock.slept() - before, c.slept) << c.what;
    }
}
