// PartAssembly: one picture or sound note put together from several reads of a noisy line.
// Pure logic over byte spans (no I/O): the block reader hands in each read with the ranges that
// arrived whole and in step; the assembly keeps every read and compares them byte by byte. A
// byte is confirmed when two reads hold it alike.
//
// A copy is handed out only when it can be vouched for:
//   - Sum checks (the item's word sum, or the card file's word sum with its check word): the
//     confirmed bytes, and for the others the values the reads hold. A byte held by one read
//     only is a single; one the reads disagree on offers each value as a choice. The candidate
//     copies (one per combination of choices) are tried against the check, and exactly one may
//     pass. The sum catches any one wrong byte, but two wrong bytes cancel in about one case of
//     600, so the check vouches only for as much doubt as keeps that chance small: singles on a
//     line that is seen corrupting bytes count against it, so do disputed bytes (every value
//     they offer may be wrong), and so does every further choice.
//   - No check (older card firmware): only complete reads count, and at every byte one value
//     must lead every other by two reads (two identical complete reads, or four of which one
//     spoilt the byte).
#pragma once

#include "base/bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kv::camera {

enum class PartCheck {
    WordSum,   // the word sum of the data is 0xFFFF
    CheckWord, // the word sum of the data plus the check word after it is 0xFFFF
    None,      // nothing vouches for the bytes but a second identical read
};

class PartAssembly {
public:
    // Candidate combinations searched at most.
    static constexpr std::size_t kMaxCombinations = 4096;
    // Reads kept (the oldest is dropped beyond this).
    static constexpr std::size_t kMaxReads = 12;

    using Range = std::pair<std::size_t, std::size_t>; // [from, to)
    // A block that lost bytes on the way: `received` holds what came of the `length` bytes the
    // camera sent from `from` (fewer, each later byte moved up by the losses before it). It may
    // reach beyond the part (a card file's check word follows its bytes in the same stream).
    struct LostBlock {
        std::size_t from = 0;
        std::size_t length = 0;
        Bytes received;
    };

    // `lineErrorRate`: the share of bytes the line was last seen to corrupt (0 when unknown),
    // taken until these reads show their own.
    PartAssembly(std::size_t size, PartCheck check, double lineErrorRate = 0);

    // One read: `data` holds size() bytes (only the `received` ranges count), `checkWord` the
    // check word when one came whole. A complete read has one range over everything.
    // Lost blocks are placed once other reads show where their bytes belong (placeReceived).
    void addRead(ByteSpan data, const std::vector<Range>& received,
                 std::optional<std::uint16_t> checkWord, std::vector<LostBlock> lost = {});

    // A copy that passes the rules above, or nothing yet.
    std::optional<Bytes> result() const;

    // True while some byte in [from, to) is not confirmed (a re-read needs it).
    bool needs(std::size_t from, std::size_t to) const;
    // The end of the last byte not confirmed (0 when every one is).
    std::size_t neededEnd() const;
    // From `from`: the first byte no read holds yet (size() when every one is held), and the
    // end of the run of such bytes that begins there. Re-reads ask for these in small blocks:
    // without another read's copy nothing shows where a block's lost bytes were.
    std::size_t nextUnheld(std::size_t from) const;
    std::size_t unheldRunEnd(std::size_t from) const;
    // True once two reads brought the same check word.
    bool wordConfirmed() const { return confirmedWord_.has_value(); }
    std::size_t confirmedBytes() const { return confirmedCount_; }
    // The bytes some read holds (in step or placed).
    std::size_t heldBytes() const { return heldCount_; }
    std::size_t size() const { return size_; }
    std::size_t reads() const { return reads_.size(); }
    // The share of bytes these reads show the line corrupting (the rate given when they show
    // none yet).
    double errorRate() const;

private:
    // How a read holds a byte: it arrived in a block that came whole, or was placed from a
    // block that lost bytes.
    static constexpr std::uint8_t kWhole = 1;
    static constexpr std::uint8_t kPlaced = 2;
    struct Read {
        Bytes data;
        std::vector<std::uint8_t> has; // per byte: kWhole, kPlaced or 0
        std::optional<std::uint16_t> checkWord;
        bool complete = false;
        std::vector<LostBlock> lost; // not placed yet
    };
    std::optional<Bytes> agreedCompleteReads() const;
    // A new copy of byte `b` in read `r`: compared with the others, confirmed when one agrees.
    void takeCopy(std::size_t r, std::size_t b);
    // Places the lost blocks whose stretch other reads mostly hold.
    void placeLostBlocks();

    std::size_t size_;
    PartCheck check_;
    double lineErrorRate_;
    std::vector<Read> reads_;
    Bytes confirmedData_;
    std::vector<std::uint8_t> confirmed_;
    std::vector<std::uint8_t> confirmedWhole_; // one of the agreeing copies arrived whole
    std::size_t confirmedCount_ = 0;
    std::vector<std::uint8_t> held_; // some read holds the byte
    std::size_t heldCount_ = 0;
    std::optional<std::uint16_t> confirmedWord_;
    // Comparisons of a new copy of a byte with what earlier reads hold, weighted by the copies
    // that could be wrong, and those that differed.
    std::size_t compared_ = 0;
    std::size_t differed_ = 0;
};

// Where the bytes of a block that lost some belong. `reference` holds per byte of the block what
// other reads say is there (-1: nothing known); `received` is what came, shorter by the bytes
// lost. Among the ways of dropping bytes from the block that explain `received` with the fewest
// disagreements with the reference, the placements they all agree on are returned (per byte of
// the block its value, -1 where a loss may lie or the ways disagree). Where the reference knows
// nothing, the ways up to one disagreement per lost byte worse must agree too: a loss can hide
// a wrong byte of the reference. All -1 when the losses are too many to search or the best way
// still disagrees too often to be believed.
std::vector<int> placeReceived(const std::vector<int>& reference, ByteSpan received);

} // namespace kv::camera
