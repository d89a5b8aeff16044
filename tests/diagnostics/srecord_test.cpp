#include "diagnostics/srecord.h"

#include <gtest/gtest.h>

namespace kv::diagnostics {
namespace {

TEST(SRecords, ChecksAndLineNumbers) {
    struct Row {
        std::string text;
        std::string error; // empty: good
        std::size_t records = 0;
    };
    const std::string header = "S00600004844521B";
    const std::string data = "S1130000285F245F2212226A000424290008237C2A";
    const std::string end = "S9030000FC";
    const Row rows[] = {
        {header + "\r\n" + data + "\r\n" + end + "\r\n", "", 3},
        {header + "\n" + data + "\n\n" + end, "", 3},
        {header + "\r" + data + "\r" + end + "\r", "", 3},
        {header + "\n" + "S1130000285F245F2212226A000424290008237C2B\n", "Line 2: bad checksum"},
        {header + "\n" + "S1130000285F245F2212226A000424290008237C\n",
         "Line 2: byte count does not match the record"},
        {header + "\n\n" + "S1130000285F245F2212226A00042429000823XC2A\n",
         "Line 3: not a hex digit"},
        {"S4030000FC\n", "Line 1: unknown record type"},
        {"X1130000\n", "Line 1: not an S-record"},
        {"S103000\n", "Line 1: odd number of hex digits"},
        {"S1020000\n", "Line 1: record too short for its address"},
        {"S1" + std::string(80, '0') + "\n", "Line 1: longer than 80 characters"},
        {std::string("S0\x01\x02\n", 5), "not a text file"},
        {"\n\n", "no S-records in the file"},
    };
    for (const Row& row : rows) {
        const SRecordFile file = parseSRecords(row.text);
        EXPECT_EQ(file.error, row.error) << row.text;
        EXPECT_EQ(file.records.size(), row.records) << row.text;
    }
}

TEST(SRecords, FieldsOfARecord) {
    const SRecordFile file =
        parseSRecords("S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\n");
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(headerText(file), "HDR");
    const SRecord& r = file.records[1];
    EXPECT_EQ(r.line, 2);
    EXPECT_EQ(r.type, '1');
    EXPECT_EQ(r.address, 0u);
    EXPECT_EQ(r.data.size(), 16u);
    EXPECT_EQ(r.data[0], 0x28);
    EXPECT_EQ(r.text, "S1130000285F245F2212226A000424290008237C2A");
}

} // namespace
} // namespace kv::diagnostics
