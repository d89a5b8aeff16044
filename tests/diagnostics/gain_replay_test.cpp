#include "diagnostics/gain_replay.h"
#include "imaging/tiff_forms.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

namespace kv::testing {
namespace {

using namespace diagnostics;

class Recording : public SilentOperator {
public:
    std::vector<std::string> messages, progress, confirms;
    bool answer = true;
    void message(std::string_view t) override { messages.emplace_back(t); }
    bool confirm(std::string_view t) override {
        confirms.emplace_back(t);
        return answer;
    }
    void setProgressText(std::string_view t) override { progress.emplace_back(t); }
};

std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Working files of a seeded sensor: noisy flat fields, a few weak pixels, one hot pixel and
// a dead stretch of 12 samples on one line.
void writeWorkingFiles(const ScratchDir& dir, bool withReset = true) {
    std::mt19937 random(42);
    auto frame = [&](int level, int noise) {
        std::vector<std::uint16_t> f(kRawPixels);
        for (auto& v : f)
            v = static_cast<std::uint16_t>(
                (level + static_cast<int>(random() % (2 * noise + 1)) - noise) << 6);
        return f;
    };
    auto white = frame(300, 3);
    for (int k = 0; k < 40; ++k)
        white[static_cast<std::size_t>(
            SensorCalibration::rawIndex(k % 4, 20 + 9 * k, 30 + 11 * k))] = 150 << 6;
    for (int s = 0; s < 12; ++s)
        white[static_cast<std::size_t>(SensorCalibration::rawIndex(2, 250, 100 + s))] = 20 << 6;
    auto dark = frame(20, 2);
    dark[static_cast<std::size_t>(SensorCalibration::rawIndex(1, 300, 400))] = 900 << 6;
    auto write = [&](const char* name, const std::vector<std::uint16_t>& f) {
        ASSERT_EQ(imaging::WriteMono16Tiff(dir / name, kRawSamples, kRawLines, f.data()), 0);
    };
    write("a.tif", white);
    write("z.tif", dark);
    write("c.tif", frame(200, 3));
    if (withReset)
        write("r.tif", frame(800, 4));
}

struct ReplayRig {
    ScratchDir dir;
    settings::Profile profile{dir / "kvmini.INI"};
    Recording op;
    GainReplayResult run(bool automatic = false) {
        GainReplayOptions o;
        o.folder = dir.path();
        o.programRevision = "2.10";
        o.automaticMode = automatic;
        o.now = 1700000000;
        return replayGainRun(op, profile, o);
    }
};

TEST(GainReplay, SeededSensorIsFoundAndReportedAsTheGoldenFile) {
    ReplayRig rig;
    writeWorkingFiles(rig.dir);
    const auto r = rig.run();
    EXPECT_EQ(r.status, 0) << r.errorText;
    EXPECT_EQ(r.passed, 1);
    EXPECT_EQ(rig.op.messages, std::vector<std::string>{"Sensor Passed"});
    EXPECT_EQ(rig.op.progress.front(), "Creating Gain Data");
    EXPECT_EQ(rig.op.progress.back(), "Evaluating Blemishes");
    std::string report = readText(rig.dir / "r.txt");
    ASSERT_EQ(
        report.rfind("Blemish List Report for Camera: no camera\nKVMini Code Revision: 2.10\n", 0),
        0u);
    // The date line depends on the time zone: compared apart from it.
    const auto date = report.find("Date: ");
    report.erase(date, report.find('\n', date) + 1 - date);
    const std::string golden = std::string(KV_TEST_DATA_DIR) + "/sensor_report_r.txt";
    if (std::getenv("KV_UPDATE_GOLDEN"))
        std::ofstream(golden, std::ios::binary) << report;
    EXPECT_EQ(report, readText(golden));

    const std::string json = readText(rig.dir / "r.json");
    EXPECT_NE(json.find("\"passed\": true"), std::string::npos);
    EXPECT_NE(json.find("\"failedChecks\": []"), std::string::npos);
}

TEST(GainReplay, MissingFiles) {
    {
        ReplayRig rig;
        writeWorkingFiles(rig.dir, false);
        const auto r = rig.run();
        EXPECT_EQ(r.status, 0); // the run goes on without a reset frame
        EXPECT_EQ(rig.op.messages.front(), "Can't Read Gain Files! r.tif file not found.");
        const std::string report = readText(rig.dir / "r.txt");
        EXPECT_NE(report.find("Reset image average:\t     0\n"), std::string::npos);
        EXPECT_NE(report.find("Reset image high value:\t 65535\n"), std::string::npos);
    }
    for (const char* name : {"a.tif", "z.tif", "c.tif"}) {
        ReplayRig rig;
        writeWorkingFiles(rig.dir);
        std::filesystem::remove(rig.dir / name);
        const auto r = rig.run();
        EXPECT_EQ(r.status, 0xFFFF);
        EXPECT_EQ(r.errorText,
                  std::string("\nCan't Read Gain Files! ") + name + " file not found.");
    }
}

TEST(GainReplay, FailingSensorAsksToContinue) {
    ReplayRig rig;
    writeWorkingFiles(rig.dir);
    rig.profile.writeInt("BLEMISH_PARAMS", "ALLOWED_AVERAGE_DARK", 10);
    rig.op.answer = false;
    const auto r = rig.run();
    EXPECT_EQ(r.status, 0xFFFF);
    EXPECT_EQ(r.passed, 0);
    ASSERT_EQ(rig.op.confirms.size(), 1u);
    EXPECT_EQ(rig.op.confirms[0],
              "SENSOR/BOARD FAILURE!\nSensor Failed!\nExcessive Dark Current.\n\nContinue?");
    const std::string json = readText(rig.dir / "r.json");
    EXPECT_NE(json.find("\"failedChecks\": [\"Excessive Dark Current.\\n\"]"), std::string::npos);
}

} // namespace
} // namespace kv::testing
