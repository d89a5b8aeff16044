#include "camera/part_assembly.h"

#include "camera/command_table.h"

#include <algorithm>
#include <array>

namespace kv::camera {
namespace {

// The chance that the candidate the check lets through is wrong, in units of the chance that two
// wrong bytes cancel in the word sum (about 1/600): kept below 1/100 000 overall.
constexpr double kDoubtBudget = 0.006;
// Bytes' worth of the line's last known error rate that a fresh estimate starts from.
constexpr double kPriorBytes = 4096;
// Bounds of the search that places a block's received bytes.
constexpr std::size_t kMaxLostPerBlock = 64;
constexpr std::size_t kMaxAlignCells = std::size_t(1) << 20;

// The distinct values some reads hold at one byte, and how many hold each.
struct Tally {
    std::array<std::uint8_t, PartAssembly::kMaxReads> values{};
    std::array<int, PartAssembly::kMaxReads> votes{};
    std::size_t distinct = 0;

    void add(std::uint8_t value) {
        std::size_t i = 0;
        while (i < distinct && values[i] != value)
            ++i;
        if (i == distinct)
            values[distinct++] = value;
        ++votes[i];
    }
};

} // namespace

PartAssembly::PartAssembly(std::size_t size, PartCheck check, double lineErrorRate)
    : size_(size), check_(check), lineErrorRate_(lineErrorRate), confirmedData_(size),
      confirmed_(size, 0), confirmedWhole_(size, 0), held_(size, 0) {}

void PartAssembly::addRead(ByteSpan data, const std::vector<Range>& received,
                           std::optional<std::uint16_t> checkWord, std::vector<LostBlock> lost) {
    if (data.size() < size_)
        return;
    if (reads_.size() == kMaxReads) {
        // The oldest read goes; what only it held is no longer held.
        reads_.erase(reads_.begin());
        heldCount_ = 0;
        for (std::size_t b = 0; b < size_; ++b) {
            held_[b] = confirmed_[b] || std::any_of(reads_.begin(), reads_.end(),
                                                    [b](const Read& r) { return r.has[b] != 0; });
            heldCount_ += held_[b];
        }
    }
    Read& read = reads_.emplace_back();
    read.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size_));
    read.has.assign(size_, 0);
    read.checkWord = checkWord;
    // Without a sum check only whole reads count, so lost blocks are of no use.
    if (check_ != PartCheck::None)
        read.lost = std::move(lost);
    for (const auto& [from, to] : received) {
        const std::size_t end = std::min(to, size_);
        if (from < end)
            std::fill(read.has.begin() + static_cast<std::ptrdiff_t>(from),
                      read.has.begin() + static_cast<std::ptrdiff_t>(end), kWhole);
    }
    read.complete = std::all_of(read.has.begin(), read.has.end(), [](auto h) { return h != 0; });
    if (check_ == PartCheck::CheckWord && read.complete && !checkWord)
        read.complete = false;

    const std::size_t r = reads_.size() - 1;
    for (std::size_t b = 0; b < size_; ++b)
        if (reads_[r].has[b])
            takeCopy(r, b);
    if (checkWord && !confirmedWord_) {
        for (std::size_t i = 0; i < r; ++i)
            if (reads_[i].checkWord == checkWord)
                confirmedWord_ = checkWord;
    }
    placeLostBlocks();
}

void PartAssembly::takeCopy(std::size_t r, std::size_t b) {
    if (!held_[b]) {
        held_[b] = 1;
        ++heldCount_;
    }
    const std::uint8_t value = reads_[r].data[b];
    const bool whole = reads_[r].has[b] == kWhole;
    if (confirmed_[b]) {
        ++compared_; // against the right value: only the new copy can be wrong
        differed_ += value != confirmedData_[b];
        if (whole && value == confirmedData_[b])
            confirmedWhole_[b] = 1;
        return;
    }
    bool first = true;
    for (std::size_t i = 0; i < reads_.size(); ++i) {
        const Read& other = reads_[i];
        if (i == r || !other.has[b])
            continue;
        if (first) {
            compared_ += 2; // two copies that could be wrong
            differed_ += other.data[b] != value;
            first = false;
        }
        if (other.data[b] == value) {
            confirmedData_[b] = value;
            confirmed_[b] = 1;
            confirmedWhole_[b] = whole || other.has[b] == kWhole;
            ++confirmedCount_;
            return;
        }
    }
}

