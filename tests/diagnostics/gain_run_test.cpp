#include "diagnostics/dac_test.h"
#include "diagnostics/gain_run.h"
#include "diagnostics/sensor_calibration.h"
#include "diagnostics/station_outputs.h"
#include "imaging/process/process_commands.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "station_rig.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace kv::testing {
namespace {

using namespace diagnostics;

struct GainRunRig : StationRig {
    explicit GainRunRig(camsim::BenchStationOptions options = {}) : StationRig(std::move(options)) {
        profile.writeString("FILES", "GAIN_BLEMISH_FOLDER", dir.path().string());
        profile.writeInt("DIAGNOSTICS", "LED_STATION", 1);
        profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", "378");
        profile.writeInt("DIAGNOSTICS", "DOWNLOAD_DAC", 0);
        camera.commandLog();
    }
    std::string file(const char* name) {
        std::ifstream in(dir / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST(GainRun, BothStationKindsEndBeforeAnyCameraCommand) {
    GainRunRig rig;
    rig.profile.writeInt("DIAGNOSTICS", "FLASH_STATION", 1);
    const auto before = rig.camera.commandLog().size();
    const auto outputs = rig.bench.outputLog().size();
    GainRunOptions o;
    o.passes = 4;
    EXPECT_EQ(createGainRun(rig.station, o), kGainRunFailed);
    EXPECT_EQ(rig.camera.commandLog().size(), before);
    EXPECT_EQ(rig.bench.outputLog().size(), outputs);
}

TEST(GainRun, FourPassesOnTheLedStationTakeSevenExposuresAndDownload) {
    GainRunRig rig;
    // The bench's white panel fills the sensor at index 7; index 2 quarters it.
    rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
    GainRunOptions o;
    o.passes = 4;
    const int result = createGainRun(rig.station, o);
    EXPECT_EQ(result, 0) << rig.station.errorText;
    const std::vector<std::string> pictures = rig.sequence({"P", "E0;"});
    const std::vector<std::string> expected = {"P3",   "P2", // DAC test off; dark
                                               "E0;2", "P5",   "P6", "E0;2", "P5",
                                               "P6",   "E0;2", "P5", "P6", // white
                                               "E0;2", "P5",   "P6",       //
                                               "E0;7", "P5",   "P6",       // blue
                                               "E0;0", "P0"};              // reset
    EXPECT_EQ(pictures, expected);
    const std::string report = rig.file("r.txt");
    EXPECT_NE(report.find("Sensor:\tPASSED\n"), std::string::npos) << report;
    EXPECT_TRUE(rig.op.questions.empty() || rig.op.questions.back() == "Sensor Passed\nContinue?");
    // The encoded list and gain image went down, in that order.
    const auto blocks = rig.bench.blockLog();
    ASSERT_FALSE(blocks.empty());
    // Relay: idle before the run, white and blue panels, off at the end.
    const auto writes = rig.bench.outputLog();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front().bytes, Bytes{kRelayIdle});
    EXPECT_EQ(writes.back().bytes, Bytes{kRelayOff});
}

// The working files of a camera run replay to the same report.
TEST(GainRun, WorkingFilesReplayToTheSameReport) {
    GainRunRig rig;
    rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
    rig.profile.writeInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 3);
    GainRunOptions o;
    o.passes = 2;
    ASSERT_EQ(createGainRun(rig.station, o), 0) << rig.station.errorText;
    for (const char* name : {"a.tif", "z.tif", "r.tif", "b.tif", "c.tif"})
        EXPECT_TRUE(std::filesystem::exists(rig.dir / name)) << name;
    const std::string camera = rig.file("r.txt");
    const auto commands = rig.camera.commandLog().size();
    // Without a camera: nothing goes to it.
    rig.station.camera = nullptr;
    rig.station.reconnect = [] { return static_cast<camera::CameraLink*>(nullptr); };
    o.passes = 0;
    ASSERT_EQ(createGainRun(rig.station, o), 0) << rig.station.errorText;
    EXPECT_EQ(rig.camera.commandLog().size(), commands);
    const std::string replay = rig.file("r.txt");
    ASSERT_NE(replay.find("Camera: no camera\n"), std::string::npos);
    const auto body = [](const std::string& r) { return r.substr(r.find("\nSummary")); };
    EXPECT_EQ(body(replay), body(camera));
}

TEST(GainRun, LedStationLoopsUntilCancelAndCreateGainBracketsWithPingMode) {
    GainRunRig rig;
    rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
    GainRunOptions o;
    o.passes = 1;
    rig.op.answers["Board PASSED\n\nLoad next board."] = "no";
    EXPECT_EQ(runLedStation(rig.station, o), 1);
    EXPECT_TRUE(rig.op.asked("Board PASSED\n\nLoad next board."));
    EXPECT_FALSE(rig.station.automaticMode);

    EXPECT_EQ(createGainCommand(rig.station, o), 0);
    const auto z5 = rig.sequence({"Z5;"});
    ASSERT_GE(z5.size(), 2u);
    EXPECT_EQ(z5.back(), "Z5;1");

    rig.camera.commandLog();
    EXPECT_EQ(runFinalTest(rig.station, o), 0);
    const auto tail = rig.sequence({"Z5;", "F0;", "Q0;", "E1;", "S0;"});
    ASSERT_GE(tail.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(tail.end() - 5, tail.end()),
              (std::vector<std::string>{"F0;1", "Q0;0", "E1;1", "S0;0", "Z5;1"}));

    rig.profile.writeInt("DIAGNOSTICS", "LED_STATION", 0);
    EXPECT_EQ(runLedStation(rig.station, o), 0);
    EXPECT_TRUE(rig.op.said("Missing LED_STATION=1 in *.INI file."));
}

// With a camera the replay downloads the DAC setting of the DAC file first and the results
// after the verdict; a missing DAC file ends it.
TEST(GainRun, ReplayWithACameraDownloads) {
    GainRunRig rig;
    rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
    rig.profile.writeInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 3);
    GainRunOptions o;
    o.passes = 1;
    ASSERT_EQ(createGainRun(rig.station, o), 0) << rig.station.errorText;
    rig.profile.writeInt("DIAGNOSTICS", "DOWNLOAD_DAC", 1);
    o.passes = 0;
    EXPECT_EQ(createGainRun(rig.station, o), kGainRunFailed);
    EXPECT_EQ(rig.station.errorText, "\nCan't Read Gain Files! d file not found.");

    rig.station.errorText.clear();
    std::vector<std::uint16_t> mosaic(process::kMosaicSamples, 200);
    const Bytes ram = process::PackMosaic(mosaic.data(), 0);
    ASSERT_TRUE(platform::writeFileAtomically(
        dacFileName(rig.dir.path()),
        Bytes(ram.begin() + process::kRamPictureOffset,
              ram.begin() + process::kRamPictureOffset + kDacLineBytes)));
    const auto blocks = rig.bench.blockLog().size();
    EXPECT_EQ(createGainRun(rig.station, o), 0) << rig.station.errorText;
    EXPECT_TRUE(rig.op.asked("Sensor Passed\nContinue?"));
    EXPECT_EQ(rig.bench.blockLog().size(), 2 * blocks); // the same downloads as the camera run
    EXPECT_NE(rig.file("r.txt").find("Camera: KVMini\n"), std::string::npos);
}

} // namespace
} // namespace kv::testing
