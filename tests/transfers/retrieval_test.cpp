#include "camera/command_table.h"
#include "transfer_rig.h"

namespace kv::testing {
namespace {

using camera::TransferItem;
using camsim::CardFile;
using camsim::StoredItem;
using camsim::TransferStore;

TEST(PictureList, NotesJoinThePictureAfterThemAndSizesAreBounded) {
    Rig rig;
    rig.store([](TransferStore& s) {
        s.items.clear();
        s.items.push_back(noteItem(100, 1));       // 1: joins picture 2
        s.items.push_back(pictureItem(300, 0, 2)); // 2
        s.items.push_back(noteItem(50, 3));        // 3: replaced by note 4
        s.items.push_back(noteItem(60, 4));        // 4: joins picture 5
        s.items.push_back(pictureItem(400, 1, 5)); // 5
        StoredItem huge = pictureItem(10, 0, 6);   // 6: claims 2 GiB
        huge.statedSize = 0x7FFFFFFF;
        s.items.push_back(huge);
        StoredItem empty = pictureItem(10, 0, 7); // 7: size 0 is skipped
        empty.statedSize = 0;
        s.items.push_back(empty);
        StoredItem bigFrame = pictureItem(10, 3, 8); // 8: uncompressed beyond a frame
        bigFrame.statedSize = (1 << 20) + 2;
        s.items.push_back(bigFrame);
        s.items.push_back(pictureItem(30, 3, 9)); // 9
        s.items.push_back(noteItem(20, 10));      // 10: a note with no picture
    });
    rig.link->editStatus([](camera::CameraStatus& s) { s.flash = 1; });
    const camera::PictureList list = rig.transfers->listPictures();
    ASSERT_EQ(list.result, status::Ok);
    ASSERT_EQ(list.records.size(), 4u);
    EXPECT_EQ(list.records[0]->pictureNumber, 2);
    EXPECT_EQ(list.records[0]->soundNumber, 1);
    EXPECT_EQ(list.records[0]->soundSize, 100u);
    EXPECT_EQ(list.records[1]->pictureNumber, 5);
    EXPECT_EQ(list.records[1]->soundNumber, 4);
    EXPECT_EQ(list.records[1]->quality, 1);
    EXPECT_EQ(list.records[2]->pictureNumber, 9);
    EXPECT_EQ(list.records[2]->soundSize, 0u);
    EXPECT_TRUE(list.records[3]->isSoundOnly());
    EXPECT_EQ(list.totalBytes, 100u + 300 + 60 + 400 + 30 + 20);
    EXPECT_EQ(list.refused.size(), 2u); // the 2 GiB picture and the oversized frame
    // The flash was switched off for the retrieval and comes back with restoreFlash.
    EXPECT_EQ(rig.commands("F0;0").size(), 1u);
    rig.transfers->restoreFlash(list);
    EXPECT_EQ(rig.commands("F0;1").size(), 1u);
}

TEST(Retrieval, BlocksOfAtMost8KiBThenTheWordSum) {
    Rig rig;
    rig.store([](TransferStore& s) { s.items = {pictureItem(20000, 0, 1)}; });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 1u);
    rig.camera.clearLogs();
    TransferItem& item = *list.records[0];
    ASSERT_EQ(rig.transfers->fetchItem(item), status::Ok);
    EXPECT_EQ(rig.commands("B1"), (std::vector<std::string>{"B1;8192", "B1;8192", "B1;3616"}));
    const Bytes expected = rig.store([](TransferStore& s) { return s.items[0].data; });
    EXPECT_EQ(item.picture, expected);
    EXPECT_EQ(rig.events.count(camera::notice::ProgressStep), 2); // 8192 and 16384 passed
}

TEST(Retrieval, AWordSumOf0xFFFEFailsAlthoughEveryBlockArrived) {
    Rig rig;
    rig.store([](TransferStore& s) {
        StoredItem item = pictureItem(20000, 0, 1);
        item.data[100] = static_cast<std::uint8_t>(item.data[100] - 1); // sum becomes 0xFFFE
        s.items = {item};
    });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 1u);
    rig.camera.clearLogs();
    TransferItem& item = *list.records[0];
    EXPECT_EQ(rig.transfers->fetchItem(item), status::Failed);
    EXPECT_TRUE(item.picture.empty()); // nothing unchecked is handed on
    // Two reads that agree on every byte settle it: the camera's own data fails its sum, and
    // reading it again cannot mend that. The first read holds every byte, so the re-read goes
    // in whole blocks too.
    EXPECT_EQ(rig.commands("B0").size(), 2u);
    EXPECT_EQ(rig.commands("B1").size(), 6u);
    const auto notices = rig.events.notices();
    ASSERT_GE(rig.events.count(camera::notice::TransferError), 1);
    for (const Notice& n : notices) {
        if (n.code == camera::notice::TransferError) {
            EXPECT_EQ(n.value, 20000);
        }
    }
}