void PartAssembly::placeLostBlocks() {
    for (std::size_t r = 0; r < reads_.size(); ++r) {
        auto& lost = reads_[r].lost;
        for (auto it = lost.begin(); it != lost.end();) {
            // What the other reads hold over the block's stretch, as it came off the line: a
            // byte another block was placed at could be out of step in repetitive data, and
            // this block must not be drawn into agreeing with it.
            std::vector<int> reference(it->length, -1);
            std::size_t known = 0;
            for (std::size_t k = 0; k < it->length && it->from + k < size_; ++k) {
                const std::size_t b = it->from + k;
                if (confirmed_[b] && confirmedWhole_[b]) {
                    reference[k] = confirmedData_[b];
                } else {
                    for (std::size_t i = 0; i < reads_.size(); ++i)
                        if (i != r && reads_[i].has[b] == kWhole) {
                            reference[k] = reads_[i].data[b];
                            break;
                        }
                }
                known += reference[k] >= 0;
            }
            // Too little to go by yet: a later read may hold more.
            if (known * 2 < it->length) {
                ++it;
                continue;
            }
            const std::vector<int> placed = placeReceived(reference, it->received);
            for (std::size_t k = 0; k < it->length && it->from + k < size_; ++k) {
                const std::size_t b = it->from + k;
                if (placed[k] < 0 || reads_[r].has[b])
                    continue;
                reads_[r].data[b] = static_cast<std::uint8_t>(placed[k]);
                reads_[r].has[b] = kPlaced;
                takeCopy(r, b);
            }
            it = lost.erase(it);
        }
    }
}

double PartAssembly::errorRate() const {
    return (static_cast<double>(differed_) + lineErrorRate_ * kPriorBytes) /
           (static_cast<double>(compared_) + kPriorBytes);
}

bool PartAssembly::needs(std::size_t from, std::size_t to) const {
    to = std::min(to, size_);
    return from < to && std::find(confirmed_.begin() + static_cast<std::ptrdiff_t>(from),
                                  confirmed_.begin() + static_cast<std::ptrdiff_t>(to),
                                  0) != confirmed_.begin() + static_cast<std::ptrdiff_t>(to);
}

std::size_t PartAssembly::neededEnd() const {
    for (std::size_t b = size_; b > 0; --b)
        if (!confirmed_[b - 1])
            return b;
    return 0;
}

std::size_t PartAssembly::nextUnheld(std::size_t from) const {
    const auto it = std::find(held_.begin() + static_cast<std::ptrdiff_t>(std::min(from, size_)),
                              held_.end(), 0);
    return static_cast<std::size_t>(it - held_.begin());
}

std::size_t PartAssembly::unheldRunEnd(std::size_t from) const {
    const auto it = std::find(held_.begin() + static_cast<std::ptrdiff_t>(std::min(from, size_)),
                              held_.end(), 1);
    return static_cast<std::size_t>(it - held_.begin());
}

std::optional<Bytes> PartAssembly::agreedCompleteReads() const {
    std::vector<const Read*> complete;
    for (const Read& read : reads_)
        if (read.complete)
            complete.push_back(&read);
    if (complete.size() < 2)
        return std::nullopt;
    // The value the complete reads hold at `b`, or -1 when they leave it open: two reads that
    // each spoil a byte agree on a wrong value about once in 256 x the line's error rate
    // squared, so a value must lead every other by two reads.
    const auto agreed = [&](std::size_t b) {
        Tally tally;
        for (const Read* read : complete)
            tally.add(read->data[b]);
        std::size_t lead = 0;
        int second = 0;
        for (std::size_t i = 1; i < tally.distinct; ++i) {
            if (tally.votes[i] > tally.votes[lead]) {
                second = tally.votes[lead];
                lead = i;
            } else {
                second = std::max(second, tally.votes[i]);
            }
        }
        return tally.votes[lead] >= second + 2 ? int(tally.values[lead]) : -1;
    };
    Bytes copy(size_);
    for (std::size_t b = 0; b < size_; ++b) {
        const int value = agreed(b);
        if (value < 0)
            return std::nullopt;
        copy[b] = static_cast<std::uint8_t>(value);
    }
    return copy;
}

