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
// The same with chosen bytes set first (so that spoiling them moves the sum by known amounts).
Bytes goodPartWith(std::size_t size,
                   std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
    Bytes content = patternBytes(size - 2, 9);
    for (const auto& [at, value] : set)
        content[at] = value;
    return camsim::appendCheckWord(content);
}

TEST(PartAssembly, WhatEachCombinationOfReadsVouchesFor) {
    const std::size_t size = 1000;
    const Bytes good = goodPart(size);
    // Spoiling 10 adds 0x41 to the sum and spoiling 12 takes it away again; spoiling 5, 300
    // or 600 adds 0x4100, 0x41 and 0x41.
    const Bytes cancelling = goodPartWith(size, {{10, 0x00}, {12, 0x41}});
    const Bytes adding = goodPartWith(size, {{5, 0x00}, {300, 0x00}, {600, 0x00}});
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
        {"a third read settles them",
         PartCheck::WordSum,
         {{spoiled(good, {5, 600}), all}, {spoiled(good, {300}), all}, {spoiled(good, {900}), all}},
         true},
        {"two reads with gaps that cover each other",
         PartCheck::WordSum,
         {{good, {{0, 512}}}, {good, {{0, 256}, {512, size}}}},
         true},
        {"single copies beside a disputed byte, once the line was seen spoiling bytes",
         PartCheck::WordSum,
         {{good, {{0, 512}}}, {spoiled(good, {10}), {{0, 256}, {512, size}}}},
         false},
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
        {"no check: three whole reads, each spoilt elsewhere (two against one)",
         PartCheck::None,
         {{spoiled(good, {5}), all}, {spoiled(good, {300}), all}, {spoiled(good, {900}), all}},
         false},
        {"no check: four whole reads, each spoilt elsewhere",
         PartCheck::None,
         {{spoiled(good, {5}), all},
          {spoiled(good, {300}), all},
          {spoiled(good, {900}), all},
          {spoiled(good, {600}), all}},
         true},
        {"no check: two whole reads that differ",
         PartCheck::None,
         {{spoiled(good, {5}), all}, {spoiled(good, {300}), all}},
         false},
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

    // Bytes 10, 12 and 14 of `missing` are 0x00, 0x40 and 0x00. Both reads spoil byte 10, so
    // no choice is right there; the wrong choices 0x20 at 10 and 0x20 at 12 cancel, and that
    // is the only combination that passes.
    const Bytes missing = goodPartWith(size, {{10, 0x00}, {12, 0x40}, {14, 0x00}});
    const auto with = [](Bytes data,
                         std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
        for (const auto& [at, value] : set)
            data[at] = value;
        return data;
    };
    // Disputed bytes: the sum accepts a combination only when no other passes too, and only
    // while the chance that some byte has no right choice at all stays small.
    struct Dispute {
        const char* name;
        Bytes good;
        Bytes first;
        Bytes second;
        double lineErrorRate;
        bool vouched;
    } disputes[] = {
        {"three disputed bytes, one combination passes", adding, spoiled(adding, {5, 600}),
         spoiled(adding, {300}), 0, true},
        {"two combinations pass: left to another read", cancelling, spoiled(cancelling, {10}),
         spoiled(cancelling, {12}), 0, false},
        {"one disputed byte on a line spoiling 1 byte in 200", good, spoiled(good, {5}), good,
         1.0 / 200, true},
        {"disputed bytes on a line spoiling 1 byte in 200: one may have no right choice", missing,
         with(missing, {{10, 0x10}}), with(missing, {{10, 0x20}, {12, 0x20}, {14, 0x01}}),
         1.0 / 200, false},
    };
    for (const Dispute& d : disputes) {
        SCOPED_TRACE(d.name);
        PartAssembly assembly(size, PartCheck::WordSum, d.lineErrorRate);
        assembly.addRead(d.first, all, std::nullopt);
        assembly.addRead(d.second, all, std::nullopt);
        const auto result = assembly.result();
        EXPECT_EQ(result.has_value(), d.vouched);
        if (result) {
            EXPECT_EQ(*result, d.good);
        }
    }
}

