#include "library/retrieved_index.h"
#include "library/transfer_rate.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace kv::library {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& p, std::string_view text) {
    std::ofstream(p, std::ios::binary) << text;
}

camera::TransferItem picture(std::int16_t number, std::uint32_t size, std::string card = {}) {
    camera::TransferItem item;
    item.pictureNumber = number;
    item.pictureSize = size;
    item.pictureFile = std::move(card);
    return item;
}

StoredItem storedAs(const fs::path& p) {
    StoredItem s;
    s.result = status::Ok;
    s.picture = p;
    return s;
}

TEST(RetrievedIndex, KnowsStoredPicturesWhileTheirFilesAreIntact) {
    kv::testing::ScratchDir dir;
    writeFile(dir.path() / "Image1.jpg", "first");
    writeFile(dir.path() / "Image2.jpg", "second");
    RetrievedIndex index = RetrievedIndex::load(dir.path());
    EXPECT_TRUE(index.entries().empty());
    ASSERT_TRUE(index.add(77, picture(1, 900), storedAs(dir.path() / "Image1.jpg")));
    ASSERT_TRUE(
        index.add(77, picture(0, 800, "*<A:PICT0002.JPG>"), storedAs(dir.path() / "Image2.jpg")));
    EXPECT_FALSE(index.add(77, picture(3, 10), storedAs(dir.path() / "missing.jpg")));
    ASSERT_TRUE(index.save());

    const RetrievedIndex again = RetrievedIndex::load(dir.path());
    EXPECT_EQ(again.entries(), index.entries());
    struct Case {
        std::uint32_t camera;
        camera::TransferItem item;
        bool known;
    };
    const Case cases[] = {
        {77, picture(1, 900), true},
        {78, picture(1, 900), false}, // another camera
        {77, picture(1, 901), false}, // another size
        {77, picture(2, 900), false}, // another number
        {77, picture(0, 800, "*<A:PICT0002.JPG>"), true},
        {77, picture(0, 800, "*<A:PICT0003.JPG>"), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(again.contains(c.camera, c.item), c.known) << c.item.pictureNumber;

    // A changed or deleted file makes the picture missing again.
    writeFile(dir.path() / "Image1.jpg", "edited");
    fs::remove(dir.path() / "Image2.jpg");
    EXPECT_FALSE(again.contains(77, picture(1, 900)));
    EXPECT_FALSE(again.contains(77, picture(0, 800, "*<A:PICT0002.JPG>")));
}

TEST(RetrievedIndex, MalformedLinesAreSkipped) {
    const std::string good = "5\t#3\t100\t0\t42\tImage3.jpg\n";
    const std::string text = good + "5\t#3\t100\t0\t42\n"                     // a field short
                                    "5\t#3\t100\t0\t42\tImage3.jpg\textra\n"  // a field too many
                                    "x\t#3\t100\t0\t42\tImage3.jpg\n"         // not a number
                                    "5\t#3\t-1\t0\t42\tImage3.jpg\n"          // negative
                                    "5\t#3\t99999999999\t0\t42\tImage3.jpg\n" // beyond 32 bits
                                    "5\t#3\t100\t0\t42\t../etc/passwd\n"      // leaves the folder
                                    "5\t#3\t100\t0\t42\t\n"                   // no file
                                    "\n"
                                    "6\t#4\t1\t2\t3\tA.jpg\r\n";
    const auto entries = parseRetrievedIndex(text);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].file, "Image3.jpg");
    EXPECT_EQ(entries[1].soundSize, 2u);
    EXPECT_EQ(formatRetrievedIndex({entries[0]}), good);
}

TEST(TransferRate, RateAndTimeLeftFromTheBytesToCome) {
    using namespace std::chrono_literals;
    const auto t0 = TransferRate::Clock::time_point{};
    TransferRate rate(100 * 1024, t0);
    rate.update(0, t0 + 2s);
    EXPECT_EQ(rate.text(), "");
    rate.update(10 * 1024, t0 + 500ms); // under a second: not yet
    EXPECT_FALSE(rate.bytesPerSecond());
    rate.update(20 * 1024, t0 + 2s);
    EXPECT_EQ(rate.secondsLeft(), 8);
    EXPECT_EQ(rate.text(), "10.0 KB/s, 0:08 left");
    rate.update(100 * 1024, t0 + 10s);
    EXPECT_EQ(rate.secondsLeft(), 0);

    EXPECT_EQ(progressRange(0), 1);
    EXPECT_EQ(progressRange(8191), 1);
    EXPECT_EQ(progressRange(3 * 8192 + 5), 3);
    EXPECT_EQ(percentText(0, 0), " 0 %");
    EXPECT_EQ(percentText(50, 200), " 25 %");
    EXPECT_EQ(percentText(300, 200), " 100 %");
}

} // namespace
} // namespace kv::library
