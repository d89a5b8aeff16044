// The backend through Debian's scanimage, loaded by SANE's dll meta-backend from the build
// directory (SANE_CONFIG_DIR, LD_LIBRARY_PATH), against a bench camera on a pseudo-terminal.

#include "camera/camera_link.h"
#include "camera/transfers.h"
#include "sane/sane_bench.h"
#include "settings/profile.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

namespace kv::testing {
namespace {

using namespace std::chrono_literals;

#define REQUIRE_SCANIMAGE()                                                                        \
    if (!scanimageInstalled())                                                                     \
    GTEST_SKIP() << "scanimage (sane-utils) is not installed"

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Scanimage, ListsCameraAndHandoffDevices) {
    REQUIRE_SCANIMAGE();
    SaneBench bench;
    const FrontendRun run = runScanimage(bench, {"-L"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "`kvmini:COM1' is a Korvane Mini still camera")) << run.out;
    EXPECT_TRUE(contains(run.out, "`kvmini:handoff'")) << run.out;

    // A port whose device is missing is not listed; the hand-off always is.
    bench.mapCom1("/nonexistent/camera");
    const FrontendRun none = runScanimage(bench, {"-L"});
    EXPECT_FALSE(contains(none.out, "kvmini:COM1")) << none.out;
    EXPECT_TRUE(contains(none.out, "kvmini:handoff")) << none.out;
}

TEST(Scanimage, HelpShowsTheOptions) {
    REQUIRE_SCANIMAGE();
    SaneBench bench;
    const FrontendRun run = runScanimage(bench, {"-d", "kvmini:COM1", "--help"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* part :
         {"--source Take picture|Newest stored picture|Stored picture N [Newest stored picture]",
          "--picture-number 1..4000 (in steps of 1) [inactive]",
          "--output-size 60 x 50|120 x 100|240 x 200|480 x 400|960 x 800|1920 x 1600 [960 x 800]",
          "--white-balance[=(yes|no)] [no]", "--brightness 1..150 (in steps of 1) [75]"})
        EXPECT_TRUE(contains(run.out, part)) << part << "\n" << run.out;
}

TEST(Scanimage, EverySourceAcquires) {
    REQUIRE_SCANIMAGE();
    SaneBench bench;
    struct Row {
        std::vector<std::string> args;
        const char* command; // the camera command the source must have sent
    } rows[] = {
        {{"--source", "Take picture"}, "P0"},
        {{"--source", "Newest stored picture"}, "B0"},
        {{"--source", "Stored picture N", "--picture-number", "1"}, "B0"},
        {{"--source", "Newest stored picture", "--white-balance=yes", "--brightness", "120"}, "B0"},
    };
    for (const Row& row : rows) {
        bench.camera->clearLogs();
        std::vector<std::string> args{"-d", "kvmini:COM1", "--format=pnm"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const FrontendRun run = runScanimage(bench, args);
        EXPECT_EQ(run.exitCode, 0) << row.args[1] << ": " << run.err;
        EXPECT_EQ(pnmSize(run.out), std::make_pair(960, 800)) << row.args[1];
        const auto log = bench.camera->commandLog();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
            return l.rfind(row.command, 0) == 0;
        })) << row.args[1];
    }
    // A number beyond the camera's pictures is refused, not answered with another picture.
    const FrontendRun beyond = runScanimage(
        bench, {"-d", "kvmini:COM1", "--source", "Stored picture N", "--picture-number", "999"});
    EXPECT_NE(beyond.exitCode, 0);
    EXPECT_TRUE(contains(beyond.err, "Invalid argument")) << beyond.err;
    EXPECT_TRUE(beyond.out.empty());
}

TEST(Scanimage, EachOutputSizeGivesItsDimensions) {
    REQUIRE_SCANIMAGE();
    SaneBench bench;
    const std::pair<const char*, std::pair<int, int>> rows[] = {
        {"60 x 50", {60, 50}},     {"120 x 100", {120, 100}}, {"240 x 200", {240, 200}},
        {"480 x 400", {480, 400}}, {"960 x 800", {960, 800}}, {"1920 x 1600", {1920, 1600}}};
    for (const auto& [size, dims] : rows) {
        const FrontendRun run =
            runScanimage(bench, {"-d", "kvmini:COM1", "--output-size", size, "--format=pnm"});
        EXPECT_EQ(run.exitCode, 0) << size << ": " << run.err;
        EXPECT_EQ(pnmSize(run.out), dims) << size;
        EXPECT_EQ(run.out.size() - run.out.rfind("255\n") - 4,
                  std::size_t(dims.first) * dims.second * 3)
            << size;
    }
}

