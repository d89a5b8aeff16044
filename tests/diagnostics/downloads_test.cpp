#include "camera/parameter_block.h"
#include "diagnostics/dac_test.h"
#include "diagnostics/downloads.h"
#include "imaging/process/gamma_table.h"
#include "station_rig.h"

#include <fstream>

namespace kv::testing {
namespace {

using namespace diagnostics;

Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

// A firmware file: header "3.20", `count` data records, the end record; LF line endings.
std::filesystem::path firmwareFile(const ScratchDir& dir, int count) {
    const auto path = dir / "fw.s19";
    std::ofstream out(path, std::ios::binary);
    out << sRecordText('0', 0, 2, Bytes{'3', '.', '2', '0'}) << "\n";
    for (int i = 0; i < count; ++i)
        out << sRecordText('1', std::uint32_t(16 * i), 2, Bytes(16, std::uint8_t(i))) << "\n";
    out << sRecordText('9', 0, 2, {}) << "\n";
    return path;
}

TEST(Downloads, GainImageGoesDownIn48Blocks) {
    StationRig rig;
    const Bytes gain = pattern(kGainImageBytes);
    ASSERT_EQ(downloadBlock(rig.station, gain, 0, kDownloadGain), status::Ok);
    const auto blocks = rig.store([](camsim::TransferStore& s) { return s.downloads; });
    ASSERT_EQ(blocks.size(), 48u);
    for (std::size_t i = 0; i < 47; ++i) {
        EXPECT_EQ(blocks[i].start, long(8192 * i));
        EXPECT_EQ(blocks[i].length, 8192);
    }
    EXPECT_EQ(blocks[47].length, 2944);
    EXPECT_EQ(rig.store([](camsim::TransferStore& s) { return s.gain; }), gain);
    EXPECT_EQ(rig.commands("L0").size(), 48u);
    ASSERT_FALSE(rig.op.progress.empty());
    EXPECT_EQ(rig.op.progress.back(), "Camera programming Flash memory");
}

TEST(Downloads, CorruptedReplyRepeatsTheBlockAndTheFifthFailureEndsIt) {
    struct Row {
        int corruptions;
        bool succeeds;
    };
    for (const Row row : {Row{4, true}, Row{5, false}}) {
        camsim::BenchStationOptions o;
        o.corruptBlockReply = 3;
        o.corruptBlockTimes = row.corruptions;
        StationRig rig(o);
        const Bytes gain = pattern(kGainImageBytes);
        const Status st = downloadBlock(rig.station, gain, 0, kDownloadGain);
        EXPECT_EQ(st == status::Ok, row.succeeds) << row.corruptions;
        const auto log = rig.bench.blockLog();
        // Block 3 is announced again with the same offset, length and checksum each time.
        const int repeats = row.succeeds ? row.corruptions + 1 : row.corruptions;
        ASSERT_GE(log.size(), std::size_t(2 + repeats));
        for (int i = 0; i < repeats; ++i) {
            EXPECT_EQ(log[std::size_t(2 + i)], log[2]);
        }
        EXPECT_EQ(log.size(), row.succeeds ? 48u + 4 : 2u + 5);
        if (row.succeeds) {
            ASSERT_GT(rig.op.progress.size(), 2u);
            EXPECT_NE(rig.op.progress[2].find(" - Retransmit: "), std::string::npos);
        }
        // The flash is switched back on whatever happened.
        const auto flash = rig.commands("F0");
        ASSERT_GE(flash.size(), 2u);
        EXPECT_EQ(flash.front(), "F0;0");
        EXPECT_EQ(flash.back(), "F0;1");
    }
}

TEST(Downloads, FirmwareDownloadMovesTheCameraToItsNewVersion) {
    StationRig rig;
    const auto file = firmwareFile(rig.dir, 30);
    rig.profile.writeString("DIAGNOSTICS", "RELAY_BOARD_BASE_ADDR", "378");
    rig.camera.clearLogs();
    ASSERT_TRUE(downloadFirmware(rig.station, file.string()));
    EXPECT_EQ(rig.station.camera->status().firmwareText(), "3.20");
    EXPECT_EQ(rig.connects, 1); // reconnected after the download
    EXPECT_EQ(rig.commands("S1").size(), 30u);
    ASSERT_FALSE(rig.op.progress.empty());
    EXPECT_EQ(rig.op.progress.back(), "Downloading S-Record 32");
    const auto order = rig.sequence({"Z5", "L0", "D0", "S0", "S9"});
    ASSERT_GE(order.size(), 5u);
    EXPECT_EQ(order[0], "Z5;0");
    EXPECT_EQ(order[1], "L0");
    EXPECT_EQ(order[2], "D0");
    // Not an LED station: relay 3 around the download, 0 after it.
    const auto writes = rig.bench.outputLog();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bytes, Bytes{3});
    EXPECT_EQ(writes[1].bytes, Bytes{0});
}

TEST(Downloads, RefusedRecordsRetryEightTimes) {
    struct Row {
        int refusals;
        bool succeeds;
    };
    for (const Row row : {Row{7, true}, Row{8, false}}) {
        camsim::BenchStationOptions o;
        o.refuseRecord = 12; // the last record: the end record after header and ten data
        o.refuseRecordTimes = row.refusals;
        StationRig rig(o);
        const auto file = firmwareFile(rig.dir, 10);
        EXPECT_EQ(downloadFirmware(rig.station, file.string()), row.succeeds);
        EXPECT_EQ(rig.commands("S9").size(), std::size_t(row.succeeds ? row.refusals + 1 : 8));
        if (!row.succeeds) {
            EXPECT_TRUE(rig.op.said("Error downloading camera firmware: MAX Retries"));
            EXPECT_EQ(rig.station.camera->status().firmwareText(), "3.01");
        }
    }
}

TEST(Downloads, BadFirmwareFilesNeverReachTheCamera) {
    StationRig rig;
    const auto path = rig.dir / "bad.s19";
    std::ofstream(path) << sRecordText('0', 0, 2, Bytes{'x'}) << "\nS1130000285F245F\n";
    rig.camera.clearLogs();
    EXPECT_FALSE(downloadFirmware(rig.station, path.string()));
    EXPECT_TRUE(rig.commands("D0").empty());
    EXPECT_TRUE(rig.commands("Z5").empty());
    ASSERT_EQ(rig.op.messages.size(), 1u);
    EXPECT_EQ(rig.op.messages[0], "Unable to open program file: " + path.string() +
                                      "\nLine 2: byte count does not match the record");
    EXPECT_FALSE(downloadFirmware(rig.station, (rig.dir / "none.s19").string()));
    EXPECT_EQ(rig.op.messages[1].rfind("Unable to open program file: ", 0), 0u);
}

TEST(Downloads, AutomaticModeTakesTheProgramSetting) {
    StationRig rig;
    rig.profile.writeString("DIAGNOSTICS", "DOWNLOAD_PROGRAM", firmwareFile(rig.dir, 3).string());
    rig.station.automaticMode = true;
    ASSERT_TRUE(downloadFirmware(rig.station));
    EXPECT_TRUE(rig.op.questions.empty());
}

TEST(Downloads, SetDacClampsAndTheCameraHoldsTheValue) {
    StationRig rig;
    for (auto [asked, held] : {std::pair{40L, 31}, {-3L, 0}, {17L, 17}}) {
        rig.op.answers["DAC value:"] = std::to_string(asked);
        EXPECT_EQ(setDac(rig.station), held);
        const int inCamera =
            rig.store([](camsim::TransferStore& s) { return camera::paramDac(s.parameterRecord); });
        EXPECT_EQ(inCamera, held);
    }
    EXPECT_TRUE(rig.op.messages.empty());
}

TEST(Downloads, SerialNumberIsAssignedOnceAndBlockDownloadsLeaveItAlone) {
    StationRig rig;
    const std::int32_t old = rig.station.camera->status().serialNumber;
    rig.op.answers["Overwrite old serial number?"] = "no";
    EXPECT_FALSE(setSerialNumber(rig.station));
    EXPECT_TRUE(rig.commands("D5").empty());
    rig.op.answers.clear();
    ASSERT_TRUE(setSerialNumber(rig.station));
    const std::int32_t assigned = rig.station.camera->status().serialNumber;
    EXPECT_NE(assigned, old);
    EXPECT_TRUE(rig.op.asked("Overwrite old serial number?"));
    ASSERT_EQ(downloadBlock(rig.station, pattern(4096), 0, kDownloadBlemish), status::Ok);
    ASSERT_EQ(rig.station.camera->requestStatus(), status::Ok);
    EXPECT_EQ(rig.station.camera->status().serialNumber, assigned);
    // Automatic mode never asks.
    rig.op.questions.clear();
    rig.station.automaticMode = true;
    EXPECT_TRUE(setSerialNumber(rig.station));
    EXPECT_TRUE(rig.op.questions.empty());
}

TEST(Downloads, GammaTableBuiltInOrFromText) {
    StationRig rig;
    ASSERT_TRUE(downloadGammaTable(rig.station));
    const Bytes builtIn = process::GammaTableBytes(process::BuiltInGammaTable());
    EXPECT_EQ(rig.store([](camsim::TransferStore& s) { return s.gamma; }), builtIn);
    EXPECT_TRUE(rig.op.said("Gamma table successfully downloaded."));

    process::GammaTable table{};
    std::ofstream out(rig.dir / "gamma.txt", std::ios::binary);
    for (int i = 0; i < 1024; ++i) {
        table[std::size_t(i)] = std::uint16_t(4096 + i);
        out << 4096 + i << (i % 8 == 7 ? "\r\n" : "\t");
    }
    out.close();
    rig.op.answers["Download default Gamma Table?"] = "no";
    ASSERT_TRUE(downloadGammaTable(rig.station, (rig.dir / "gamma.txt").string()));
    // Cancelling the file leaves the camera's pings on again.
    EXPECT_FALSE(downloadGammaTable(rig.station));
    EXPECT_EQ(rig.commands("Z5").back(), "Z5;1");
    EXPECT_EQ(rig.station.camera->pingMode(), 1);
    EXPECT_EQ(rig.store([](camsim::TransferStore& s) { return s.gamma; }),
              process::GammaTableBytes(table));
}

TEST(Downloads, BatchProcessOrder) {
    StationRig rig;
    const auto path = rig.dir / "image.ram";
    const Bytes image = pattern(20000);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), long(image.size()));
    rig.camera.clearLogs();
    const auto before = rig.bench.clock().now();
    ASSERT_TRUE(batchProcess(rig.station, path.string()));
    EXPECT_GE(rig.bench.clock().now() - before, 2000ms);
    const auto order = rig.sequence({"Z1", "N0", "U1", "P0", "Z5"});
    const std::vector<std::string> expected{
        "Z5;0",          "Z1;1119",        "N0", "N0",   "U1;0,8192,",
        "U1;8192,8192,", "U1;16384,3616,", "P0", "Z1;0", "Z5;1"};
    ASSERT_EQ(order.size(), expected.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(order[i].rfind(expected[i], 0), 0u) << order[i];
}

} // namespace
} // namespace kv::testing
