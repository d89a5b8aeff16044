// kvtool's station commands against the bench station, as a station script runs them: the
// scripted operator's answers, the Parts' texts on standard output, exit codes.

#include "settings/profile.h"
#include "support/run_command.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out; // standard output only
    std::string err;
};

Outcome station(const kv::testing::ScratchDir& dir, const std::string& args) {
    const auto got = kv::testing::runCommand(
        "KVMINI_CONFIG_DIR='" + dir.path().string() + "' HOME='" + dir.path().string() + "' " +
        KVTOOL_PATH + " station " + args + " 2>'" + (dir / "err.txt").string() + "'");
    Outcome result{got.exitCode, got.out, {}};
    std::ifstream err(dir / "err.txt");
    result.err.assign(std::istreambuf_iterator<char>(err), {});
    return result;
}

TEST(StationTool, ProceduresAgainstTheBenchStation) {
    kv::testing::ScratchDir dir;
    struct Row {
        std::string args;
        int exitCode;
        std::string out;
    };
    const Row rows[] = {
        {"dac-test --simulate", 0, "DAC: 12\n"},
        {"dac-test --simulate --dac-zero=10", 0, "DAC: 13\n"},
        {"set-dac 40 --simulate", 0, "DAC set to 31\n"},
        {"set-dac --simulate --answer 'DAC value:=-3'", 0, "DAC set to 0\n"},
        {"relay 3 --simulate", 0, ""}, // no relay board configured: nothing written
        {"light 0x85 --simulate", 0, "light controller <- 85 00\n"},
        {"light 0x85 --simulate --no-light", 1,
         "Light controller: /dev/lp0: cannot open: No such file or directory\n"},
        {"download-gamma --simulate", 0, "Gamma table successfully downloaded.\n"},
        {"neutralize --simulate --rect '0 0 40 40' --no-flash", 1,
         "Error: neutral target not found!\n"},
    };
    for (const Row& row : rows) {
        const Outcome r = station(dir, row.args);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.args << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << row.args;
    }
}

TEST(StationTool, ScriptedOperatorPrintsEveryQuestion) {
    kv::testing::ScratchDir dir;
    std::ofstream(dir / "answers.txt") << "# station answers\nNumber of passes:=2\n"
                                          "Overwrite old serial number?=no\n";
    const Outcome serial =
        station(dir, "serial --simulate --answers '" + (dir / "answers.txt").string() + "'");
    EXPECT_EQ(serial.exitCode, 1);
    EXPECT_NE(serial.err.find("? Overwrite old serial number? -> no"), std::string::npos)
        << serial.err;
    const Outcome test =
        station(dir, "dac-test --simulate --answers '" + (dir / "answers.txt").string() + "'");
    EXPECT_EQ(test.exitCode, 0);
    EXPECT_NE(test.err.find("? Number of passes: -> 2"), std::string::npos);
    std::ofstream(dir / "bad.txt") << "no equals sign\n";
    EXPECT_EQ(
        station(dir, "dac-test --simulate --answers '" + (dir / "bad.txt").string() + "'").exitCode,
        1);
}

TEST(StationTool, SoundTestOfTheBenchMicrophone) {
    kv::testing::ScratchDir dir;
    kv::settings::Profile profile(dir / "kvmini.INI");
    profile.writeString("DIAGNOSTICS", "SOUND_FILE", "test.wav");
    profile.writeString("SOUND_PARAMS", "DEBUG_FILE", (dir / "fft.txt").string());
    const auto rec = (dir / "rec.raw").string();
    ASSERT_EQ(station(dir, "record-sound '" + rec + "' --simulate").exitCode, 0);
    const Outcome pass = station(dir, "sound-test '" + rec + "'");
    EXPECT_EQ(pass.exitCode, 0);
    EXPECT_NE(pass.out.find("Sound Test Summary:"), std::string::npos);
    EXPECT_NE(pass.out.find("Sound test: PASS"), std::string::npos);
    ASSERT_EQ(station(dir, "record-sound '" + rec + "' --simulate --seconds=1").exitCode, 0);
    const Outcome shortOne = station(dir, "sound-test '" + rec + "'");
    EXPECT_EQ(shortOne.exitCode, 1);
    EXPECT_NE(shortOne.out.find("The recording holds 8000 samples; the test needs 66560"),
              std::string::npos)
        << shortOne.out;
}

TEST(StationTool, FirmwareDownload) {
    kv::testing::ScratchDir dir;
    const auto fw = (dir / "fw.s19").string();
    std::ofstream(fw) << "S0070000332E333034\r\nS1130000285F245F2212226A000424290008237C2A\r\n"
                         "S9030000FC\r\n";
    const Outcome good = station(dir, "download-firmware '" + fw + "' --simulate");
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_EQ(good.out, "Firmware: 3.30\n");
    const Outcome refused =
        station(dir, "download-firmware '" + fw + "' --simulate --refuse-record=3");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "Error downloading camera firmware: MAX Retries\n");
}

} // namespace
