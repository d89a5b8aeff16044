// Retrieval over a faulty line: whatever is received must be bit-identical to what the camera
// holds, or the item must be reported failed.
#include "transfer_rig.h"

namespace kv::testing {
namespace {

using camsim::TransferStore;

std::vector<camsim::StoredItem> mixedItems() {
    return {noteItem(2000, 1), pictureItem(9000, 0, 2),  pictureItem(6000, 1, 3),
            noteItem(1500, 4), pictureItem(12000, 3, 5), pictureItem(4000, 2, 6)};
}

struct FaultCase {
    const char* name;
    camsim::FaultOptions faults;
};

camsim::FaultOptions faultsOf(double corrupt, double drop, double stateBytes, std::uint32_t seed) {
    camsim::FaultOptions f;
    f.seed = seed;
    f.corruptRate = corrupt;
    f.dropRate = drop;
    f.stateByteRate = stateBytes;
    return f;
}

class FaultyLine : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultyLine, EveryItemIsIdenticalOrReportedFailed) {
    Rig rig;
    rig.store([](TransferStore& s) { s.items = mixedItems(); });
    auto list = rig.transfers->listPictures(); // on a clean line
    ASSERT_EQ(list.records.size(), 4u);
    const auto stored = rig.store([](TransferStore& s) { return s.items; });
    rig.camera.setFaults(GetParam().faults);

    camera::CameraTransfers::installRetrieveAction(*rig.link, fastTransferTiming());
    rig.link->startWorker();
    for (const auto& record : list.records)
        rig.link->postToWorker({camera::worker::Retrieve, record});
    ASSERT_TRUE(rig.events.waitForEnds(4, 90s));

    int received = 0;
    for (const Notice& notice : rig.events.notices()) {
        if (notice.code != camera::notice::ItemReceived)
            continue;
        ++received;
        const camera::TransferItem& item = *notice.item;
        ASSERT_EQ(item.result, status::Ok);
        const auto& picture = stored[static_cast<std::size_t>(item.pictureNumber - 1)].data;
        EXPECT_TRUE(std::equal(picture.begin(), picture.end(), item.pictureData().begin(),
                               item.pictureData().end()))
            << "picture " << item.pictureNumber;
        if (item.soundSize > 0) {
            EXPECT_EQ(item.sound, stored[static_cast<std::size_t>(item.soundNumber - 1)].data);
        }
    }
    // The line is usable afterwards.
    rig.camera.setFaults({});
    EXPECT_EQ(rig.link->requestStatus(), status::Ok);
    if (GetParam().faults.corruptRate == 0 && GetParam().faults.dropRate == 0) {
        EXPECT_EQ(received, 4);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, FaultyLine,
    ::testing::Values(FaultCase{"state_bytes", faultsOf(0, 0, 0.02, 1)},
                      FaultCase{"corrupt_1_in_20000", faultsOf(1.0 / 20000, 0, 0, 2)},
                      FaultCase{"corrupt_1_in_2000", faultsOf(1.0 / 2000, 0, 0, 3)},
                      FaultCase{"dropped_bytes", faultsOf(0, 1.0 / 20000, 0, 4)},
                      FaultCase{"everything", faultsOf(1.0 / 8000, 1.0 / 30000, 0.01, 5)}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// No read of the item is whole, but each block comes right in most reads: the bytes that two
// reads received alike make up the item, and of the spoiled bytes' values the sum accepts the
// one combination that passes.
TEST(Faults, BlocksReceivedAlikeInTwoReadsMakeUpTheItem) {
    Rig rig;
    rig.store([](TransferStore& s) {
        auto item = pictureItem(30000, 0, 1);
        item.flakyBlocks = true;
        s.items = {item};
    });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 1u);
    rig.camera.clearLogs();
    ASSERT_EQ(rig.transfers->fetchItem(*list.records[0]), status::Ok);
    EXPECT_EQ(list.records[0]->picture,
              rig.store([](TransferStore& s) { return s.items[0].data; }));
    EXPECT_EQ(rig.commands("B0").size(), 2u); // each read spoils a different block
}

TEST(Faults, CardFilesWithoutChecksumAreStoredOnlyWhenTwoReadsAgree) {
    Rig rig(benchOptions(camsim::CameraKind::MemoryCard, "2.02"));
    rig.store([](TransferStore& s) {
        s.cardFiles = {{"PICT0001", "JPG", patternBytes(6000, 1), std::nullopt},
                       {"PICT0002", "JPG", patternBytes(7000, 2), std::nullopt}};
    });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 2u);
    rig.camera.setFaults(faultsOf(1.0 / 3000, 0, 0, 7));
    const auto files = rig.store([](TransferStore& s) { return s.cardFiles; });
    for (std::size_t i = 0; i < list.records.size(); ++i) {
        if (rig.transfers->fetchItem(*list.records[i]) == status::Ok) {
            EXPECT_EQ(list.records[i]->picture, files[i].data);
        } else {
            EXPECT_TRUE(list.records[i]->picture.empty());
        }
    }
}

TEST(Faults, CablePulledMidRetrievalKeepsEarlierItemsAndFailsTheRest) {
    Rig rig;
    rig.store([](TransferStore& s) {
        s.items = {pictureItem(4000, 0, 1), pictureItem(30000, 0, 2), pictureItem(4000, 0, 3)};
    });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 3u);
    ASSERT_EQ(rig.transfers->fetchItem(*list.records[0]), status::Ok);
    camsim::FaultOptions faults;
    faults.pullCableAfter = 10000; // inside the second picture
    rig.camera.setFaults(faults);
    EXPECT_NE(rig.transfers->fetchItem(*list.records[1]), status::Ok);
    EXPECT_NE(rig.transfers->fetchItem(*list.records[2]), status::Ok);
    EXPECT_EQ(list.records[0]->pictureData().size(), 4000u);
    EXPECT_TRUE(list.records[1]->picture.empty());
}

} // namespace
} // namespace kv::testing
