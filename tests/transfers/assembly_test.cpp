// PartAssembly: which reads vouch for which bytes.
#include "camera/command_table.h"
#include "camera/part_assembly.h"
#include "transfer_rig.h"

namespace kv::testing {
namespace {

using camera::PartAssembly;
using camera::PartCheck;

// A part whose word sum is 0xFFFF, and copies of it spoiled at chosen bytes.
Bytes goodPart(std::size_t size) {
    return camsim::appendCheckWord(patternBytes(size - 2, 9));
}
Bytes spoiled(Bytes data, std::initializer_list<std::size_t> at) {
    for (std::size_t i : at)
        data[i] ^= 0x41;
    return data;
}

TEST(PartAssembly, WhatEachCombinationOfReadsVouchesFor) {
    const std::size_t size = 1000;
    const Bytes good = goodPart(size);
    const std::vector<PartAssembly::Range> all = {{0, size}};
    struct Read {
        Bytes data;
        std::vector<PartAssembly::Range> received;
    };
    struct Case {
        const char* name;
        PartCheck check;
        std::vector<Read> reads;
        bool vouched;
    } cases[] = {
        {"one whole read that passes the sum", PartCheck::WordSum, {{good, all}}, true},
        {"one whole read that fails the sum",
         PartCheck::WordSum,
         {{spoiled(good, {5}), all}},
         false},
        {"two spoiled reads, each right where the other is wrong",
         PartCheck::WordSum,
         {{spoiled(good, {5}), all}, {spoiled(good, {300}), all}},
         true},
        {"too many open choices are not searched",
         PartCheck::WordSum,
         {{spoiled(good, {5, 600}), all}, {spoiled(good, {300}), all}},
         false},
        {"a third read settles them",
         PartCheck::WordSum,
         {{spoiled(good, {5, 600}), all}, {spoiled(good, {300}), all}, {spoiled(good, {900}), all}},
         true},
        {"two reads with gaps that cover each other",
         PartCheck::WordSum,
         {{good, {{0, 512}}}, {spoiled(good, {10}), {{0, 256}, {512, size}}}},
         true},
        {"a stretch no read holds",
         PartCheck::WordSum,
         {{good, {{0, 512}}}, {good, {{0, 600}}}},
         false},
        {"reads that agree on a spoiled byte fail the sum",
         PartCheck::WordSum,
         {{spoiled(good, {5}), all}, {spoiled(good, {5}), all}},
         false},
        {"no check: two identical whole reads", PartCheck::None, {{good, all}, {good, all}}, true},
        {"no check: one whole read is not enough", PartCheck::None, {{good, all}}, false},
        {"no check: pieces never add up to a whole read",
         PartCheck::None,
         {{good, {{0, 512}}}, {good, {{512, size}}}, {good, {{0, 512}}}, {good, {{512, size}}}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PartAssembly assembly(size, c.check);
        for (const Read& r : c.reads)
            assembly.addRead(r.data, r.received, std::nullopt);
        const auto result = assembly.result();
        EXPECT_EQ(result.has_value(), c.vouched);
        if (result) {
            EXPECT_EQ(*result, good);
        }
    }
}

TEST(PartAssembly, CardCheckWordAndTheBytesStillNeeded) {
    const Bytes data = patternBytes(3000, 4);
    const auto word = static_cast<std::uint16_t>(0xFFFF - camera::wordSum(data));
    PartAssembly assembly(data.size(), PartCheck::CheckWord);
    EXPECT_TRUE(assembly.needs(0, 16));
    EXPECT_EQ(assembly.neededEnd(), 3000u);
    // The first read lost its tail (and the word with it), the second a piece in the middle.
    assembly.addRead(spoiled(data, {2000}), {{0, 1024}}, std::nullopt);
    assembly.addRead(data, {{0, 512}, {1024, 3000}}, word);
    EXPECT_FALSE(assembly.needs(0, 512)); // both hold it alike
    EXPECT_TRUE(assembly.needs(512, 1024));
    EXPECT_EQ(assembly.neededEnd(), 3000u);
    const auto result = assembly.result(); // single copies, vouched for by the word
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, data);
    // A word that does not fit the bytes vouches for nothing.
    PartAssembly wrongWord(data.size(), PartCheck::CheckWord);
    wrongWord.addRead(data, {{0, 3000}}, static_cast<std::uint16_t>(word + 1));
    EXPECT_FALSE(wrongWord.result().has_value());
}

} // namespace
} // namespace kv::testing