std::optional<Bytes> PartAssembly::result() const {
    if (check_ == PartCheck::None)
        return agreedCompleteReads();
    if (reads_.empty())
        return std::nullopt;

    // The candidate: confirmed bytes, singles, and the first value of every byte in dispute.
    struct Disputed {
        std::size_t at;
        std::vector<std::uint8_t> values;
    };
    Bytes copy = confirmedData_;
    std::vector<Disputed> disputed;
    std::size_t singles = 0;
    std::size_t combinations = 1;
    for (std::size_t b = 0; b < size_; ++b) {
        if (confirmed_[b])
            continue;
        Tally tally;
        for (const Read& read : reads_)
            if (read.has[b])
                tally.add(read.data[b]);
        const auto& values = tally.values;
        const std::size_t distinct = tally.distinct;
        // No read holds it, or it is the odd last byte, which no word of the sum covers.
        if (distinct == 0 || (size_ % 2 == 1 && b == size_ - 1))
            return std::nullopt;
        copy[b] = values[0];
        if (distinct == 1) {
            ++singles;
            continue;
        }
        combinations *= distinct;
        if (combinations > kMaxCombinations)
            return std::nullopt;
        disputed.push_back(
            {b, {values.begin(), values.begin() + static_cast<std::ptrdiff_t>(distinct)}});
    }
    std::vector<std::uint16_t> words;
    if (check_ == PartCheck::CheckWord) {
        if (confirmedWord_) {
            words.push_back(*confirmedWord_);
        } else {
            for (const Read& read : reads_)
                if (read.checkWord &&
                    std::find(words.begin(), words.end(), *read.checkWord) == words.end())
                    words.push_back(*read.checkWord);
            if (words.size() == 1)
                singles += 2;
        }
        if (words.empty())
            return std::nullopt;
        combinations *= words.size();
        if (combinations > kMaxCombinations)
            return std::nullopt;
    }
    // A wrong copy passes only with two wrong bytes that cancel, and only when some byte has
    // no right value among its choices: a single that is wrong (a share `rate` of them), or a
    // disputed byte of k values that are all wrong (about rate / k of them, since one wrong
    // and one right copy are k / rate times likelier than k wrong ones). Every other
    // combination of the choices is a further chance to cancel.
    const double rate = errorRate();
    const auto all = static_cast<double>(combinations);
    const double lambda = static_cast<double>(singles) * rate;
    double doubt = lambda * (all - 1);
    double missing = lambda;
    const auto disputedDoubt = [&](double chance, std::size_t values) {
        missing += chance;
        doubt += chance * (all - static_cast<double>(values));
    };
    for (const Disputed& d : disputed)
        disputedDoubt(rate / static_cast<double>(d.values.size()), d.values.size());
    if (words.size() > 1)
        disputedDoubt(2 * rate / static_cast<double>(words.size()), words.size());
    if (doubt + missing * missing / 2 * all > kDoubtBudget)
        return std::nullopt;

    // The word sum is linear: each choice moves it by a known amount, so the combinations are
    // counted without building them.
    const std::uint16_t base = wordSum(copy);
    const auto shift = [](std::size_t at) { return at % 2 == 0 ? 1 : 256; };
    std::vector<std::size_t> pick(disputed.size(), 0);
    std::optional<std::vector<std::size_t>> match;
    int matches = 0;
    for (std::size_t c = 0; c < combinations; ++c) {
        std::size_t rest = c;
        auto sum = static_cast<std::uint32_t>(base);
        for (std::size_t i = 0; i < disputed.size(); ++i) {
            const Disputed& d = disputed[i];
            pick[i] = rest % d.values.size();
            rest /= d.values.size();
            const int delta = int(d.values[pick[i]]) - int(d.values[0]);
            sum += static_cast<std::uint32_t>(delta * shift(d.at));
        }
        const std::size_t word = words.empty() ? 0 : rest % words.size();
        if (!words.empty())
            sum += words[word];
        if (static_cast<std::uint16_t>(sum) != 0xFFFF)
            continue;
        if (++matches > 1)
            return std::nullopt; // the check cannot tell the candidates apart
        match = pick;
    }
    if (!match)
        return std::nullopt;
    for (std::size_t i = 0; i < disputed.size(); ++i)
        copy[disputed[i].at] = disputed[i].values[(*match)[i]];
    return copy;
}

