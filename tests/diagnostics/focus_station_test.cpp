// The focus station end to end against the bench camera and the bench lens cradle, in virtual
// time.

#include "camera/camera_link.h"
#include "camera/link_test_support.h"
#include "camsim/focus_bench.h"
#include "diagnostics/focus_station.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
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
    int cancelAfter = -1; // cancelled() turns true after this many calls
    bool cancelled() override { return cancelAfter >= 0 && cancelAfter-- == 0; }
    bool saw(std::string_view start) const {
        for (const std::string& b : boxes)
            if (b.rfind(start, 0) == 0)
                return true;
        return false;
    }
};

class FocusStationTest : public ::testing::Test {
protected:
    void start(camsim::FocusBenchOptions options = {}) {
        options.clock = &clock;
        bench = std::make_unique<camsim::FocusBench>(options);
        ASSERT_TRUE(bench->ok());
        bench->writeStationSettings(profile);
        link = std::make_unique<camera::CameraLink>(
            "COM1", camera::kLineRS232, camera::test::linkOptions(bench->camera().devicePath()));
        ASSERT_EQ(link->connect(9600), camera::LinkState::Connected);
        watcher = bench->watch(op);
    }
    // The station's view of things; `person` instead of the bench-watched operator leaves the
    // bench blind to the prompts.
    FocusStationIo io(Operator* person = nullptr) {
        FocusStationIo io(person ? *person : *watcher, clock, profile);
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
        io.cradle.readSlice = 20ms;
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

TEST_F(FocusStationTest, FindsTheSeededFocusForSeveralSeeds) {
    struct Row {
        long bestFocus;
        std::uint32_t seed;
    };
    for (const Row& r : {Row{63050, 7}, Row{62960, 2}, Row{63140, 3}}) {
        SCOPED_TRACE(r.bestFocus);
        camsim::FocusBenchOptions options;
        options.scene.bestFocus = r.bestFocus;
        options.scene.seed = r.seed;
        start(options);
        FocusStation station(io());
        station.run();
        EXPECT_TRUE(op.boxes.empty()) << op.boxes.front();
        EXPECT_EQ(station.focusStatus(), CheckStatus::Passed) << station.errorText();
        // Within the analysis's tolerance of the truth.
        EXPECT_NEAR(station.result().focusPosition, r.bestFocus, 60);
        EXPECT_GE(station.result().final.combined, 1900);
        EXPECT_EQ(station.lensCheckStatus(), CheckStatus::Passed);
        // The glue prompt came with the figures, and the cradle went home at the end.
        ASSERT_FALSE(op.questions.empty());
        EXPECT_EQ(op.questions.back().rfind("Glue the lens.\nLens sharpness = ", 0), 0u);
        EXPECT_EQ(bench->cradle().position(), 0);
        EXPECT_EQ(bench->cradle().commandLog().back(), "MH 1");
        EXPECT_EQ(lightCodes.front(), 0x85);
        EXPECT_EQ(lightCodes.at(1), 0x82);
        op = StationOperator{};
        lightCodes.clear();
        link.reset();
    }
}

TEST_F(FocusStationTest, SweepOfTheDefaultRangeHas51Values) {
    start();
    profile.writeInt("FOCUS_PARAMS", "CRADLE_START_POSITION", 63000);
    profile.writeInt("FOCUS_PARAMS", "CRADLE_END_POSITION", 63100);
    profile.writeInt("FOCUS_PARAMS", "CRADLE_STEP", 2);
    FocusStation station(io());
    FocusResult r;
    EXPECT_EQ(station.focusSearch(r), status::Failed);
    EXPECT_EQ(r.values.size(), 51u);
    // 51 values cannot hold a peak R = 50 steps wide away from both ends.
    EXPECT_NE(station.errorText().find("Focusin algorithm:"), std::string::npos);
    EXPECT_NE(report().find("\nCount: 51\n"), std::string::npos);
}

TEST_F(FocusStationTest, TooFewSweepValues) {
    start();
    profile.writeInt("FOCUS_PARAMS", "CRADLE_START_POSITION", 63000);
    profile.writeInt("FOCUS_PARAMS", "CRADLE_END_POSITION", 63036); // 19 values
    profile.writeInt("FOCUS_PARAMS", "CRADLE_STEP", 2);
    FocusStation station(io());
    station.run();
    EXPECT_EQ(station.focusStatus(), CheckStatus::Failed);
    EXPECT_TRUE(op.saw("UNABLE TO FOCUS LENS!\n\nFocusing range must have more than 20 steps!"));
    EXPECT_EQ(bench->cradle().position(), 0); // homed at the end
}

TEST_F(FocusStationTest, SearchFailures) {
    struct Row {
        const char* name;
        std::function<void(camsim::FocusBench&, StationOperator&, settings::Profile&)> setup;
        const char* box; // the first box, or nullptr for none
    };
    const std::vector<Row> rows = {
        {"silent cradle",
         [](camsim::FocusBench& b, StationOperator&, settings::Profile&) {
             b.cradle().setFaults({true, 0, false});
         },
         "UNABLE TO FOCUS LENS!\n\nUnable to initialize lens cradle!"},
        {"no cradle port",
         [](camsim::FocusBench&, StationOperator&, settings::Profile& p) {
             p.writeInt("FOCUS_PARAMS", "CRADLE_PORT_RS232", 0);
         },
         "Must specify lens cradle COMM port in *.INI file."},
        {"cancelled sweep",
         [](camsim::FocusBench&, StationOperator& o, settings::Profile&) { o.cancelAfter = 10; },
         "UNABLE TO FOCUS LENS!\n\nCancelled during focus data collection!"},
        {"Load Lens cancelled",
         [](camsim::FocusBench&, StationOperator& o, settings::Profile&) {
             o.answers["Load Lens"] = false;
         },
         nullptr},
        {"odd window",
         [](camsim::FocusBench&, StationOperator&, settings::Profile& p) {
             p.writeInt("FOCUS_PARAMS", "AUTO_FOCUS_TARGET_SIZE", 127);
         },
         "UNABLE TO FOCUS LENS!\n\nFocus target window does not fit the sensor!"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        start();
        r.setup(*bench, op, profile);
        FocusStation station(io());
        station.run();
        EXPECT_EQ(station.focusStatus(), CheckStatus::Failed);
        if (r.box) {
            ASSERT_FALSE(op.boxes.empty());
            EXPECT_EQ(op.boxes[0].rfind(r.box, 0), 0u) << op.boxes[0];
        } else {
            EXPECT_TRUE(op.boxes.empty());
        }
        EXPECT_TRUE(station.result().values.empty() || r.box != nullptr);
        // Whatever failed, the camera's pings are switched back on.
        EXPECT_NE(bench->camera().commandLog().back().find("Z5;1"), std::string::npos);
        op = StationOperator{};
        link.reset();
        profile.writeInt("FOCUS_PARAMS", "CRADLE_PORT_RS232", 2);
        profile.writeInt("FOCUS_PARAMS", "AUTO_FOCUS_TARGET_SIZE", 128);
    }
}

TEST_F(FocusStationTest, SlippingCradle) {
    camsim::FocusBenchOptions options;
    options.cradleFaults.slipSteps = 150;
    start(options);
    FocusStation station(io());
    station.run();
    EXPECT_EQ(station.focusStatus(), CheckStatus::Failed);
    ASSERT_FALSE(op.boxes.empty());
    EXPECT_EQ(op.boxes[0], "UNABLE TO FOCUS LENS!\n\nLens did not come back into focus,\n"
                           "probably stuck or slipped!");
    EXPECT_NE(report().find("\nLENS FOCUS REPORT:\n\nLens did not come back"), std::string::npos);
}

TEST_F(FocusStationTest, SoftCornerFailsTheFieldCheck) {
    camsim::FocusBenchOptions options;
    options.scene.softCorner = true;
    start(options);
    FocusStation station(io());
    station.run();
    EXPECT_EQ(station.focusStatus(), CheckStatus::Passed);
    EXPECT_EQ(station.lensCheckStatus(), CheckStatus::Failed);
    ASSERT_EQ(op.boxes.size(), 1u);
    EXPECT_EQ(op.boxes[0].rfind("DEFECTIVE LENS!\n\n", 0), 0u);
    // With AUTO_FOCUS 1 a failed lens is not glued.
    for (const std::string& q : op.questions)
        EXPECT_EQ(q.find("Glue"), std::string::npos);
    const std::string text = report();
    EXPECT_NE(text.find("Upper Right   Out of focus!"), std::string::npos) << text;
    EXPECT_NE(text.find("DEFECTIVE LENS.  Cause of failure:  "), std::string::npos);

    // AUTO_FOCUS 2 prompts for the glue regardless.
    profile.writeInt("DIAGNOSTICS", "AUTO_FOCUS", 2);
    op = StationOperator{};
    FocusStation again(io());
    again.run();
    EXPECT_EQ(again.lensCheckStatus(), CheckStatus::Failed);
    ASSERT_FALSE(op.questions.empty());
    EXPECT_EQ(op.questions.back().rfind("Glue the lens.", 0), 0u);
}

TEST_F(FocusStationTest, OffsetsAndTheAxialCheck) {
    struct Row {
        long offset;
        const char* box; // expected box, or nullptr
        long moved;      // the final position relative to the focus
        const char* ratio;
    };
    // Off the focus the axial check needs a lower ratio of the focus search's sharpness.
    for (const Row& r :
         {Row{-10, "Warning: negative position offset!", -10, "0.8"}, Row{8, nullptr, 8, "0.8"},
          Row{5000, "Error: position offset too large!", 0, "0.95"}}) {
        SCOPED_TRACE(r.offset);
        start();
        profile.writeInt("FOCUS_PARAMS", "FOCUS_OFFSET", r.offset);
        profile.writeString("FOCUS_PARAMS", "SHARPNESS_CHECK_RATIO", r.ratio);
        profile.writeInt("DIAGNOSTICS", "CHECK_LENS", 1);
        FocusStation station(io());
        station.run();
        EXPECT_EQ(station.focusStatus(), CheckStatus::Passed);
        if (r.box) {
            ASSERT_FALSE(op.boxes.empty());
            EXPECT_EQ(op.boxes[0], r.box);
        } else {
            EXPECT_TRUE(op.boxes.empty());
        }
        const long p = station.result().focusPosition;
        const std::string move = "MA " + std::to_string(p + r.moved);
        const auto log = bench->cradle().commandLog();
        EXPECT_NE(std::find(log.begin(), log.end(), move), log.end()) << move;
        EXPECT_EQ(station.lensCheckStatus(), CheckStatus::Passed);
        EXPECT_NE(report().find("\nAXIAL MID FIELD PERFORMANCE REPORT:\nLens OK\n\n"),
                  std::string::npos);
        op = StationOperator{};
        link.reset();
    }
}

TEST_F(FocusStationTest, FinalCheckOnlyWithCheckFocus) {
    start();
    FocusStation station(io());
    const auto before = clock.now();
    station.run();
    EXPECT_EQ(station.finalCheckStatus(), CheckStatus::NotRun);
    EXPECT_EQ(report().find("FINAL FOCUS CHECK:"), std::string::npos);
    const long p = station.result().focusPosition;
    const auto log = bench->cradle().commandLog();
    EXPECT_EQ(std::find(log.begin(), log.end(), "MA " + std::to_string(p - 350)), log.end());
    EXPECT_GE(clock.now() - before, 2000ms); // the glue wait

    // With CHECK_FOCUS the cradle lets go of the glued lens (350 steps back) and the glued
    // lens is checked where it set.
    profile.writeInt("DIAGNOSTICS", "CHECK_FOCUS", 1);
    profile.writeInt("DIAGNOSTICS", "CHECK_LENS", 1);
    op = StationOperator{};
    FocusStation checked(io());
    checked.run();
    EXPECT_EQ(checked.finalCheckStatus(), CheckStatus::Passed) << checked.errorText();
    const long q = checked.result().focusPosition;
    const auto log2 = bench->cradle().commandLog();
    EXPECT_NE(std::find(log2.begin(), log2.end(), "MA " + std::to_string(q - 350)), log2.end());
    EXPECT_NE(report().find("FINAL FOCUS CHECK:\n\n\nAXIAL MID FIELD PERFORMANCE REPORT:\nLens OK"),
              std::string::npos);

    // The field check of a glued lens: the mid field where it stands.
    profile.writeInt("DIAGNOSTICS", "CHECK_FOCUS", 2);
    op = StationOperator{};
    FocusStation field(io());
    field.run();
    EXPECT_EQ(field.finalCheckStatus(), CheckStatus::Passed) << field.errorText();
    const std::string text = report();
    const std::string last = text.substr(text.rfind("FINAL FOCUS CHECK:"));
    EXPECT_EQ(last.find("Near field"), std::string::npos);
    EXPECT_NE(last.find("Mid field   Middle"), std::string::npos);
    profile.writeInt("DIAGNOSTICS", "CHECK_FOCUS", 1);

    // A glue that did not hold: the lens goes with the cradle.
    op = StationOperator{};
    bench->cradle().releaseLens();
    FocusStation loose(io(&op));
    loose.run();
    EXPECT_EQ(loose.finalCheckStatus(), CheckStatus::Failed);
    EXPECT_TRUE(op.saw("LENS FAILED FINAL TEST!\n"));
    EXPECT_NE(op.boxes.back().find("\nLikely cause: glue did not adhere."), std::string::npos);
}

TEST_F(FocusStationTest, CameraChecksBeforeAnything) {
    struct Row {
        const char* firmware;
        std::int32_t serial;
        const char* box;
    };
    for (const Row& r :
         {Row{"1.55", 1234, "Camera Firmware 1.56 or later is required."},
          Row{"3.01", -1, "Serial number not set - has the board been calibrated?."}}) {
        camsim::FocusBenchOptions options;
        options.camera.firmware = r.firmware;
        options.camera.serialNumber = r.serial;
        start(options);
        FocusStation station(io());
        station.run();
        ASSERT_EQ(op.boxes.size(), 1u);
        EXPECT_EQ(op.boxes[0], r.box);
        EXPECT_TRUE(bench->cradle().commandLog().empty());
        op = StationOperator{};
        link.reset();
    }
    FocusStationIo none = io();
    none.camera = nullptr;
    FocusStation idle(none);
    idle.run();
    EXPECT_TRUE(op.boxes.empty());
}

TEST_F(FocusStationTest, RepeatModeStartsTheNextRunInsteadOfHoming) {
    start();
    int next = 0;
    FocusStationIo repeat = io();
    repeat.repeat = true;
    repeat.nextRun = [&] { ++next; };
    FocusStation station(repeat);
    station.run();
    EXPECT_EQ(next, 1);
    EXPECT_NE(bench->cradle().position(), 0);
    EXPECT_NE(bench->camera().commandLog().back().find("Z5;1"), std::string::npos);
}

TEST_F(FocusStationTest, ShowsEveryTargetWindowWhenAsked) {
    start();
    profile.writeInt("DIAGNOSTICS", "CHECK_LENS", 0);
    int shown = 0;
    for (int display : {0, 1}) {
        profile.writeInt("DIAGNOSTICS", "FOCUS_IMAGE_DISPLAY", display);
        FocusStationIo withDisplay = io();
        withDisplay.showWindow = [&shown](ByteSpan window, int n) {
            EXPECT_EQ(window.size(), static_cast<std::size_t>(n * n));
            ++shown;
        };
        FocusStation station(withDisplay);
        station.run();
        ASSERT_EQ(station.focusStatus(), CheckStatus::Passed);
        // The sweep's windows and the one at the focus; dark windows are not shown.
        EXPECT_EQ(shown, display ? static_cast<int>(station.result().values.size()) + 1 : 0);
        shown = 0;
    }
}

// One fixed run appends exactly these sections to f.txt.
TEST_F(FocusStationTest, ReportMatchesTheGoldenFile) {
    camsim::FocusBenchOptions options;
    options.scene.seed = 11;
    start(options);
    FocusStation station(io());
    station.run();
    ASSERT_EQ(station.focusStatus(), CheckStatus::Passed);
    const std::string golden = std::string(KV_TEST_DATA_DIR) + "/focus_station_f.txt";
    if (std::getenv("KV_UPDATE_GOLDEN")) {
        std::ofstream(golden, std::ios::binary) << report();
    }
    std::ifstream in(golden, std::ios::binary);
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(report(), expected.str());
}

} // namespace
} // namespace kv::diagnostics