TEST(Scanimage, PngOfTheNewestPicture) {
    REQUIRE_SCANIMAGE();
    SaneBench bench;
    const FrontendRun run = runScanimage(
        bench, {"-d", "kvmini:COM1", "--source", "Newest stored picture", "--format=png"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_GT(run.out.size(), 8u);
    EXPECT_EQ(run.out.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

TEST(Scanimage, HandoffFromKvmini) {
    REQUIRE_SCANIMAGE();
    SaneBench bench({}, false);
    settings::Profile twain(bench.settings / "KVTwain.ini");
    twain.writeString("Korvane", "Location", STANDIN_KVMINI_PATH);
    ::setenv("KV_STANDIN_SIZE", "101x50", 1);
    const FrontendRun run = runScanimage(bench, {"-d", "kvmini:handoff", "--format=pnm"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(pnmSize(run.out), std::make_pair(101, 50));
    // The pattern's first pixel (x*7+y, y*5, x^y at 0,0) and the next one, in RGB order.
    const std::size_t data = run.out.rfind("255\n") + 4;
    EXPECT_EQ(run.out.substr(data, 6), std::string("\0\0\0\x07\0\x01", 6));
    // The bitmap is taken and the count goes back to 0.
    const std::vector<std::string> left = bench.temp.names();
    EXPECT_TRUE(std::none_of(left.begin(), left.end(),
                             [](const std::string& n) { return n.rfind("KVImage", 0) == 0; }));
    EXPECT_EQ(twain.getInt("Source", "PendingImages", -1), 0);

    // Without a program to start, the hand-off is refused at once.
    twain.writeString("Korvane", "Location", "");
    const FrontendRun unset = runScanimage(bench, {"-d", "kvmini:handoff"});
    EXPECT_NE(unset.exitCode, 0);
    EXPECT_TRUE(contains(unset.err, "Invalid argument")) << unset.err;
}

// Faults: the camera goes away, the user cancels, another frontend holds the port, the camera
// has nothing, there is no camera at all.
camsim::BenchCameraOptions pacedCamera() {
    camsim::BenchCameraOptions options;
    options.faults.paceRate = 200000; // about 20 KB/s: a picture takes a few blocks' time
    return options;
}

bool transferUnderway(camsim::BenchCamera& camera) {
    return camera.waitForCommands(
        [](const std::vector<std::string>& log) {
            return std::any_of(log.begin(), log.end(),
                               [](const std::string& l) { return l.rfind("B1", 0) == 0; });
        },
        30s);
}

TEST(Scanimage, PulledCableMidTransferIsAnIoErrorWithNoPicture) {
    REQUIRE_SCANIMAGE();
    SaneBench bench(pacedCamera());
    const auto file = bench.temp / "pic.pnm";
    const FrontendRun run = runScanimage(
        bench, {"-d", "kvmini:COM1", "--format=pnm", "--output-file", file.string()}, [&](int) {
            ASSERT_TRUE(transferUnderway(*bench.camera));
            bench.camera->pullCable();
        });
    EXPECT_FALSE(run.timedOut);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_TRUE(contains(run.err, "Error during device I/O")) << run.err;
    // Nothing of the picture was handed out: no file, or one without any picture data.
    std::error_code ec;
    EXPECT_TRUE(!std::filesystem::exists(file) || std::filesystem::file_size(file, ec) < 20);
}

TEST(Scanimage, InterruptCancelsTheTransfer) {
    REQUIRE_SCANIMAGE();
    SaneBench bench(pacedCamera());
    const FrontendRun run =
        runScanimage(bench, {"-d", "kvmini:COM1", "--format=pnm"}, [&](int pid) {
            ASSERT_TRUE(transferUnderway(*bench.camera));
            ::kill(pid, SIGINT);
        });
    EXPECT_FALSE(run.timedOut);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_TRUE(contains(run.err, "Operation was canceled")) << run.err;
    EXPECT_EQ(pnmSize(run.out), std::make_pair(0, 0));
}

TEST(Scanimage, SecondFrontendOnTheSamePortIsBusy) {
    REQUIRE_SCANIMAGE();
    SaneBench bench(pacedCamera());
    FrontendRun second;
    const FrontendRun first = runScanimage(bench, {"-d", "kvmini:COM1", "--format=pnm"}, [&](int) {
        ASSERT_TRUE(transferUnderway(*bench.camera));
        second = runScanimage(bench, {"-d", "kvmini:COM1", "--format=pnm"});
        bench.camera->setFaults({}); // the first one may finish at full speed
    });
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(pnmSize(first.out), std::make_pair(960, 800));
    EXPECT_NE(second.exitCode, 0);
    EXPECT_TRUE(contains(second.err, "Device busy")) << second.err;
}

TEST(Scanimage, CameraWithoutPicturesAndMissingCamera) {
    REQUIRE_SCANIMAGE();
    SaneBench bench;
    {
        camera::LinkOptions options;
        options.devicePath = bench.camera->devicePath();
        camera::CameraLink link("COM1", camera::kLineRS232, options);
        ASSERT_EQ(link.connect(9600), camera::LinkState::Connected);
        ASSERT_EQ(camera::CameraTransfers(link).eraseAll(), status::Ok);
    }
    const FrontendRun empty = runScanimage(bench, {"-d", "kvmini:COM1"});
    EXPECT_NE(empty.exitCode, 0);
    EXPECT_TRUE(contains(empty.err, "Document feeder out of documents")) << empty.err;

    bench.mapCom1("/nonexistent/camera");
    const FrontendRun missing = runScanimage(bench, {"-d", "kvmini:COM1"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_TRUE(contains(missing.err, "open of device kvmini:COM1 failed")) << missing.err;

    // A device that is there but no camera answering on it.
    camsim::BenchCameraOptions silent;
    silent.faults.silent = true;
    SaneBench quiet(silent);
    const FrontendRun noAnswer = runScanimage(quiet, {"-d", "kvmini:COM1"});
    EXPECT_NE(noAnswer.exitCode, 0);
    EXPECT_TRUE(contains(noAnswer.err, "failed: Error during device I/O")) << noAnswer.err;
}

} // namespace
} // namespace kv::testing
