#include "camera/parameter_block.h"
#include "diagnostics/dac_test.h"
#include "diagnostics/downloads.h"
#include "diagnostics/gain_run.h"
#include "diagnostics/sensor_calibration.h"
#include "diagnostics/station_outputs.h"
#include "imaging/process/gain_file.h"
#include "imaging/process/process_commands.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "settings/app_settings.h"
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
    // The camera run adds the colour levels it wrote into the camera's parameters.
    const std::size_t colour = camera.find("\nColor Conversion:\n");
    ASSERT_NE(colour, std::string::npos);
    EXPECT_EQ(body(replay), body(camera.substr(0, colour)));
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
    rig.profile.writeString("DIAGNOSTICS", "SOUND_FILE", "/usr/share/kvmini/test.wav");
    rig.profile.writeString("SOUND_PARAMS", "DEBUG_FILE", (rig.dir / "sound.txt").string());
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
    EXPECT_TRUE(rig.op.messages.empty()); // shown once, by the command that ran it

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

// The final test: after the gain run a picture with a note recorded while the test sound
// plays; the camera's settings come back however the test ends.
TEST(FinalTest, PictureAndSoundStepAndTheRestoresOnEveryPath) {
    struct Case {
        const char* name;
        double tones;          // the level at which the microphone hears the test sound
        const char* refuse;    // a camera command refused from the start
        const char* cancelled; // the box answered Cancel
        int result;
        const char* error; // the box shown at the end ("" = none)
        bool pictured;     // the final picture was taken (S0;1 and P0 after the downloads)
    };
    const Case cases[] = {
        {"passes", 6000, "", "", 0, "", true},
        {"deaf microphone", 0, "", "", kGainRunFailed, "Sound Test FAILED!", true},
        {"no picture", 6000, "P0", "", kGainRunFailed, "Final Picture Retrieve Failed!", true},
        {"verdict cancelled", 6000, "", "Sensor Passed\nContinue?", kGainRunFailed, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        camsim::BenchStationOptions bench;
        bench.highToneLevel = bench.lowToneLevel = c.tones;
        GainRunRig rig(bench);
        rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
        rig.profile.writeString("SOUND_PARAMS", "DEBUG_FILE", (rig.dir / "sound.txt").string());
        rig.profile.writeString("DIAGNOSTICS", "SOUND_FILE", "/usr/share/kvmini/test.wav");
        if (*c.cancelled)
            rig.op.answers[c.cancelled] = "no";
        camsim::FaultOptions faults;
        faults.refuseCommand = c.refuse;
        rig.camera.setFaults(faults);
        GainRunOptions o;
        o.passes = 1;
        EXPECT_EQ(runFinalTest(rig.station, o), c.result);
        EXPECT_EQ(rig.station.stopped, *c.cancelled != 0);
        if (*c.error)
            EXPECT_TRUE(rig.op.said(c.error)) << rig.op.messages.size();
        else
            EXPECT_TRUE(rig.op.messages.empty()) << rig.op.messages.front();

        const auto log = rig.sequence({"Z5;", "F0;", "Q0;", "E1;", "S0;", "P0", "D1"});
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(log[1], "Z5;0"); // after the connection's own
        EXPECT_EQ(std::vector<std::string>(log.end() - 5, log.end()),
                  (std::vector<std::string>{"F0;1", "Q0;0", "E1;1", "S0;0", "Z5;1"}));
        const auto soundOn = std::find(log.begin(), log.end(), "S0;1");
        EXPECT_EQ(soundOn != log.end(), c.pictured);
        if (soundOn != log.end()) {
            ASSERT_LT(soundOn + 1, log.end());
            EXPECT_EQ(*(soundOn + 1), "P0");
            // The downloads are over before the picture is taken.
            EXPECT_EQ(std::find_if(soundOn, log.end(),
                                   [](const std::string& l) { return l.rfind("D1", 0) == 0; }),
                      log.end());
        }
        const bool summary = std::filesystem::exists(rig.dir / "sound.txt");
        EXPECT_EQ(summary, c.pictured && !*c.refuse);
        if (c.result == 0) {
            int stored = 0;
            for (const auto& e : std::filesystem::directory_iterator(rig.dir.path()))
                stored += e.path().filename().string().rfind("final", 0) == 0;
            EXPECT_EQ(stored, 2); // the picture and its note
            EXPECT_NE(rig.file("sound.txt").find("PASS\n\n"), std::string::npos);
        }
    }
}

// The downloads after the verdict, in order, with the gain image read back from the camera,
// the colour levels of this sensor in the camera's parameters, and the failures of the steps
// around them.
TEST(GainRun, DownloadsInOrderAndTheirFailures) {
    struct Case {
        const char* name;
        const char* refuse;             // camera command refused from the start
        bool errorAfterPictures;        // the camera reports an error status after the exposures
        const char* error;              // "" = the run succeeds
        std::vector<std::string> kinds; // download commands in order, once each
        long flipGainByte = -1;         // the camera's flash stores this gain byte wrong
    };
    const std::vector<std::string> all = {"D3", "D2", "D1", "U2", "D4"};
    const Case cases[] = {
        {"all", "", false, "", all},
        {"with the DAC test", "", false, "", {"D4", "D3", "D2", "D1", "U2", "D4"}},
        {"no parameters", "R0", false, "Comm error fetching parameters!", {}},
        {"no read-back", "U2", false, "Error during Gain File upload!", {"D3", "D2", "D1", "U2"}},
        {"camera error", "", true, "Error status in Camera!", {}},
        {"read-back differs",
         "",
         false,
         "Error during GAIN download! Host Gain Corruption.",
         {"D3", "D2", "D1", "U2"},
         200000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        camsim::BenchStationOptions stationOptions;
        stationOptions.flipStoredGainByte = c.flipGainByte;
        GainRunRig rig(stationOptions);
        rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
        camsim::FaultOptions faults;
        faults.refuseCommand = c.refuse;
        rig.camera.setFaults(faults);
        if (c.errorAfterPictures) {
            const camsim::CommandHandler reset = rig.camera.handler("P0");
            rig.camera.addHandler(
                "P0", [reset](camsim::BenchCamera& cam, const camsim::BenchCommand& command) {
                    reset(cam, command);
                    cam.withState([](camsim::CameraState& s) { s.errorStatus = 3; });
                });
        }
        if (std::string_view(c.name) == "with the DAC test")
            rig.profile.writeInt("DIAGNOSTICS", "DOWNLOAD_DAC", 1);
        GainRunOptions o;
        o.passes = 1;
        const int result = createGainRun(rig.station, o);
        EXPECT_EQ(result, *c.error ? kGainRunFailed : 0);
        EXPECT_FALSE(rig.op.asked("Incorrect White Level Exposure - Too much light!"));
        EXPECT_EQ(rig.station.errorText, *c.error ? std::string("\n") + c.error : "");
        std::vector<std::string> kinds;
        for (const std::string& line : rig.sequence({"D1", "D2", "D3", "D4", "U2"}))
            if (kinds.empty() || kinds.back() != line.substr(0, 2))
                kinds.push_back(line.substr(0, 2));
        EXPECT_EQ(kinds, c.kinds);
        const std::string report = rig.file("r.txt");
        if (c.kinds.size() >= all.size()) {
            // The levels went into the camera's parameters and the report.
            const Bytes record =
                rig.store([](camsim::TransferStore& s) { return s.parameterRecord; });
            std::string levels = "BRGT_levels:";
            for (std::size_t i = 0; i < 4; ++i)
                levels += " " + std::to_string(
                                    camera::paramWord(record, camera::kParamLevelsOffset + 2 * i));
            EXPECT_NE(report.find("\nColor Conversion:\n=================\n" + levels + "\n"),
                      std::string::npos)
                << report.substr(report.size() - 200);
            EXPECT_GT(camera::paramWord(record, camera::kParamLevelsOffset), 100);
            // What the camera holds is what was sent.
            const Bytes gain = rig.store([](camsim::TransferStore& s) { return s.gain; });
            EXPECT_EQ(gain.size(), kGainImageBytes);
            // After the downloads the camera is polled until it answers.
            const auto tail = rig.sequence({"D4", "I0"});
            ASSERT_GE(tail.size(), 2u);
            EXPECT_EQ(tail.back(), "I0");
        }
    }
}

// "GAIN_DIAGNOSTIC_FILES": 2 writes the raw gain image and blemish list where the station's
// readers find this camera's files, 3 the working and intermediate images as well.
TEST(GainRun, DiagnosticFilesByLevel) {
    const std::vector<std::string> images = {"a.tif", "z.tif", "r.tif", "b.tif",
                                             "c.tif", "s.tif", "k.tif", "g.tif"};
    for (int level : {0, 2, 3}) {
        SCOPED_TRACE(level);
        GainRunRig rig;
        rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
        rig.profile.writeInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", level);
        GainRunOptions o;
        o.passes = 1;
        ASSERT_EQ(createGainRun(rig.station, o), 0) << rig.station.errorText;
        settings::AppSettings files(rig.profile);
        const auto gain = files.gainFileName(std::nullopt, false, true);
        const auto blemish = files.blemishFileName(std::nullopt, true);
        EXPECT_EQ(gain.has_value(), level >= 2);
        EXPECT_EQ(blemish.has_value(), level >= 2);
        if (gain && blemish) {
            Bytes g, b;
            ASSERT_TRUE(platform::readWholeFile(*gain, g, 1u << 20));
            ASSERT_TRUE(platform::readWholeFile(*blemish, b, 1u << 20));
            // The files hold what the camera received.
            EXPECT_EQ(g, rig.store([](camsim::TransferStore& s) { return s.gain; }));
            EXPECT_EQ(b, rig.store([](camsim::TransferStore& s) { return s.blemish; }));
            std::vector<std::uint16_t> decoded;
            EXPECT_TRUE(process::LoadGainFile(*gain, decoded, nullptr));
            std::vector<std::uint16_t> coded;
            if (level >= 3) { // "g.tif" holds the coded gains
                EXPECT_TRUE(process::ReadMono16Input(rig.dir / "g.tif", coded, nullptr));
                EXPECT_EQ(decoded, coded);
            }
        }
        for (const std::string& name : images)
            EXPECT_EQ(std::filesystem::exists(rig.dir / name), level >= 3) << name;
    }
}

// Answers the board boxes in turn; `onNext` runs when the operator loads the next board.
class BoardOperator : public RecordingOperator {
public:
    std::vector<bool> loadNext;
    std::function<void()> onNext;
    bool confirm(std::string_view text) override {
        RecordingOperator::confirm(text);
        if (text.find("Load next board.") == std::string_view::npos)
            return true;
        const bool next = boards < loadNext.size() && loadNext[boards];
        ++boards;
        if (next && onNext)
            onNext();
        return next;
    }
    std::size_t boards = 0;
};

// The LED station: every board gets the station's program, is tested and let go of; a
// failing board shows its error text and "Board Failed!".
TEST(GainRun, LedStationBoardAfterBoard) {
    GainRunRig rig;
    rig.profile.writeInt("GAIN_PARAMETERS", "GAIN_WHITE_EXPOSURE", 2);
    const auto program = rig.dir / "board.s19";
    std::ofstream(program) << sRecordText('0', 0, 2, Bytes{'3', '.', '5', '0'}) << '\n'
                           << sRecordText('1', 0, 2, Bytes(16, 0x4E)) << '\n'
                           << sRecordText('9', 0, 2, {}) << '\n';
    rig.profile.writeString("DIAGNOSTICS", "DOWNLOAD_PROGRAM", program.string());
    BoardOperator op;
    op.loadNext = {true, false};
    // The second board's camera does not give its parameters.
    op.onNext = [&rig] {
        camsim::FaultOptions faults;
        faults.refuseCommand = "R0";
        rig.camera.setFaults(faults);
    };
    Station station(op, rig.bench.clock(), rig.profile, rig.bench.devices(),
                    rig.bench.loudspeaker());
    station.timing = rig.station.timing;
    station.reconnect = rig.station.reconnect;
    station.disconnect = rig.station.disconnect;
    station.camera = rig.station.camera;
    GainRunOptions o;
    o.passes = 1;
    EXPECT_EQ(runLedStation(station, o), 2);
    EXPECT_EQ(op.questions,
              (std::vector<std::string>{"Board PASSED\n\nLoad next board.", "Load next board."}));
    EXPECT_EQ(op.messages,
              (std::vector<std::string>{"Comm error fetching parameters!", "Board Failed!"}));
    EXPECT_EQ(rig.sequence({"D0"}).size(), 2u); // the program, once per board
    EXPECT_GE(rig.disconnects, 2);              // each board let go of
    EXPECT_EQ(station.camera, nullptr);
    EXPECT_TRUE(station.errorText.empty());
    EXPECT_FALSE(station.automaticMode);
}

} // namespace
} // namespace kv::testing
