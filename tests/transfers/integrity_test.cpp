// Whatever the line does, a picture is stored exactly as the camera holds it or reported
// missing, and a list is whole or says it is not: card reads that lost bytes, item lines and
// card listings spoiled on the line, and the fault matrix of a noisy line for every camera kind.
#include "transfer_rig.h"

#include <map>

namespace kv::testing {
namespace {

using camsim::CameraKind;
using camsim::TransferStore;

camsim::FaultOptions noise(double corrupt, double drop, std::uint32_t seed) {
    camsim::FaultOptions f;
    f.seed = seed;
    f.corruptRate = corrupt;
    f.dropRate = drop;
    return f;
}

// What the camera holds, by the record's picture number or card file name.
struct Holdings {
    std::vector<camsim::StoredItem> items;
    std::vector<camsim::CardFile> files;

    const Bytes* card(const std::string& cardName) const {
        for (const auto& f : files)
            if (cardName == "*<A:" + f.name + "." + f.extension + ">")
                return &f.data;
        return nullptr;
    }
    const Bytes* picture(const camera::TransferItem& r) const {
        if (!r.pictureFile.empty())
            return card(r.pictureFile);
        return &items.at(static_cast<std::size_t>(r.pictureNumber - 1)).data;
    }
    const Bytes* sound(const camera::TransferItem& r) const {
        if (!r.soundFile.empty())
            return card(r.soundFile);
        return &items.at(static_cast<std::size_t>(r.soundNumber - 1)).data;
    }
};

Holdings holdings(Rig& rig) {
    return rig.store([](TransferStore& s) { return Holdings{s.items, s.cardFiles}; });
}

// Fetches every record; each must be identical to what the camera holds or failed and empty.
// Returns how many came.
int fetchAll(Rig& rig, camera::PictureList& list, const Holdings& held) {
    int received = 0;
    for (auto& record : list.records) {
        camera::TransferItem& item = *record;
        if (rig.transfers->fetchItem(item) != status::Ok) {
            EXPECT_TRUE(item.picture.empty() && item.sound.empty());
            continue;
        }
        ++received;
        if (item.pictureSize > 0) {
            const Bytes* want = held.picture(item);
            const ByteSpan got = item.pictureData();
            EXPECT_TRUE(want && std::equal(want->begin(), want->end(), got.begin(), got.end()))
                << "picture " << item.pictureNumber << " " << item.pictureFile;
        }
        if (item.soundSize > 0) {
            const Bytes* want = held.sound(item);
            EXPECT_TRUE(want && item.sound == *want)
                << "note " << item.soundNumber << " " << item.soundFile;
        }
    }
    return received;
}

// A card read is one stream: a lost byte shifts everything after it, every later chunk still
// fills up, and reads that each lost a byte agree on the shifted blocks. Files of three and
// more blocks on firmware without the check word, over many seeds.
TEST(Integrity, CardReadsThatLostBytesNeverStoreAShiftedFile) {
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        Rig rig(benchOptions(CameraKind::MemoryCard, "2.02"));
        rig.store([](TransferStore& s) {
            s.cardFiles = {cardFileOf("PICT0001", "JPG", 26039, 1),
                           cardFileOf("PICT0002", "JPG", 31121, 2),
                           cardFileOf("PICT0003", "JPG", 17000, 3)};
        });
        auto list = rig.transfers->listPictures();
        ASSERT_EQ(list.records.size(), 3u);
        rig.camera.setFaults(noise(0, 1.0 / 30000, seed));
        fetchAll(rig, list, holdings(rig));
    }
}

// The item line has no checksum; a line that never reads the same twice is no end of the list.
TEST(Integrity, AListThatCouldNotBeReadWholeSaysHowManyPicturesAreMissing) {
    struct Case {
        const char* name;
        int flaky; // item whose line never agrees (0 = none)
        std::size_t records;
        bool complete;
    } cases[] = {
        {"every line readable", 0, 3, true},
        {"a picture's line unreadable", 2, 2, false},
        {"the first line unreadable", 1, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.store([&](TransferStore& s) {
            s.items = {pictureItem(3000, 0, 1), pictureItem(4000, 1, 2), pictureItem(5000, 0, 3)};
            if (c.flaky > 0)
                s.items[static_cast<std::size_t>(c.flaky - 1)].flakyLine = true;
        });
        const auto list = rig.transfers->listPictures();
        EXPECT_EQ(list.records.size(), c.records);
        EXPECT_EQ(list.result == status::Ok, c.complete);
        if (!c.complete) {
            ASSERT_FALSE(list.refused.empty());
            EXPECT_EQ(list.refused.back(), "1 of the camera's 3 pictures were not listed");
        }
    }
}

// Card listings are read until two readings agree: a spoiled name or size never reaches the
// open and read commands, and no sound note goes missing silently.
TEST(Integrity, CardListingsOnANoisyLineAreRightOrRefused) {
    int whole = 0;
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        Rig rig(benchOptions(CameraKind::MemoryCard, "3.01"));
        rig.store([](TransferStore& s) {
            s.cardFiles = {
                cardFileOf("PICT0001", "JPG", 2000, 1), cardFileOf("PICT0002", "JPG", 3000, 2),
                cardFileOf("PICT0001", "WAV", 400, 4), cardFileOf("PICT0003", "JPG", 2500, 3),
                cardFileOf("PICT0003", "WAV", 300, 5)};
        });
        rig.camera.setFaults(noise(1.0 / 150, 0, seed));
        const auto list = rig.transfers->listPictures();
        if (list.result != status::Ok) {
            EXPECT_FALSE(list.refused.empty());
            continue;
        }
        ++whole;
        ASSERT_EQ(list.records.size(), 3u);
        const std::pair<const char*, const char*> want[] = {
            {"*<A:PICT0001.JPG>", "*<A:PICT0001.WAV>"},
            {"*<A:PICT0002.JPG>", ""},
            {"*<A:PICT0003.JPG>", "*<A:PICT0003.WAV>"}};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(list.records[i]->pictureFile, want[i].first);
            EXPECT_EQ(list.records[i]->soundFile, want[i].second);
        }
        EXPECT_EQ(list.records[0]->soundSize, 400u);
        EXPECT_EQ(list.totalBytes, 2000u + 400 + 3000 + 2500 + 300);
    }
    EXPECT_GE(whole, 4); // most listings come through two agreeing readings
}

