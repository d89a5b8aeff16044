// kvtool focus-station as a station script runs it against the focus bench.

#include "support/run_command.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using kv::testing::CommandOutcome;

CommandOutcome focusStation(const kv::testing::ScratchDir& dir, const std::string& args) {
    return kv::testing::runCommand(
        "KVMINI_CONFIG_DIR='" + dir.path().string() + "' " + std::string(KVTOOL_PATH) +
        " focus-station --simulate --report '" + (dir / "f.txt").string() + "' " + args + " 2>&1");
}

TEST(KvtoolFocusStation, RunsAgainstTheBench) {
    struct Row {
        const char* args;
        int exitCode;
        const char* shows;
    };
    for (const Row& r : {
             Row{"--best-focus 63120", 0, "run 1: focus passed at 631"},
             Row{"--repeat 2", 0, "run 2: focus passed"},
             Row{"--slip 150", 1, "Lens did not come back into focus,\nprobably stuck or slipped!"},
             Row{"--answer 'Load Lens=cancel'", 1, "run 1: focus FAILED"},
             Row{"--repeat 0", 1, "--repeat wants a count"},
         }) {
        SCOPED_TRACE(r.args);
        kv::testing::ScratchDir dir;
        const CommandOutcome got = focusStation(dir, r.args);
        EXPECT_EQ(got.exitCode, r.exitCode) << got.out;
        EXPECT_NE(got.out.find(r.shows), std::string::npos) << got.out;
        // The bench's ports and sweep never reach the real settings file.
        EXPECT_FALSE(std::ifstream(dir / "kvmini.INI").good());
    }
}

TEST(KvtoolFocusStation, AppendsToTheReport) {
    kv::testing::ScratchDir dir;
    ASSERT_EQ(focusStation(dir, "").exitCode, 0);
    ASSERT_EQ(focusStation(dir, "").exitCode, 0);
    std::ifstream in(dir / "f.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string report = text.str();
    std::size_t sections = 0;
    for (std::size_t at = report.find("FOCUS DATA:"); at != std::string::npos;
         at = report.find("FOCUS DATA:", at + 1))
        ++sections;
    EXPECT_EQ(sections, 2u);
    EXPECT_NE(report.find("LENS CHECK:\n\n"), std::string::npos);
}

TEST(KvcamsimCradle, PrintsAndWritesTheBenchDevices) {
    kv::testing::ScratchDir dir;
    const CommandOutcome got = kv::testing::runCommand(
        "KVMINI_CONFIG_DIR='" + dir.path().string() + "' " + std::string(KVCAMSIM_PATH) +
        " --cradle --cradle-port=COM3 --seconds=1 2>/dev/null");
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_NE(got.out.find("\ncradle /dev/"), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("\nlights /dev/"), std::string::npos) << got.out;
    std::ifstream in(dir / "kvmini.INI");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("COM3=/dev/"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("LPT1=/dev/"), std::string::npos);
    EXPECT_NE(text.str().find("CRADLE_PORT_RS232=3"), std::string::npos);
    EXPECT_NE(text.str().find("CRADLE_STEP=4"), std::string::npos);
}

} // namespace
