#include "camera/memory_listing.h"
#include "camera/transfer_lines.h"

#include <gtest/gtest.h>

#include <string>

namespace kv::camera {
namespace {

Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

TEST(CountLine, ReadsTheLeadingNumber) {
    EXPECT_EQ(parseCountLine(bytesOf("   8192\n")), 8192);
    EXPECT_EQ(parseCountLine(bytesOf("-12     ")), -12);
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

} // namespace
} // namespace kv::camera