// The slow rows (select, end read, open and close a card file, a card camera's status) take
// several time-outs before they answer; the long wait outlasts them.
TEST(Integrity, SlowRowsAreWaitedFor) {
    for (CameraKind kind : {CameraKind::Plain, CameraKind::MemoryCard}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Rig rig(benchOptions(kind, "3.01"));
        rig.store([](TransferStore& s) {
            s.items = {pictureItem(9000, 0, 1)};
            s.cardFiles = {cardFileOf("PICT0001", "JPG", 9000, 1)};
        });
        camsim::FaultOptions slow;
        slow.slowRows = 300ms; // nearly four of the link's 80 ms time-outs
        rig.camera.setFaults(slow);
        auto list = rig.transfers->listPictures();
        ASSERT_EQ(list.result, status::Ok);
        ASSERT_EQ(list.records.size(), 1u);
        EXPECT_EQ(fetchAll(rig, list, holdings(rig)), 1);
    }
}

// ---- the fault matrix ----

struct MatrixCase {
    const char* name;
    CameraKind kind;
    const char* firmware;
    double corrupt;
    double drop;
    bool allMustCome; // the bar: every picture through
};

class FaultMatrix : public ::testing::TestWithParam<MatrixCase> {};

// The content of a camera; the lines that cannot carry everything get less of it.
void fillContent(Rig& rig, CameraKind kind, bool full) {
    rig.store([&](TransferStore& s) {
        if (!full) {
            s.cardFiles = {cardFileOf("PICT0001", "JPG", 9000, 1),
                           cardFileOf("PICT0001", "WAV", 3000, 2)};
            s.items = {noteItem(3000, 1), pictureItem(9000, 0, 2)};
            return;
        }
        if (kind == CameraKind::MemoryCard) {
            s.cardFiles = {
                cardFileOf("PICT0001", "JPG", 20039, 1), cardFileOf("PICT0002", "JPG", 17121, 2),
                cardFileOf("PICT0002", "WAV", 6058, 3), cardFileOf("PICT0003", "JPG", 12634, 4)};
        } else {
            s.items = {noteItem(6500, 1), pictureItem(20076, 0, 2), pictureItem(12626, 1, 3),
                       pictureItem(17000, 0, 4)};
        }
    });
}