// The count line after a block request must announce the block asked for: a camera that
// announces anything else is not trusted with the bytes behind it, however they look.
TEST(Retrieval, ABlockIsTrustedOnlyWhenItsCountLineAnnouncesIt) {
    struct Case {
        const char* name;
        std::optional<long> shift;
        std::optional<std::string> text;
        Status want;
    } cases[] = {
        {"the block's length", std::nullopt, std::nullopt, status::Ok},
        {"one byte fewer", -1, std::nullopt, status::Failed},
        {"no number", std::nullopt, std::string("  ab  \r\n"), status::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.store([](TransferStore& s) { s.items = {pictureItem(1000, 0, 3)}; });
        auto list = rig.transfers->listPictures();
        ASSERT_EQ(list.records.size(), 1u);
        rig.store([&](TransferStore& s) {
            s.blockCountShift = c.shift;
            s.blockCountText = c.text;
        });
        TransferItem& item = *list.records[0];
        EXPECT_EQ(rig.transfers->fetchItem(item), c.want);
        if (c.want == status::Ok)
            EXPECT_EQ(item.picture, rig.store([](TransferStore& s) { return s.items[0].data; }));
        else
            EXPECT_TRUE(item.picture.empty());
    }
}

TEST(Retrieval, UncompressedReservesAWholeFrameAndSoundFollows) {
    Rig rig;
    rig.store([](TransferStore& s) { s.items = {noteItem(5000, 1), pictureItem(30000, 3, 2)}; });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 1u);
    TransferItem& item = *list.records[0];
    ASSERT_EQ(rig.transfers->fetchItem(item), status::Ok);
    EXPECT_EQ(item.picture.size(), 1u << 20);
    const auto stored = rig.store([](TransferStore& s) { return s.items; });
    EXPECT_TRUE(
        std::equal(stored[1].data.begin(), stored[1].data.end(), item.pictureData().begin()));
    EXPECT_EQ(item.pictureData().size(), 30000u);
    EXPECT_EQ(item.sound, stored[0].data);
    // The note was selected as kind 1.
    EXPECT_EQ(rig.commands("B0;1,0,1,0").size(), 1u);
}

TEST(Retrieval, WorkerPostsNoticesAndAStopEndsBetweenBlocks) {
    Rig rig;
    rig.store([](TransferStore& s) {
        s.items = {pictureItem(3000, 0, 1), pictureItem(40000, 1, 2)};
    });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.records.size(), 2u);
    camera::CameraTransfers::installRetrieveAction(*rig.link, fastTransferTiming());
    rig.link->startWorker();
    rig.link->postToWorker({camera::worker::Retrieve, list.records[0]});
    ASSERT_TRUE(rig.events.waitForEnds(1, 10s));
    auto notices = rig.events.notices();
    EXPECT_EQ(notices.back().code, camera::notice::ItemReceived);
    EXPECT_EQ(notices.back().item, list.records[0]);

    // A stop request queued behind a long item ends the worker between two blocks.
    rig.camera.setFaults([] {
        camsim::FaultOptions f;
        f.paceRate = 200000; // 20 KB/s: the item takes two seconds
        return f;
    }());
    rig.link->postToWorker({camera::worker::Retrieve, list.records[1]});
    ASSERT_TRUE(rig.camera.waitForCommands(
        [](const std::vector<std::string>& log) {
            return std::count_if(log.begin(), log.end(),
                                 [](const std::string& l) { return l.rfind("B1;", 0) == 0; }) >= 2;
        },
        10s));
    rig.link->postToWorker({camera::worker::End4, nullptr});
    ASSERT_TRUE(rig.link->worker()->waitFinished(10s));
    EXPECT_EQ(rig.link->worker()->exitCode(), camera::worker::ExitEnd4);
    EXPECT_LT(rig.commands("B1;").size(), 1u + 5u); // it did not read all five blocks
    EXPECT_EQ(rig.events.count(camera::notice::ItemReceived), 1);
    EXPECT_EQ(rig.events.count(camera::notice::ItemFailed), 0);
}

