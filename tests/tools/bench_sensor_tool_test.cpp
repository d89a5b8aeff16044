// kvcamsim's sensor options: a seeded sensor written as a list that reads back to the same
// defects, and a bad list refused.
#include "camsim/bench_station.h"
#include "support/run_command.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

TEST(KvcamsimSensor, WritesTheSeededDefectListAndRefusesABadOne) {
    kv::testing::ScratchDir dir;
    const std::string list = (dir / "planted.txt").string();
    const auto got = kv::testing::runCommand(
        "KVMINI_CONFIG_DIR='" + dir.path().string() + "' " + std::string(KVCAMSIM_PATH) +
        " --station --sensor-seed=4 --write-sensor-defects='" + list + "' --seconds=0");
    EXPECT_EQ(got.exitCode, 0) << got.out;
    std::vector<kv::camsim::SensorDefect> read;
    std::string error;
    ASSERT_TRUE(kv::camsim::readSensorDefects(list, read, error)) << error;
    EXPECT_EQ(read, kv::camsim::seededSensorDefects(4, 3));

    std::ofstream(dir / "bad.txt") << "dead 0 1 1\nblob 0 1 1 2\n";
    const auto refused =
        kv::testing::runCommand(std::string(KVCAMSIM_PATH) + " --station --sensor-defects='" +
                                (dir / "bad.txt").string() + "' --seconds=0 2>&1");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.out.find("line 2: blob 0 1 1 2"), std::string::npos) << refused.out;
}

} // namespace