// Listing and retrieval both under the faults: never a wrong byte; on a line of 1 corrupted
// byte in 2000 and 1 lost in 5000, every picture of a camera with a checksum comes through.
TEST_P(FaultMatrix, EveryFileIsExactOrNamedMissing) {
    const MatrixCase& c = GetParam();
    // Short time-outs keep the many lost bytes of these lines cheap.
    camera::LinkTiming timing = fastLinkTiming();
    timing.serialTimeout = 40ms;
    for (std::uint32_t seed = 1; seed <= 1; ++seed) {
        SCOPED_TRACE(seed);
        Rig rig(benchOptions(c.kind, c.firmware), timing);
        fillContent(rig, c.kind, c.allMustCome);
        const Holdings held = holdings(rig);
        rig.camera.setFaults(noise(c.corrupt, c.drop, seed));
        auto list = rig.transfers->listPictures();
        if (list.result != status::Ok) {
            EXPECT_FALSE(list.refused.empty()); // named, never silent
            ASSERT_FALSE(c.allMustCome) << list.refused.back();
        }
        const int received = fetchAll(rig, list, held);
        if (c.allMustCome) {
            EXPECT_EQ(list.records.size(), 3u);
            EXPECT_EQ(received, 3);
            // Blocks that lost bytes still count: two reads beyond the first, not four.
            EXPECT_LE(rig.transfers->retransmitCount(), long(list.totalBytes) * 5 / 2)
                << "of " << list.totalBytes;
        }
        (void)received;
        rig.camera.setFaults({});
        EXPECT_EQ(rig.link->requestStatus(), status::Ok); // the line is usable afterwards
    }
}

constexpr double kNoisyCorrupt = 0.0005;
constexpr double kNoisyDrop = 0.0002;

INSTANTIATE_TEST_SUITE_P(
    Transfers, FaultMatrix,
    ::testing::Values(
        MatrixCase{"plain_noisy", CameraKind::Plain, "3.01", kNoisyCorrupt, kNoisyDrop, true},
        MatrixCase{"variant_b_noisy", CameraKind::VariantB, "2.10", kNoisyCorrupt, kNoisyDrop,
                   true},
        MatrixCase{"card_noisy", CameraKind::MemoryCard, "3.01", kNoisyCorrupt, kNoisyDrop, true},
        MatrixCase{"card_old_firmware_noisy", CameraKind::MemoryCard, "2.02", kNoisyCorrupt,
                   kNoisyDrop, false},
        MatrixCase{"plain_1_in_200", CameraKind::Plain, "3.01", 1.0 / 200, 0, false},
        MatrixCase{"variant_b_1_in_200", CameraKind::VariantB, "2.10", 1.0 / 200, 0, false},
        MatrixCase{"card_1_in_200", CameraKind::MemoryCard, "3.01", 1.0 / 200, 0, false},
        MatrixCase{"card_old_firmware_1_in_200", CameraKind::MemoryCard, "2.02", 1.0 / 200, 0,
                   false}),
    [](const ::testing::TestParamInfo<MatrixCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace kv::testing