std::vector<int> placeReceived(const std::vector<int>& reference, ByteSpan received) {
    const std::size_t n = reference.size();
    const std::size_t m = received.size();
    std::vector<int> placed(n, -1);
    if (m >= n)
        return placed;
    const std::size_t lost = n - m;
    // The search keeps two tables of (m + 1) x (lost + 1) costs.
    const std::size_t width = lost + 1;
    if (lost > kMaxLostPerBlock || (m + 1) * width > kMaxAlignCells)
        return placed;
    constexpr std::uint32_t kNone = 0xFFFFFFFF;
    const auto cost = [&](std::size_t i, std::size_t p) -> std::uint32_t {
        return reference[p] >= 0 && reference[p] != received[i] ? 1 : 0;
    };
    // forward[i][j]: the fewest disagreements with the first i received bytes placed and j bytes
    // of the block passed over as lost (so the block's first i + j bytes are accounted for);
    // backward[i][j]: the fewest from there to the end.
    std::vector<std::uint32_t> forward((m + 1) * width, kNone);
    std::vector<std::uint32_t> backward((m + 1) * width, kNone);
    const auto at = [width](std::size_t i, std::size_t j) { return i * width + j; };
    forward[at(0, 0)] = 0;
    for (std::size_t i = 0; i <= m; ++i) {
        for (std::size_t j = 0; j <= lost; ++j) {
            const std::uint32_t here = forward[at(i, j)];
            if (here == kNone)
                continue;
            if (j < lost)
                forward[at(i, j + 1)] = std::min(forward[at(i, j + 1)], here);
            if (i < m)
                forward[at(i + 1, j)] = std::min(forward[at(i + 1, j)], here + cost(i, i + j));
        }
    }
    backward[at(m, lost)] = 0;
    for (std::size_t i = m + 1; i-- > 0;) {
        for (std::size_t j = width; j-- > 0;) {
            std::uint32_t best = backward[at(i, j)];
            if (j < lost && backward[at(i, j + 1)] != kNone)
                best = std::min(best, backward[at(i, j + 1)]);
            if (i < m && backward[at(i + 1, j)] != kNone)
                best = std::min(best, backward[at(i + 1, j)] + cost(i, i + j));
            backward[at(i, j)] = best;
        }
    }
    const std::uint32_t best = forward[at(m, lost)];
    // A reference of this block should disagree only where the line spoilt a byte.
    if (best == kNone || best > 16 + n / 64)
        return placed;
    // A lost byte may hide a wrong byte of the reference: the best way can then be a wrong one
    // that puts its loss there, up to one disagreement per lost byte ahead of the true one.
    // Where the reference holds a byte, a way that is out of step only places that byte or
    // disputes it; where it holds none, the placed byte stands on the way alone, so there
    // every way within that many of the best must agree.
    const std::uint32_t within = best + static_cast<std::uint32_t>(lost);
    constexpr int kUnset = -2;
    std::fill(placed.begin(), placed.end(), kUnset);
    for (std::size_t i = 0; i <= m; ++i) {
        for (std::size_t j = 0; j <= lost; ++j) {
            const std::uint32_t here = forward[at(i, j)];
            if (here == kNone)
                continue;
            const std::size_t p = i + j;
            const std::uint32_t limit = p < n && reference[p] < 0 ? within : best;
            // Byte p passed over as lost on some such way: nothing can be said of it.
            if (j < lost && backward[at(i, j + 1)] != kNone &&
                here + backward[at(i, j + 1)] <= limit)
                placed[p] = -1;
            if (i < m && backward[at(i + 1, j)] != kNone &&
                here + cost(i, p) + backward[at(i + 1, j)] <= limit) {
                if (placed[p] == kUnset)
                    placed[p] = received[i];
                else if (placed[p] != received[i])
                    placed[p] = -1;
            }
        }
    }
    std::replace(placed.begin(), placed.end(), kUnset, -1);
    return placed;
}

} // namespace kv::camera
