// PartAssembly: one picture or sound note put together from several reads of a noisy line.
// Pure logic over byte spans (no I/O): the block reader hands in each read with the ranges that
// arrived whole and in step; the assembly keeps every read and compares them in segments of 16
// bytes. A segment is confirmed when two reads hold it alike.
//
// A copy is handed out only when it can be vouched for:
//   - Sum checks (the item's word sum, or the card file's word sum with its check word):
//     confirmed segments, and where no two reads agree yet, a single whole copy — the result
//     must pass the check, which vouches for it exactly as it vouches for a single whole read.
//     At most a few candidate combinations are tried, so the check is not worn out by search.
//   - No check (older card firmware): only two complete reads that are identical over the whole
//     length.
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
    static constexpr std::size_t kSegment = 16;
    // Candidate combinations tried against the sum check at most.
    static constexpr std::size_t kMaxCombinations = 4;
    // Reads kept (the oldest is dropped beyond this).
    static constexpr std::size_t kMaxReads = 12;

    using Range = std::pair<std::size_t, std::size_t>; // [from, to)

    PartAssembly(std::size_t size, PartCheck check);

    // One read: `data` holds size() bytes (only the `received` ranges count), `checkWord` the
    // check word when one came whole. A complete read has one range over everything.
    void addRead(ByteSpan data, const std::vector<Range>& received,
                 std::optional<std::uint16_t> checkWord);

    // A copy that passes the rules above, or nothing yet.
    std::optional<Bytes> result() const;

    // True while some segment in [from, to) is not confirmed (a re-read needs those bytes).
    bool needs(std::size_t from, std::size_t to) const;
    // The end of the last segment not confirmed (0 when every one is).
    std::size_t neededEnd() const;
    // From `from` (a segment start): the start of the first segment not confirmed (size()
    // when none is), and the end of the run of such segments that begins there.
    std::size_t nextNeeded(std::size_t from) const;
    std::size_t neededRunEnd(std::size_t from) const;
    // True once two reads brought the same check word.
    bool wordConfirmed() const { return confirmedWord_.has_value(); }
    std::size_t confirmedSegments() const { return confirmedCount_; }
    std::size_t segments() const { return confirmed_.size(); }
    std::size_t size() const { return size_; }
    std::size_t reads() const { return reads_.size(); }

private:
    struct Read {
        Bytes data;
        std::vector<std::uint8_t> has; // per segment: arrived whole
        std::optional<std::uint16_t> checkWord;
        bool complete = false;
    };
    std::pair<std::size_t, std::size_t> segmentRange(std::size_t s) const;
    bool sameSegment(const Read& a, const Read& b, std::size_t s) const;
    std::optional<Bytes> identicalCompleteReads() const;
    bool passes(ByteSpan data, std::optional<std::uint16_t> word) const;

    std::size_t size_;
    PartCheck check_;
    std::vector<Read> reads_;
    Bytes confirmedData_;
    std::vector<std::uint8_t> confirmed_;
    std::size_t confirmedCount_ = 0;
    std::optional<std::uint16_t> confirmedWord_;
};

} // namespace kv::camera
