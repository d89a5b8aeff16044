#include "base/operator.h"
#include "camera/command_table.h"
#include "transfer_rig.h"

namespace kv::testing {
namespace {

using camsim::TransferStore;

class RecordingOperator : public SilentOperator {
public:
    void setProgressText(std::string_view text) override { texts.emplace_back(text); }
    void message(std::string_view text) override { messages.emplace_back(text); }
    std::vector<std::string> texts;
    std::vector<std::string> messages;
};

TEST(Download, DramBlocksEachAfterL0WithByteSums) {
    Rig rig;
    const Bytes data = patternBytes(20000, 3);
    rig.camera.clearLogs();
    RecordingOperator op;
    ASSERT_EQ(rig.transfers->downloadBlocks(data, 20000, 0, camera::cmd::WriteDram, op),
              status::Ok);
    std::vector<std::string> writes;
    for (const std::string& line : rig.camera.commandLog())
        if (line == "L0" || line.rfind("U1;", 0) == 0)
            writes.push_back(line);
    const auto sum = [&](std::size_t from, std::size_t n) {
        return std::to_string(camera::blockChecksum(ByteSpan(data).subspan(from, n)));
    };
    EXPECT_EQ(writes, (std::vector<std::string>{"L0", "U1;0,8192," + sum(0, 8192), "L0",
                                                "U1;8192,8192," + sum(8192, 8192), "L0",
                                                "U1;16384,3616," + sum(16384, 3616)}));
    const Bytes dram = rig.store([](TransferStore& s) { return s.dram; });
    EXPECT_TRUE(std::equal(data.begin(), data.end(), dram.begin()));
    EXPECT_EQ(op.texts.back(), "Camera programming Flash memory");
    EXPECT_EQ(rig.link->linkState(), camera::LinkState::Ready);
    // The flash was switched off and then restored to its setting.
    EXPECT_EQ(rig.commands("F0;0").size(), 1u);
}

TEST(Download, GainBlemishAndGammaRowsAndFailuresInARow) {
    Rig rig;
    RecordingOperator op;
    const Bytes gain = patternBytes(9000, 1);
    ASSERT_EQ(rig.transfers->downloadBlocks(gain, 9000, 0, camera::cmd::WriteGain, op), status::Ok);
    EXPECT_EQ(rig.store([](TransferStore& s) { return s.gain; }), gain);
    EXPECT_NE(std::find(op.texts.begin(), op.texts.end(), "Downloading Gain Data: 9000"),
              op.texts.end());
    const Bytes gamma = patternBytes(2048, 2);
    ASSERT_EQ(rig.transfers->downloadBlocks(gamma, 2048, 0, camera::cmd::WriteGamma, op),
              status::Ok);
    EXPECT_EQ(rig.commands("D3;2048,").size(), 1u);
    EXPECT_EQ(rig.store([](TransferStore& s) { return s.gamma; }), gamma);

    // A camera that refuses every block: five failures in a row stop the download.
    camsim::FaultOptions faults;
    faults.refuseCommand = "D2";
    rig.camera.setFaults(faults);
    rig.camera.clearLogs();
    EXPECT_NE(rig.transfers->downloadBlocks(gain, 9000, 0, camera::cmd::WriteBlemish, op),
              status::Ok);
    EXPECT_EQ(rig.commands("D2;").size(), 5u);
    EXPECT_EQ(rig.transfers->retransmitCount(), 5 * 8192);
    // Positions beyond the data are refused without a word to the camera.
    EXPECT_EQ(rig.transfers->downloadBlocks(gain, 9001, 0, camera::cmd::WriteGain, op),
              status::Failed);
}

TEST(ParameterRecord, VersionOneCopyAndWriteBack) {
    Rig rig;
    Bytes record = patternBytes(1024, 9);
    storeLe32(record, 0, 1);
    rig.store([&](TransferStore& s) { s.parameterRecord = record; });
    Bytes read;
    ASSERT_EQ(rig.transfers->readParameterRecord(read), status::Ok);
    Bytes expected = record;
    std::copy(record.begin() + 36, record.begin() + 68, expected.begin() + 88);
    EXPECT_EQ(read, expected);
    // Ping mode off around the read, back on afterwards.
    EXPECT_EQ(rig.commands("Z5;0").size(), 1u);

    // Another version is returned as it stands.
    storeLe32(record, 0, 2);
    rig.store([&](TransferStore& s) { s.parameterRecord = record; });
    ASSERT_EQ(rig.transfers->readParameterRecord(read), status::Ok);
    EXPECT_EQ(read, record);

    const Bytes written = patternBytes(1024, 10);
    rig.camera.clearLogs();
    ASSERT_EQ(rig.transfers->writeParameterRecord(written), status::Ok);
    EXPECT_EQ(rig.store([](TransferStore& s) { return s.parameterRecord; }), written);
    const std::string sum = std::to_string(camera::byteSum(written));
    EXPECT_EQ(rig.commands("D4;"), (std::vector<std::string>{"D4;1024," + sum}));
    EXPECT_EQ(rig.commands("L0").size(), 1u);
    EXPECT_EQ(rig.transfers->writeParameterRecord(Bytes(1000)), status::Failed);
}

TEST(Upload, DramFramAndPcCardInBlocks) {
    Rig rig;
    rig.store([](TransferStore& s) {
        s.dram = patternBytes(s.dram.size(), 1);
        s.fram = patternBytes(s.fram.size(), 2);
        s.pcCard = patternBytes(s.pcCard.size(), 3);
    });
    const auto memories = rig.store([](TransferStore& s) {
        return std::array{s.dram, s.fram, s.pcCard};
    });
    struct Case {
        int command;
        long start;
        long size;
        const Bytes& memory;
        long offset;
    } cases[] = {
        {camera::kUploadDram, 1000, 20000, memories[0], 1000},
        {camera::kUploadFram, 0, 8192, memories[1], 0},
        {camera::kUploadFram, (1 << 20) + 4096, 10000, memories[2], 4096}, // PC card
    };
    for (const Case& c : cases) {
        RecordingOperator op;
        Bytes buffer;
        ASSERT_EQ(rig.transfers->uploadMemory(c.command, c.start, c.size, buffer, "Uploading", op),
                  status::Ok);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), c.memory.begin() + c.offset));
    }
    // The plain variant reports its own progress text.
    RecordingOperator op;
    Bytes buffer;
    ASSERT_EQ(rig.transfers->uploadMemoryPlain(
                  camera::kUploadDram, 0, 16384, buffer,
                  [](long n) { return "DAC Image --Uploading " + std::to_string(n); }, op),
              status::Ok);
    EXPECT_EQ(op.texts, (std::vector<std::string>{"DAC Image --Uploading 8192",
                                                  "DAC Image --Uploading 16384"}));
    // Reads beyond the memory: four failures in a row end with "Communication error".
    ASSERT_NE(rig.transfers->uploadMemory(camera::kUploadDram, (1 << 20) - 100, 8192, buffer,
                                          "Uploading DRAM", op),
              status::Ok);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0], "Communication error: 65535");
    // Sizes beyond any memory are refused before anything is allocated.
    EXPECT_EQ(rig.transfers->uploadMemory(camera::kUploadDram, 0, 1L << 40, buffer, "x", op),
              status::Failed);
}

TEST(CardCommands, CountListFormatAndErase) {
    Rig rig(benchOptions(camsim::CameraKind::MemoryCard, "3.01"));
    Bytes listing;
    EXPECT_EQ(rig.transfers->countFiles("*<*.jpg>"), 3);
    EXPECT_EQ(rig.transfers->listFiles(listing, "*<*.wav>"), 2);
    EXPECT_EQ(listing.size(), 2u * 43 + 2);
    EXPECT_EQ(listing[84], 0);
    EXPECT_EQ(rig.transfers->openFile("*<A:NOSUCH.JPG>"), status::Failed);
    EXPECT_EQ(rig.transfers->formatCard(), status::Ok);
    Status st = status::Failed;
    EXPECT_EQ(rig.transfers->countFiles("*<*.jpg>", &st), 0);
    EXPECT_EQ(st, status::Ok);
}

TEST(CardCommands, EraseEmptiesThePlainCamera) {
    Rig rig;
    ASSERT_EQ(rig.transfers->eraseAll(), status::Ok);
    EXPECT_TRUE(rig.transfers->listPictures().records.empty());
}

} // namespace
} // namespace kv::testing
