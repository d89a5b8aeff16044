#include "imaging/bitmap_file.h"
#include "imaging/file_test_support.h"
#include "support/scratch_dir.h"
#include "twain_source/handoff_bitmap.h"
#include "twain_source/velkit/containers.h"
#include "twain_source/velkit/exceptions.h"

#include <gtest/gtest.h>

namespace kvsource {
namespace {
namespace fs = std::filesystem;
using kv::Bytes;

// Every loader failure gives its one message and nothing else.
TEST(HandoffBitmap, LoaderMessages) {
    const Bytes good = kv::imaging::MakeBitmap24File(kvtest::testPicture(5, 3), 5, 3);
    auto with = [&](std::function<void(Bytes&)> change) {
        Bytes b = good;
        change(b);
        return b;
    };
    struct Case {
        const char* name;
        Bytes file;
        std::string_view message;
    } cases[] = {
        {"empty", {}, kErrorFileHeader},
        {"BA", with([](Bytes& b) { b[1] = 'A'; }), kNotABitmap},
        {"no info header", Bytes(good.begin(), good.begin() + 30), kErrorInfoHeader},
        {"size beyond the file", with([](Bytes& b) { kv::storeLe32(b, 2, 5000); }), kErrorReading},
        {"size beyond any memory", with([](Bytes& b) { kv::storeLe32(b, 2, 0xFFFFFFF0u); }),
         kNotEnoughMemory},
        {"size below the headers", with([](Bytes& b) { kv::storeLe32(b, 2, 20); }), kErrorReading},
        {"rows beyond the block", with([](Bytes& b) { kv::storeLe32(b, 8 + 14, 300); }),
         kErrorReading},
        {"8 bits", with([](Bytes& b) { kv::storeLe16(b, 28, 8); }), kNotSupported},
        {"compressed", with([](Bytes& b) { kv::storeLe32(b, 30, 1); }), kNotSupported},
        {"top-down", with([](Bytes& b) { kv::storeLe32(b, 22, std::uint32_t(-3)); }),
         kNotSupported},
        {"huge colour table", with([](Bytes& b) { kv::storeLe32(b, 46, 100000); }), kNotSupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> messages;
        const auto loaded =
            ParseHandoffBitmap(c.file, [&](std::string_view m) { messages.emplace_back(m); });
        EXPECT_FALSE(loaded);
        EXPECT_EQ(messages, std::vector<std::string>{std::string(c.message)});
    }
}

// Rows come out top-down in red, green, blue order, the middle row of an odd height included,
// and the padding stays where it was.
TEST(HandoffBitmap, FlipAndSwapForEveryHeight) {
    for (int height : {1, 2, 3, 4, 7}) {
        SCOPED_TRACE(height);
        const int width = 5;
        const Bytes rgb = kvtest::testPicture(width, height, 3);
        const auto loaded =
            ParseHandoffBitmap(kv::imaging::MakeBitmap24File(rgb, width, height), nullptr);
        ASSERT_TRUE(loaded);
        EXPECT_EQ(loaded->stride, 16u);
        EXPECT_EQ(loaded->rowsOffset, 40u);
        for (int y = 0; y < height; ++y) {
            EXPECT_TRUE(std::equal(rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3,
                                   loaded->row(y)));
            EXPECT_EQ(loaded->row(y)[15], 0);
        }
    }
}

TEST(HandoffBitmap, OpensNoSymbolicLinkAndNoMissingFile) {
    kv::testing::ScratchDir dir;
    kvtest::writeFile(dir / "real.bmp",
                      kv::imaging::MakeBitmap24File(kvtest::testPicture(2, 2), 2, 2));
    fs::create_symlink(dir / "real.bmp", dir / "KVImage0.bmp");
    for (const fs::path& p : {dir / "KVImage0.bmp", dir / "missing.bmp", dir.path()}) {
        std::vector<std::string> messages;
        EXPECT_FALSE(LoadHandoffBitmap(p, [&](std::string_view m) { messages.emplace_back(m); }));
        EXPECT_EQ(messages, std::vector<std::string>{std::string(kErrorOpening)}) << p;
    }
    EXPECT_TRUE(LoadHandoffBitmap(dir / "real.bmp", nullptr));
}

TEST(HandoffBitmap, FindsTheLowestNumberedOwnFile) {
    kv::testing::ScratchDir dir;
    for (const char* name : {"KVImage10.bmp", "kvimage2.BMP", "KVImageX.bmp", "KVImage.bmp",
                             "Image1.bmp", "KVImage1.bmp.tmp"})
        dir.touch(name);
    fs::create_symlink(dir / "KVImage10.bmp", dir / "KVImage0.bmp");
    fs::create_directory(dir / "KVImage1.bmp");
    std::set<FileKey> skip;
    std::vector<std::string> order;
    while (auto found = FindHandoffBitmap(dir.path(), skip)) {
        order.push_back(found->path.filename().string());
        skip.insert(found->key);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"kvimage2.BMP", "KVImage10.bmp", "KVImage.bmp",
                                               "KVImageX.bmp"}));
    EXPECT_FALSE(FindHandoffBitmap(dir / "missing", {}));
}

TEST(VelkitContainers, RecordsRoundTripAndMisuseThrows) {
    using namespace twain;
    const Velkit::CTWAINEnumeration e(TWTY_INT16, {TW_UINT32(-1), 5, 7}, 1, 0);
    const Velkit::CTWAINEnumeration back = Velkit::CTWAINEnumeration::parse(e.record());
    EXPECT_EQ(back.items(), e.items());
    EXPECT_EQ(back.currentIndex(), 1u);
    EXPECT_EQ(e.record().size(), 14u + 3 * 2);
    const Velkit::CTWAINOneValue one(TWTY_UINT16, 0xBEEF);
    EXPECT_EQ(one.record().size(), sizeof(TW_ONEVALUE));
    EXPECT_EQ(Velkit::CTWAINOneValue::parse(one.record()).value(), 0xBEEFu);
    const Velkit::CTWAINArray a(TWTY_UINT32, {1, 2});
    EXPECT_EQ(Velkit::CTWAINArray::parse(a.record()).items(), a.items());

    struct Case {
        const char* text;
        std::function<void()> misuse;
    } cases[] = {
        {"Velkit One Value Error.", [] { Velkit::CTWAINOneValue::parse(Velkit::Record(3)); }},
        {"Velkit Array Error.", [&] { a.at(2); }},
        {"Velkit Array Error.",
         [] {
             Velkit::Record r = Velkit::CTWAINArray(TWTY_UINT16, {1}).record();
             r[2] = 50; // more items than the record holds
             Velkit::CTWAINArray::parse(r);
         }},
        {"Velkit Enumeration Error.",
         [] {
             Velkit::CTWAINEnumeration(TWTY_UINT16, {1, 2}, 2, 0);
         }},
        {"Velkit Enumeration Error.",
         [] {
             Velkit::CTWAINEnumeration x(TWTY_UINT16, {1, 2}, 0, 0);
             x.setCurrent(3);
         }},
        {"Velkit Container Error.", [] { Velkit::CTWAINOneValue(0x0009, 1); }},
    };
    for (const Case& c : cases) {
        try {
            c.misuse();
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const Velkit::CTWAINContainerException& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

} // namespace
} // namespace kvsource
