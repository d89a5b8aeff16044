// kvtool final-test replaying working files: the verdict on standard output, r.txt and r.json.

#include "imaging/tiff_forms.h"
#include "support/run_command.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(FinalTestTool, ReplaysWorkingFilesAndPrintsTheJsonReport) {
    kv::testing::ScratchDir dir;
    auto write = [&](const char* name, int level) {
        std::vector<std::uint16_t> frame(960 * 800, static_cast<std::uint16_t>(level << 6));
        ASSERT_EQ(kv::imaging::WriteMono16Tiff(dir / name, 960, 800, frame.data()), 0);
    };
    write("a.tif", 300);
    write("z.tif", 20);
    write("c.tif", 200);
    write("r.tif", 800);
    const std::string env =
        "KVMINI_CONFIG_DIR='" + dir.path().string() + "' HOME='" + dir.path().string() + "' ";
    auto got = kv::testing::runCommand(env + KVTOOL_PATH + " final-test --replay '" +
                                       dir.path().string() + "' --report-json 2>/dev/null");
    EXPECT_EQ(got.exitCode, 0) << got.out;
    EXPECT_NE(got.out.find("\"passed\": true"), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("Sensor: PASSED\n"), std::string::npos) << got.out;
    EXPECT_TRUE(std::filesystem::exists(dir / "r.txt"));

    std::filesystem::remove(dir / "c.tif");
    got = kv::testing::runCommand(env + KVTOOL_PATH + " final-test --replay '" +
                                  dir.path().string() + "' 2>&1");
    EXPECT_EQ(got.exitCode, 1);
    EXPECT_NE(got.out.find("Can't Read Gain Files! c.tif file not found."), std::string::npos)
        << got.out;
}

TEST(FinalTestTool, FourPassesAgainstTheBenchStation) {
    kv::testing::ScratchDir dir;
    std::ofstream(dir / "kvmini.INI")
        << "[DIAGNOSTICS]\nLED_STATION=1\nRELAY_BOARD_BASE_ADDR=378\nDOWNLOAD_DAC=0\n"
           "SOUND_FILE=/usr/share/kvmini/test.wav\n[SOUND_PARAMS]\nDEBUG_FILE="
        << (dir / "sound.txt").string()
        << "\n[GAIN_PARAMETERS]\nGAIN_WHITE_EXPOSURE=2\n[FILES]\nGAIN_BLEMISH_FOLDER="
        << dir.path().string() << "\n";
    const std::string env =
        "KVMINI_CONFIG_DIR='" + dir.path().string() + "' HOME='" + dir.path().string() + "' ";
    const auto got = kv::testing::runCommand(env + KVTOOL_PATH +
                                             " final-test --simulate --passes 4 2>/dev/null");
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_NE(got.out.find("Sensor: PASSED\nRun: completed\n"), std::string::npos)
        << got.out.substr(got.out.size() - 300);
    EXPECT_TRUE(std::filesystem::exists(dir / "r.txt"));
    // The final picture's note went through the sound test.
    EXPECT_TRUE(std::filesystem::exists(dir / "sound.txt"));
}

// A seeded sensor planted by --sensor-seed and the same set planted from kvcamsim's list of
// it fail alike; the operator's answers come from the file; a bad seed stops before the run.
TEST(FinalTestTool, SeededSensorAndItsDefectListFailAlike) {
    kv::testing::ScratchDir dir;
    std::ofstream(dir / "kvmini.INI")
        << "[DIAGNOSTICS]\nLED_STATION=1\nRELAY_BOARD_BASE_ADDR=378\nDOWNLOAD_DAC=0\n"
           "SOUND_FILE=/usr/share/kvmini/test.wav\n[GAIN_PARAMETERS]\nGAIN_WHITE_EXPOSURE=2\n"
           "[FILES]\nGAIN_BLEMISH_FOLDER="
        << dir.path().string() << "\n";
    std::ofstream(dir / "answers.txt") << "# the verdict box\nSENSOR/BOARD FAILURE!=yes\n";
    const std::string list = (dir / "defects.txt").string();
    ASSERT_EQ(kv::testing::runCommand(std::string(KVCAMSIM_PATH) +
                                      " --station --sensor-seed=5 --write-sensor-defects='" + list +
                                      "' --seconds=0 >/dev/null 2>&1")
                  .exitCode,
              0);
    const std::string env = "KVMINI_CONFIG_DIR='" + dir.path().string() + "' HOME='" +
                            dir.path().string() + "' " + KVTOOL_PATH +
                            " final-test --simulate --passes 1 --answers '" +
                            (dir / "answers.txt").string() + "' ";
    std::vector<std::string> failures;
    for (const std::string& planted :
         std::vector<std::string>{"--sensor-seed 5", "--sensor-defects '" + list + "'"}) {
        SCOPED_TRACE(planted);
        std::filesystem::remove(dir / "r.txt");
        const auto got = kv::testing::runCommand(env + planted + " 2>&1");
        EXPECT_EQ(got.exitCode, 1);
        EXPECT_NE(got.out.find("? SENSOR/BOARD FAILURE! Sensor Failed!"), std::string::npos);
        EXPECT_NE(got.out.find("Sensor: FAILED\nRun: completed\n"), std::string::npos)
            << got.out.substr(got.out.size() - 300);
        std::ifstream in(dir / "r.txt");
        std::string line, lines;
        while (std::getline(in, line))
            if (line.rfind("FAILURE:", 0) == 0 || line.rfind("Total Detected", 0) == 0)
                lines += line + "\n";
        EXPECT_NE(lines.find("FAILURE: Double rows."), std::string::npos) << lines;
        failures.push_back(lines);
    }
    EXPECT_EQ(failures[0], failures[1]);

    const auto bad = kv::testing::runCommand(env + "--sensor-seed x 2>&1");
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("bad value for --sensor-seed: x"), std::string::npos) << bad.out;
    EXPECT_EQ(bad.out.find("Connecting"), std::string::npos) << bad.out;
}

} // namespace