// ---- memory-card cameras ----

CardFile cardFile(std::string name, std::string ext, std::size_t size, std::uint32_t seed) {
    return {std::move(name), std::move(ext), patternBytes(size, seed), std::nullopt};
}

TEST(CardRetrieval, ListingPairsNotesByNameAndFormsCardNames) {
    Rig rig(benchOptions(camsim::CameraKind::MemoryCard, "2.03"));
    rig.store([](TransferStore& s) {
        s.cardFiles = {cardFile("PICT0001", "JPG", 9000, 1), cardFile("P2", "JPG", 100, 2),
                       cardFile("P2", "WAV", 40, 3), cardFile("PICT0009", "WAV", 44, 4)};
    });
    auto list = rig.transfers->listPictures();
    ASSERT_EQ(list.result, status::Ok);
    ASSERT_EQ(list.records.size(), 2u);
    EXPECT_EQ(list.records[0]->pictureFile, "*<A:PICT0001.JPG>");
    EXPECT_EQ(list.records[0]->soundSize, 0u);
    EXPECT_EQ(list.records[1]->pictureFile, "*<A:P2.JPG>");
    EXPECT_EQ(list.records[1]->soundFile, "*<A:P2.WAV>");
    EXPECT_EQ(list.records[1]->soundSize, 40u);
    EXPECT_EQ(list.totalBytes, 9140u);
    for (auto& record : list.records) {
        ASSERT_EQ(rig.transfers->fetchItem(*record), status::Ok);
    }
    const auto files = rig.store([](TransferStore& s) { return s.cardFiles; });
    EXPECT_EQ(list.records[0]->picture, files[0].data);
    EXPECT_EQ(list.records[1]->picture, files[1].data);
    EXPECT_EQ(list.records[1]->sound, files[2].data);
}

// Firmware above 2.022 sends a checksum word after the file; older firmware sends none, so
// the file is read until two copies agree.
TEST(CardRetrieval, TrailingChecksumWordDependsOnFirmware) {
    struct Case {
        const char* firmware;
        std::size_t reads;
    } cases[] = {{"2.02", 2}, {"2.03", 1}, {"3.01", 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firmware);
        Rig rig(benchOptions(camsim::CameraKind::MemoryCard, c.firmware));
        rig.store([](TransferStore& s) { s.cardFiles = {cardFile("PICT0001", "JPG", 20001, 5)}; });
        auto list = rig.transfers->listPictures();
        ASSERT_EQ(list.records.size(), 1u);
        rig.camera.clearLogs();
        ASSERT_EQ(rig.transfers->fetchItem(*list.records[0]), status::Ok);
        EXPECT_EQ(rig.commands("B1;20001").size(), c.reads);
        EXPECT_EQ(list.records[0]->picture,
                  rig.store([](TransferStore& s) { return s.cardFiles[0].data; }));
    }
}

TEST(CardRetrieval, GarbageListingsAreRefusedNotTrusted) {
    struct Case {
        const char* name;
        int count;
        Bytes listing;
    } cases[] = {
        {"999 entries of garbage", 999, Bytes(999 * 42, 0xA5)},
        {"fewer bytes than announced", 5, Bytes(42, ' ')},
        {"size beyond any card file", 1,
         [] {
             std::string e = "PICT0001.JPG 9999999";
             e.resize(42, ' ');
             return Bytes(e.begin(), e.end());
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(benchOptions(camsim::CameraKind::MemoryCard, "3.01"));
        rig.store([&](TransferStore& s) {
            s.countOverride = c.count;
            s.listingOverride = c.listing;
        });
        auto list = rig.transfers->listPictures();
        EXPECT_NE(list.result, status::Ok);
        EXPECT_TRUE(list.records.empty());
        EXPECT_FALSE(list.refused.empty());
    }
}

} // namespace
} // namespace kv::testing