// What one read is trusted with depends on what the line was seen doing, and the odd last byte
// of a part is outside every word of the sum.
TEST(PartAssembly, ASingleCopyIsTrustedOnlyOnAQuietLine) {
    const Bytes good = goodPart(1000);
    const std::vector<PartAssembly::Range> all = {{0, 1000}};
    PartAssembly quiet(1000, PartCheck::WordSum);
    quiet.addRead(good, all, std::nullopt);
    EXPECT_TRUE(quiet.result().has_value());

    PartAssembly noisy(1000, PartCheck::WordSum, 1.0 / 2000);
    noisy.addRead(good, all, std::nullopt);
    EXPECT_FALSE(noisy.result().has_value());
    noisy.addRead(good, all, std::nullopt);
    EXPECT_TRUE(noisy.result().has_value());

    Bytes odd = goodPart(1000);
    odd.push_back(0x33);
    PartAssembly oddPart(odd.size(), PartCheck::WordSum);
    oddPart.addRead(odd, {{0, odd.size()}}, std::nullopt);
    EXPECT_FALSE(oddPart.result().has_value());
    oddPart.addRead(odd, {{0, odd.size()}}, std::nullopt);
    EXPECT_EQ(oddPart.result(), odd);
}

// A block that lost bytes is placed once another read holds its stretch: the bytes it brought
// then confirm the other read's and settle its spoiled byte.
TEST(PartAssembly, ABlockThatLostBytesIsPlacedAgainstAnotherRead) {
    const Bytes good = goodPart(3000);
    Bytes short1 = good;
    short1.erase(short1.begin() + 2100);
    short1.erase(short1.begin() + 700);
    PartAssembly assembly(good.size(), PartCheck::WordSum);
    Bytes nothing(good.size(), 0);
    assembly.addRead(nothing, {}, std::nullopt, {{0, good.size(), short1}});
    EXPECT_EQ(assembly.heldBytes(), 0u); // nothing to place it against yet
    assembly.addRead(spoiled(good, {50}), {{0, good.size()}}, std::nullopt);
    EXPECT_EQ(assembly.heldBytes(), good.size());
    EXPECT_EQ(assembly.confirmedBytes(), good.size() - 3); // 50 disputed, 700 and 2100 lost
    EXPECT_EQ(assembly.result(), good);
}

// Only bytes that came off the line in a whole block guide a placement: a block placed where
// nothing else is known stands alone there and does not draw a second block into agreeing.
TEST(PartAssembly, PlacedBytesDoNotGuideAnotherPlacement) {
    const Bytes good = goodPart(3000);
    const auto without = [&](std::size_t from, std::size_t to, std::size_t lost) {
        Bytes part(good.begin() + static_cast<std::ptrdiff_t>(from),
                   good.begin() + static_cast<std::ptrdiff_t>(to));
        part.erase(part.begin() + static_cast<std::ptrdiff_t>(lost - from));
        return part;
    };
    Bytes nothing(good.size(), 0);
    PartAssembly assembly(good.size(), PartCheck::WordSum);
    assembly.addRead(good, {{0, 2000}}, std::nullopt);
    assembly.addRead(nothing, {}, std::nullopt, {{0, 3000, without(0, 3000, 500)}});
    EXPECT_EQ(assembly.heldBytes(), 3000u); // 2000-2999 placed with nothing to compare
    assembly.addRead(nothing, {}, std::nullopt, {{1000, 2000, without(1000, 3000, 2500)}});
    EXPECT_EQ(assembly.confirmedBytes(), 2000u - 1); // 500 is held once; 2000-2999 stand alone
    EXPECT_EQ(assembly.result(), good);
}

