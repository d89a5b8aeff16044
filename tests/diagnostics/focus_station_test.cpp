// The focus station end to end against the bench camera and the bench lens cradle, in virtual
// time.

#include "camera/camera_link.h"
#include "camsim/focus_bench.h"
#include "diagnostics/focus_station.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace kv::diagnostics {
namespace {

using namespace std::chrono_literals;

// Records the boxes; answers questions from a table (OK by default).
struct StationOperator : SilentOperator {
    std::vector<std::string> boxes;
    std::vector<std::string> questions;
    std::map<std::string, bool> answers; // by the question's first line
    void message(std::string_view text) override { boxes.emplace_back(text); }
    bool confirm(std::string_view text) override {
        questions.emplace_back(text);
        const std::string first(text.substr(0, text.find('\n')));
        const auto it = answers.find(first);
        return it == answers.end() ? true : it->second;
    }
    bool saw(std::string_view start) const {
        for (const std::string& b : boxes)
            if (b.rfind(start, 0) == 0)
                return true;
        return false;
    }
};

camera::LinkTiming quickTiming() {
    camera::LinkTiming t;
    t.pingInterval = 20ms;
    t.handshakePoll = 2ms;
    t.busyPoll = 20ms;
    t.shutdownPoll = 5ms;
    t.longWaitSleep = 1ms;
    t.statusRetrySleep = 5ms;
    return t;
}

class FocusStationTest : public ::testing::Test {
protected:
    void start(camsim::FocusBenchOptions options = {}) {
        options.clock = &clock;
        bench = std::make_unique<camsim::FocusBench>(options);
        ASSERT_TRUE(bench->ok());
        bench->writeStationSettings(profile);
        camera::LinkOptions lo;
        lo.devicePath = bench->camera().devicePath();
        lo.timing = quickTiming();
        link = std::make_unique<camera::CameraLink>("COM1", camera::kLineRS232, lo);
        ASSERT_EQ(link->connect(9600), camera::LinkState::Connected);
        watcher = bench->watch(op);
    }
    FocusStationIo io() {
        FocusStationIo io(*watcher, clock, profile);
        io.camera = link.get();
        io.lights = [this](std::uint16_t code) {
            lightCodes.push_back(code);
            bench->lights(code);
            clock.sleep(4000ms);
            return true;
        };
        io.cradle.portDevice = [this](std::string_view port) {
            return profile.getString("PORTS", port);
        };
        io.cradle.cameraPort = "COM1";
        io.report = dir / "f.txt";
        return io;
    }
    std::string report() {
        std::ifstream in(dir / "f.txt", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    kv::testing::ScratchDir dir;
    settings::Profile profile{dir / "kvmini.INI"};
    VirtualClock clock;
    std::unique_ptr<camsim::FocusBench> bench;
    std::unique_ptr<camera::CameraLink> link;
    StationOperator op;
    std::unique_ptr<Operator> watcher;
    std::vector<std::uint16_t> lightCodes;
};

TEST_F(FocusStationTest, FindsTheSeededFocus) {
    camsim::FocusBenchOptions options;
    options.scene.bestFocus = 63050;
    options.scene.seed = 7;
    start(options);
    FocusStation station(io());
    station.run();
    for (const auto& b : op.boxes)
        ADD_FAILURE() << b;
    EXPECT_EQ(station.focusStatus(), CheckStatus::Passed) << station.errorText();
    EXPECT_NEAR(station.result().focusPosition, 63050, 60);
    EXPECT_EQ(station.lensCheckStatus(), CheckStatus::Passed);
    std::printf("P=%ld req=%d final=%d lens=%ld\n%s\n", station.result().focusPosition,
                station.result().requiredSharpness, station.result().final.combined,
                bench->cradle().lensPosition(), report().c_str());
}

} // namespace
} // namespace kv::diagnostics
