#include "base/text.h"

#include <gtest/gtest.h>

#include <climits>

TEST(Text, LeadingDecimalStopsAtTheFirstNonDigit) {
    struct Row {
        const char* text;
        long value;
    } rows[] = {{"", 0},       {"abc", 0},      {"12abc", 12},     {"  -7", -7},  {"+3x", 3},
                {"- 3", 0},    {"0x10", 0},     {"007", 7},        {"1 2", 1},
                {"99999999999999999999999", LONG_MAX}, {"-99999999999999999999999", LONG_MIN}};
    for (const Row& row : rows)
        EXPECT_EQ(kv::parseLeadingDecimal(row.text), row.value) << '"' << row.text << '"';
}

TEST(Text, CaseAndBlanks) {
    EXPECT_TRUE(kv::equalsIgnoreCase("Baud_Rate", "BAUD_RATE"));
    EXPECT_FALSE(kv::equalsIgnoreCase("BAUD", "BAUD_RATE"));
    EXPECT_EQ(kv::trim(" \t x y \r\n"), "x y");
    EXPECT_EQ(kv::toUpper("com1"), "COM1");
}
