// kvtool and kvcamsim as a station script uses them: exit status, output, and a separately
// started bench camera found through the settings file's "PORTS" section.

#include "settings/profile.h"
#include "support/run_command.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Outcome = kv::testing::CommandOutcome;

// Runs a shell command line with the settings directory pointed at `configDir`; standard
// output and standard error together.
Outcome run(const kv::testing::ScratchDir& configDir, const std::string& commandLine) {
    return kv::testing::runCommand("KVMINI_CONFIG_DIR='" + configDir.path().string() + "' TZ=UTC " +
                                   commandLine + " 2>&1");
}

std::string kvtool(const std::string& args) {
    return std::string(KVTOOL_PATH) + " " + args;
}

TEST(Kvtool, SettingsRoundTripAndExitCodes) {
    kv::testing::ScratchDir config;
    EXPECT_EQ(run(config, kvtool("settings set connect_params BAUD_RATE 57600")).exitCode, 0);
    const Outcome got = run(config, kvtool("settings get CONNECT_PARAMS baud_rate"));
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_EQ(got.out, "57600\n");
    // The program's own file, in the configuration directory.
    kv::settings::Profile profile(config / "kvmini.INI");
    EXPECT_EQ(profile.getInt("CONNECT_PARAMS", "BAUD_RATE", 0), 57600);

    const Outcome missing = run(config, kvtool("settings get CONNECT_PARAMS NO_SUCH_KEY"));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.out.find("NO_SUCH_KEY"), std::string::npos);

    EXPECT_EQ(run(config, kvtool("no-such-command")).exitCode, 2);
    EXPECT_EQ(run(config, kvtool("settings get ONLY_SECTION")).exitCode, 2);
}

TEST(Kvtool, ManufacturingNumberText) {
    kv::testing::ScratchDir config;
    struct Row {
        const char* value;
        const char* text;
    } rows[] = {{"4294967295", "-1\n"},
                {"873999999", "873999999\n"},
                {"1090519040", "A091197174640\n"}}; // 'A' << 24, time part 0
    for (const Row& row : rows) {
        const Outcome r = run(config, kvtool(std::string("mfg-number ") + row.value));
        EXPECT_EQ(r.exitCode, 0) << row.value;
        EXPECT_EQ(r.out, row.text) << row.value;
    }
    EXPECT_NE(run(config, kvtool("mfg-number 12x")).exitCode, 0);
    EXPECT_NE(run(config, kvtool("mfg-number 4294967296")).exitCode, 0);
}

TEST(Kvtool, SimulatedCameraStatusAndRetrieve) {
    kv::testing::ScratchDir config;
    const Outcome status = run(config, kvtool("--simulate status"));
    ASSERT_EQ(status.exitCode, 0) << status.out;
    EXPECT_NE(status.out.find("firmware"), std::string::npos) << status.out;

    kv::testing::ScratchDir pictures;
    const Outcome retrieve =
        run(config, kvtool("--simulate retrieve '" + pictures.path().string() + "' --base Shot"));
    ASSERT_EQ(retrieve.exitCode, 0) << retrieve.out;
    const auto names = pictures.names();
    EXPECT_FALSE(names.empty());
    for (const std::string& name : names)
        EXPECT_EQ(name.rfind("Shot", 0), 0u) << name;
}

// A status line of noise is no status: the command fails and prints none of the fields (the
// defaults would pass for what the camera said). The camera answers properly at connect.
TEST(Kvtool, StatusOfACameraAnsweringGarbageFails) {
    kv::testing::ScratchDir config;
    const Outcome status = run(config, kvtool("--simulate status --garbage=I0:1"));
    EXPECT_NE(status.exitCode, 0) << status.out;
    EXPECT_NE(status.out.find("Status request FAILED"), std::string::npos) << status.out;
    for (const char* field : {"firmware ", "type ", "serial number", "battery"})
        EXPECT_EQ(status.out.find(field), std::string::npos) << status.out;
}

// A list the camera could not give whole is no complete retrieval: the exit status says so,
// and the message says how many pictures were left out.
TEST(Kvtool, RetrieveWithAnUnreadableListIsIncomplete) {
    kv::testing::ScratchDir config;
    kv::testing::ScratchDir pictures;
    const Outcome retrieve = run(config, kvtool("--simulate retrieve '" + pictures.path().string() +
                                                "' --unreadable-item=3"));
    EXPECT_EQ(retrieve.exitCode, 1) << retrieve.out;
    EXPECT_NE(retrieve.out.find("1 of the camera's 4 pictures were not listed"), std::string::npos)
        << retrieve.out;
}

TEST(Kvcamsim, FoundByConnectThroughThePortsSection) {
    kv::testing::ScratchDir config;
    const std::string ini = (config / "kvmini.INI").string();
    kv::settings::Profile profile(ini);
    // No real serial ports in the way: only COM2 leads anywhere.
    for (const char* port : {"COM1", "COM3", "COM4"})
        profile.writeString("PORTS", port, std::string("/nonexistent/") + port);

    const pid_t camera = ::fork();
    ASSERT_GE(camera, 0);
    if (camera == 0) {
        ::setenv("KVMINI_CONFIG_DIR", config.path().c_str(), 1);
        ::execl(KVCAMSIM_PATH, KVCAMSIM_PATH, "--ports=COM2", "--seconds=60",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // kvcamsim writes its device path under "PORTS" once its pseudo-terminal is open.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (profile.getString("PORTS", "COM2").empty() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(profile.getString("PORTS", "COM2").empty());

    const Outcome connect = run(config, kvtool("connect --tries=8"));
    ::kill(camera, SIGTERM);
    int status = 0;
    ::waitpid(camera, &status, 0);
    EXPECT_EQ(connect.exitCode, 0) << connect.out;
    EXPECT_NE(connect.out.find("COM2"), std::string::npos) << connect.out;
}

} // namespace
