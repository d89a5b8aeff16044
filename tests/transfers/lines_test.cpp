#include "camera/memory_listing.h"
#include "camera/transfer_checksum.h"
#include "camera/transfer_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::camera {
namespace {

Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes line128(std::string text) {
    text.resize(128, ' ');
    return bytesOf(text);
}

TEST(ItemLine, ParsesAllFieldsAndTheEndMarker) {
    auto item = parseItemLine(line128("0,3,20000,0,4,1,3,77\r\n"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->status, 0);
    EXPECT_EQ(item->number, 3);
    EXPECT_EQ(item->size, 20000);
    EXPECT_EQ(item->kind, 0);
    EXPECT_EQ(item->exposure, 4);
    EXPECT_EQ(item->flash, 1);
    EXPECT_EQ(item->quality, 3);
    EXPECT_EQ(item->attribute, 77);

    item = parseItemLine(line128("-1\r\n"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->status, -1);
}

TEST(ItemLine, RejectsTruncatedAndGarbageLines) {
    for (const char* text : {"", "0,3,20000\r\n", "x,1,2,3,4,5,6,7", "0,,1,2,3,4,5,6", "0;3;2"})
        EXPECT_FALSE(parseItemLine(line128(text))) << text;
    // 16-bit fields keep their low bits; a huge size keeps its low 32 bits.
    auto item = parseItemLine(line128("0,65537,4294967296,1,0,0,0,0\r\n"));
    ASSERT_TRUE(item);
    EXPECT_EQ(item->number, 1);
    EXPECT_EQ(item->size, 0);
    EXPECT_EQ(parseCountLine(bytesOf("   8192\n")), 8192);
    EXPECT_FALSE(parseCountLine(bytesOf("OK\r\n    ")));
}

Bytes entry(std::string name, std::string ext, std::string size) {
    std::string e = name;
    e.resize(8, ' ');
    e += '.';
    e += ext;
    e += ' ';
    size.insert(0, 7 - std::min<std::size_t>(7, size.size()), ' ');
    e += size;
    e.resize(42, ' ');
    return bytesOf(e);
}

TEST(Listing, ParsesEntriesAndFormsCardNames) {
    Bytes listing = entry("PICT0001", "JPG", "123456");
    const Bytes second = entry("SND", "WAV", "20558");
    listing.insert(listing.end(), second.begin(), second.end());
    auto entries = parseListing(listing, 2);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].cardFileName(), "*<A:PICT0001.JPG>");
    EXPECT_EQ((*entries)[0].size, 123456u);
    EXPECT_EQ((*entries)[1].name, "SND");
    EXPECT_EQ((*entries)[1].rawName, "SND     ");
    EXPECT_EQ((*entries)[1].size, 20558u);
}

TEST(Listing, RefusesGarbageCountsAndSizes) {
    struct Case {
        Bytes bytes;
        int count;
    } cases[] = {
        {entry("PICT0001", "JPG", "12"), 2},    // fewer bytes than the count says
        {entry("PICT0001", "JPG", "12"), 1000}, // count beyond "%3d"
        {entry("PICT0001", "JPG", "12"), -1},   //
        {entry("", "JPG", "12"), 1},            // no name
        {entry("PI,T", "JPG", "12"), 1},        // a name the command syntax breaks on
        {entry("PICT", "J\x01G", "12"), 1},     // control character in the extension
        {entry("PICT", "JPG", "12x4"), 1},      // not digits
        {entry("PICT", "JPG", "9999999"), 1},   // above the card file limit
        {entry("PICT", "JPG", ""), 1},          // no size
        {Bytes(999 * 42, 0xA5), 999},           // 999 entries of garbage
    };
    for (const Case& c : cases)
        EXPECT_FALSE(parseListing(c.bytes, c.count)) << c.count;
    EXPECT_TRUE(parseListing({}, 0));
}

TEST(Listing, FileCountLine) {
    EXPECT_EQ(parseFileCount(bytesOf("  7")), 7);
    EXPECT_EQ(parseFileCount(bytesOf("999")), 999);
    EXPECT_EQ(parseFileCount(bytesOf("12\n")), 12);
    EXPECT_FALSE(parseFileCount(bytesOf("OK\r")));
    EXPECT_FALSE(parseFileCount(bytesOf("   ")));
    EXPECT_FALSE(parseFileCount(bytesOf("1")));
}

TEST(Checksum, WordSumAndByteSums) {
    const Bytes data{0x01, 0x02, 0xFF, 0xFF, 0x10};
    EXPECT_EQ(wordSum16(data), static_cast<std::uint16_t>(0x0201 + 0xFFFF));
    EXPECT_EQ(addWordSum16(wordSum16(ByteSpan(data).first(2)), ByteSpan(data).subspan(2)),
              wordSum16(data));
    Bytes block(20000);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i * 7);
    const std::uint16_t word = checksumWordFor(block);
    EXPECT_EQ(static_cast<std::uint16_t>(wordSum16(block) + word), 0xFFFF);
    EXPECT_EQ(byteSum32(Bytes(1024, 0xFF)), 1024u * 255u);
    EXPECT_EQ(byteSum16(Bytes(1024, 0xFF)), static_cast<std::uint16_t>(1024u * 255u));
}

} // namespace
} // namespace kv::camera
