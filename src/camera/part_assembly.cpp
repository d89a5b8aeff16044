#include "camera/part_assembly.h"

#include "camera/command_table.h"

#include <algorithm>

namespace kv::camera {

PartAssembly::PartAssembly(std::size_t size, PartCheck check)
    : size_(size), check_(check), confirmedData_(size),
      confirmed_((size + kSegment - 1) / kSegment, 0) {}

std::pair<std::size_t, std::size_t> PartAssembly::segmentRange(std::size_t s) const {
    const std::size_t from = s * kSegment;
    return {from, std::min(size_, from + kSegment)};
}

bool PartAssembly::sameSegment(const Read& a, const Read& b, std::size_t s) const {
    const auto [from, to] = segmentRange(s);
    return std::equal(a.data.begin() + static_cast<std::ptrdiff_t>(from),
                      a.data.begin() + static_cast<std::ptrdiff_t>(to),
                      b.data.begin() + static_cast<std::ptrdiff_t>(from));
}

void PartAssembly::addRead(ByteSpan data, const std::vector<Range>& received,
                           std::optional<std::uint16_t> checkWord) {
    if (data.size() < size_)
        return;
    Read read;
    read.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size_));
    read.has.assign(confirmed_.size(), 0);
    read.checkWord = checkWord;
    // A segment counts only when a received range covers it entirely.
    for (const auto& [from, to] : received) {
        const std::size_t end = std::min(to, size_);
        for (std::size_t s = (from + kSegment - 1) / kSegment; s < confirmed_.size(); ++s) {
            const auto [a, b] = segmentRange(s);
            if (b > end)
                break;
            if (a >= from)
                read.has[s] = 1;
        }
    }
    read.complete = std::all_of(read.has.begin(), read.has.end(), [](auto h) { return h != 0; });
    if (check_ == PartCheck::CheckWord && read.complete && !checkWord)
        read.complete = false;

    for (std::size_t s = 0; s < confirmed_.size(); ++s) {
        if (confirmed_[s] || !read.has[s])
            continue;
        for (const Read& earlier : reads_) {
            if (earlier.has[s] && sameSegment(earlier, read, s)) {
                const auto [from, to] = segmentRange(s);
                std::copy(read.data.begin() + static_cast<std::ptrdiff_t>(from),
                          read.data.begin() + static_cast<std::ptrdiff_t>(to),
                          confirmedData_.begin() + static_cast<std::ptrdiff_t>(from));
                confirmed_[s] = 1;
                ++confirmedCount_;
                break;
            }
        }
    }
    if (checkWord && !confirmedWord_) {
        for (const Read& earlier : reads_)
            if (earlier.checkWord == checkWord)
                confirmedWord_ = checkWord;
    }
    if (reads_.size() == kMaxReads)
        reads_.erase(reads_.begin());
    reads_.push_back(std::move(read));
}

bool PartAssembly::needs(std::size_t from, std::size_t to) const {
    const std::size_t last = std::min(confirmed_.size(), (to + kSegment - 1) / kSegment);
    for (std::size_t s = from / kSegment; s < last; ++s)
        if (!confirmed_[s])
            return true;
    return false;
}

std::size_t PartAssembly::neededEnd() const {
    for (std::size_t s = confirmed_.size(); s > 0; --s)
        if (!confirmed_[s - 1])
            return segmentRange(s - 1).second;
    return 0;
}

std::size_t PartAssembly::nextNeeded(std::size_t from) const {
    for (std::size_t s = from / kSegment; s < confirmed_.size(); ++s)
        if (!confirmed_[s])
            return segmentRange(s).first;
    return size_;
}

std::size_t PartAssembly::neededRunEnd(std::size_t from) const {
    std::size_t s = from / kSegment;
    while (s < confirmed_.size() && !confirmed_[s])
        ++s;
    return std::min(size_, s * kSegment);
}

bool PartAssembly::passes(ByteSpan data, std::optional<std::uint16_t> word) const {
    if (check_ == PartCheck::WordSum)
        return wordSum(data) == 0xFFFF;
    return word && static_cast<std::uint16_t>(wordSum(data) + *word) == 0xFFFF;
}

std::optional<Bytes> PartAssembly::identicalCompleteReads() const {
    for (std::size_t i = 0; i < reads_.size(); ++i) {
        if (!reads_[i].complete)
            continue;
        for (std::size_t j = i + 1; j < reads_.size(); ++j)
            if (reads_[j].complete && reads_[j].data == reads_[i].data)
                return reads_[i].data;
    }
    return std::nullopt;
}

std::optional<Bytes> PartAssembly::result() const {
    if (check_ == PartCheck::None)
        return identicalCompleteReads();

    // A whole read that passes the check needs nothing else (the newest first: it is the one
    // that just came).
    for (auto it = reads_.rbegin(); it != reads_.rend(); ++it)
        if (it->complete && passes(it->data, it->checkWord))
            return it->data;
    if (reads_.size() < 2)
        return std::nullopt;

    // Otherwise: confirmed segments, and for the others the distinct whole copies the reads
    // hold. Every segment needs one; the choices multiply into the combinations tried.
    struct Open {
        std::size_t segment;
        std::vector<const Read*> choices;
    };
    std::vector<Open> open;
    std::size_t combinations = 1;
    for (std::size_t s = 0; s < confirmed_.size(); ++s) {
        if (confirmed_[s])
            continue;
        Open o{s, {}};
        for (const Read& read : reads_) {
            if (!read.has[s])
                continue;
            const bool seen = std::any_of(o.choices.begin(), o.choices.end(),
                                          [&](const Read* r) { return sameSegment(*r, read, s); });
            if (!seen)
                o.choices.push_back(&read);
        }
        if (o.choices.empty())
            return std::nullopt;
        combinations *= o.choices.size();
        if (combinations > kMaxCombinations)
            return std::nullopt;
        open.push_back(std::move(o));
    }
    std::vector<std::optional<std::uint16_t>> words;
    if (check_ == PartCheck::CheckWord) {
        if (confirmedWord_) {
            words.push_back(confirmedWord_);
        } else {
            for (const Read& read : reads_)
                if (read.checkWord &&
                    std::find(words.begin(), words.end(), read.checkWord) == words.end())
                    words.push_back(read.checkWord);
        }
        if (words.empty() || combinations * words.size() > kMaxCombinations)
            return std::nullopt;
    } else {
        words.push_back(std::nullopt);
    }

    Bytes copy = confirmedData_;
    for (std::size_t c = 0; c < combinations; ++c) {
        std::size_t pick = c;
        for (const Open& o : open) {
            const Read* read = o.choices[pick % o.choices.size()];
            pick /= o.choices.size();
            const auto [from, to] = segmentRange(o.segment);
            std::copy(read->data.begin() + static_cast<std::ptrdiff_t>(from),
                      read->data.begin() + static_cast<std::ptrdiff_t>(to),
                      copy.begin() + static_cast<std::ptrdiff_t>(from));
        }
        for (const auto& word : words)
            if (passes(copy, word))
                return copy;
    }
    return std::nullopt;
}

} // namespace kv::camera
