#include "diagnostics/dac_test.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "station_rig.h"

namespace kv::testing {
namespace {

using namespace diagnostics;

// A line pair whose 1600 samples are `value`, except `low` samples of `lowValue`.
Bytes darkLine(std::uint16_t value, int low = 0, std::uint16_t lowValue = 0) {
    std::vector<std::uint16_t> mosaic(process::kMosaicSamples, value);
    // Column pair 0 is line 0 of the frame memory.
    for (int j = 0; j < (low + 3) / 4; ++j)
        process::SetMosaicCell(mosaic.data(), 0, process::kCellRows - 1 - j,
                               {lowValue, lowValue, lowValue, lowValue});
    const Bytes ram = process::PackMosaic(mosaic.data(), 0);
    return Bytes(ram.begin() + process::kRamPictureOffset,
                 ram.begin() + process::kRamPictureOffset + kDacLineBytes);
}

TEST(DacMeasure, SixteenthDarkestSampleGivesTheDac) {
    struct Row {
        Bytes line;
        int dac;
    };
    const Row rows[] = {
        {darkLine(88), 13},                          // (88 - 8) / 16 + 8
        {darkLine(16), 8},         {darkLine(0), 8}, // clamped up
        {darkLine(1000), 30},                        // clamped down
        {darkLine(88, 12, 8), 13},                   // 12 darker samples: not yet 16
        {darkLine(88, 16, 24), 9},                   // 16 darker samples decide
        {Bytes(100), -1},
    };
    for (const Row& row : rows)
        EXPECT_EQ(measureDac(row.line), row.dac);
}

TEST(DacTest, FindsTheBenchCamerasOffset) {
    struct Row {
        int dacZero;
        std::optional<int> result;
        std::string box;
    };
    const Row rows[] = {
        {11, 12, ""},
        {10, 13, ""},
        {6, std::nullopt, "Invalid DAC Setting. Low Value of 17, Should be 28"},
    };
    for (const Row& row : rows) {
        camsim::BenchStationOptions o;
        o.dacZero = row.dacZero;
        StationRig rig(o);
        std::string report;
        DacTestOptions options;
        options.report = [&](std::string_view t) { report += t; };
        options.gainFolder = rig.dir.path();
        int setting = 0;
        options.runDacSetting = &setting;
        rig.camera.clearLogs();
        EXPECT_EQ(runDacTest(rig.station, options), row.result) << row.dacZero;
        EXPECT_EQ(report, "Start DAC Test.\n");
        EXPECT_TRUE(rig.op.asked("Number of passes:"));
        if (!row.box.empty())
            EXPECT_TRUE(rig.op.said(row.box))
                << (rig.op.messages.empty() ? "" : rig.op.messages[0]);
        else
            EXPECT_TRUE(rig.op.messages.empty());
        // The first iteration's line is the DAC file, and it reads the offset's DAC.
        Bytes file;
        ASSERT_TRUE(platform::readWholeFile(dacFileName(rig.dir.path()), file));
        EXPECT_EQ(measureDac(file), 16 - row.dacZero + 8);
        EXPECT_EQ(setting, 16 - row.dacZero + 7);
        // Two pictures per iteration, 3000 ms after each; the restored exposure checked.
        EXPECT_EQ(rig.commands("P0").size(), 4u);
        const auto tail = rig.sequence({"E0", "E1"});
        ASSERT_GE(tail.size(), 2u);
        EXPECT_EQ(tail[tail.size() - 2], "E1;1");
        EXPECT_EQ(tail.back(), "E0;11");
        EXPECT_EQ(rig.commands("Q0;3").size(), 1u);
        EXPECT_EQ(rig.commands("S0;0").size(), 1u);
        EXPECT_GE(rig.bench.clock().now(), 4 * 3000ms);
        ASSERT_FALSE(rig.op.progress.empty());
        EXPECT_NE(rig.op.progress.front().find("DAC Image --Uploading 2048, DAC:16, Iteration:1"),
                  std::string::npos);
    }
}

TEST(DacTest, TroubleshootingReportsVariationsAndAsksAfterFailures) {
    camsim::BenchStationOptions o;
    o.dacZero = 6; // every run fails
    StationRig rig(o);
    rig.profile.writeString("BLEMISH_PARAMS", "BLEM_TEST_ITERATE", "3");
    rig.op.answers["DAC processing failure. \nProceed?\n"] = "no";
    const auto report = rig.dir / "dac.txt";
    EXPECT_FALSE(dacTroubleshooting(rig.station, report));
    EXPECT_EQ(std::count(rig.op.questions.begin(), rig.op.questions.end(),
                         "DAC processing failure. \nProceed?\n"),
              1);
    EXPECT_EQ(std::count(rig.op.questions.begin(), rig.op.questions.end(), "Number of passes:"), 1);
    Bytes text;
    ASSERT_TRUE(platform::readWholeFile(report, text));
    EXPECT_EQ(std::string(text.begin(), text.end()), "Start DAC Test.\n");
}

TEST(DacTest, TroubleshootingRunsStableCamera) {
    StationRig rig;
    rig.profile.writeString("BLEMISH_PARAMS", "BLEM_TEST_ITERATE", "2");
    const auto report = rig.dir / "dac.txt";
    EXPECT_TRUE(dacTroubleshooting(rig.station, report));
    Bytes text;
    ASSERT_TRUE(platform::readWholeFile(report, text));
    EXPECT_EQ(std::string(text.begin(), text.end()), "Start DAC Test.\nStart DAC Test.\n");
    EXPECT_NE(std::find_if(rig.op.progress.begin(), rig.op.progress.end(),
                           [](const std::string& p) {
                               return p.find(", DAC:12, Test Cnt:2, Iteration:2") !=
                                      std::string::npos;
                           }),
              rig.op.progress.end());
}

} // namespace
} // namespace kv::testing