TEST(PlaceReceived, OnlyWhatEveryBestPlacementAgreesOn) {
    Bytes truth = patternBytes(400, 3);
    for (std::size_t k = 200; k < 205; ++k)
        truth[k] = 0x77; // a run of equal bytes
    const auto known = [&](std::size_t from, std::size_t to) {
        std::vector<int> reference(truth.begin(), truth.end());
        std::fill(reference.begin() + static_cast<std::ptrdiff_t>(from),
                  reference.begin() + static_cast<std::ptrdiff_t>(to), -1);
        return reference;
    };
    const auto without = [&](std::initializer_list<std::size_t> lost, std::size_t spoil = 0) {
        Bytes received;
        for (std::size_t k = 0; k < truth.size(); ++k)
            if (std::find(lost.begin(), lost.end(), k) == lost.end())
                received.push_back(k == spoil && spoil ? truth[k] ^ 0x10 : truth[k]);
        return received;
    };
    struct Case {
        const char* name;
        std::vector<int> reference;
        Bytes received;
        // These must come out unplaced; at the borders of a stretch where nothing is known a
        // byte or two more may, and every byte placed must be right.
        std::vector<std::size_t> unplaced;
    } cases[] = {
        {"one byte lost", known(0, 0), without({100}), {100}},
        {"a byte lost in a run: the whole run is in doubt",
         known(0, 0),
         without({202}),
         {200, 201, 202, 203, 204}},
        {"two lost and one spoiled", known(0, 0), without({10, 300}, 150), {10, 300}},
        {"lost where nothing is known",
         known(50, 90),
         without({70}),
         {50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 69,
          70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89}},
        {"nothing known there, lost elsewhere", known(50, 90), without({300}), {300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<int> placed = camera::placeReceived(c.reference, c.received);
        ASSERT_EQ(placed.size(), truth.size());
        for (std::size_t k : c.unplaced)
            EXPECT_EQ(placed[k], -1) << k;
        std::size_t unplaced = 0;
        for (std::size_t k = 0; k < truth.size(); ++k) {
            unplaced += placed[k] < 0;
            if (placed[k] < 0)
                continue;
            // A spoiled byte is placed as received: the vote judges it.
            const int spoilt = c.name[0] == 't' && k == 150 ? 0x10 : 0;
            EXPECT_EQ(placed[k], truth[k] ^ spoilt) << k;
        }
        EXPECT_LE(unplaced, c.unplaced.size() + 3);
    }
    // Repetitive data lets a loss move freely; one wrong byte of the reference then draws the
    // loss onto it, and a byte where nothing is known would be placed out of step.
    struct Repetitive {
        const char* name;
        Bytes truth;
        std::vector<std::size_t> lost;
    } repetitive[] = {
        {"flat, a byte lost", Bytes(400, 0x00), {80}},
        {"a period of two, two bytes lost",
         [] {
             Bytes b(400);
             for (std::size_t k = 0; k < b.size(); ++k)
                 b[k] = k % 2 ? 0x80 : 0x7F;
             return b;
         }(),
         {80, 81}},
    };
    for (Repetitive& r : repetitive) {
        SCOPED_TRACE(r.name);
        r.truth[120] = 0xA4; // where nothing is known
        std::vector<int> reference;
        for (std::size_t k = 0; k < r.truth.size(); ++k)
            reference.push_back(k >= 100 && k < 140 ? -1 : r.truth[k]);
        reference[200] = 0x11; // wrong
        Bytes received = r.truth;
        for (auto k = r.lost.rbegin(); k != r.lost.rend(); ++k)
            received.erase(received.begin() + static_cast<std::ptrdiff_t>(*k));
        const std::vector<int> placed = camera::placeReceived(reference, received);
        ASSERT_EQ(placed.size(), r.truth.size());
        for (std::size_t k = 0; k < r.truth.size(); ++k) {
            if (placed[k] >= 0) {
                EXPECT_EQ(placed[k], r.truth[k]) << k;
            }
        }
    }

    // Bytes that match nothing, and more losses than the search takes, place nothing.
    const std::vector<int> reference(truth.begin(), truth.end());
    for (const Bytes& received : {patternBytes(390, 77), Bytes(300, 0x55)}) {
        const std::vector<int> placed = camera::placeReceived(reference, received);
        EXPECT_TRUE(std::all_of(placed.begin(), placed.end(), [](int v) { return v == -1; }));
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
