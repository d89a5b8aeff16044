#include "library/picture_list.h"

#include "library/picture_names.h"

#include <algorithm>

namespace kv::library {

int PictureList::find(std::string_view path) const {
    for (int i = 0; i < count(); ++i)
        if (records_[static_cast<std::size_t>(i)].path == path)
            return i;
    return -1;
}

int PictureList::findId(std::uint64_t id) const {
    for (int i = 0; i < count(); ++i)
        if (records_[static_cast<std::size_t>(i)].id == id)
            return i;
    return -1;
}

void PictureList::append(std::vector<PictureRecord> added, bool resort) {
    for (PictureRecord& r : added) {
        r.id = nextId_++;
        records_.push_back(std::move(r));
    }
    if (resort)
        std::stable_sort(
            records_.begin(), records_.end(),
            [](const PictureRecord& a, const PictureRecord& b) { return a.sortKey > b.sortKey; });
    if (records_.empty())
        return;
    highlightOnly(0);
    current_ = 0;
}

void PictureList::append(PictureRecord added, bool resort) {
    std::vector<PictureRecord> one;
    one.push_back(std::move(added));
    append(std::move(one), resort);
}

std::vector<int> PictureList::removeHighlighted() {
    std::vector<int> map(records_.size(), -1);
    std::vector<PictureRecord> kept;
    kept.reserve(records_.size());
    for (std::size_t i = 0; i < records_.size(); ++i) {
        if (records_[i].highlighted)
            continue;
        map[i] = static_cast<int>(kept.size());
        kept.push_back(std::move(records_[i]));
    }
    records_ = std::move(kept);
    setCurrent(current_);
    return map;
}

void PictureList::clear() {
    records_.clear();
    current_ = -1;
}

int PictureList::highlightedCount() const {
    return static_cast<int>(std::count_if(records_.begin(), records_.end(),
                                          [](const PictureRecord& r) { return r.highlighted; }));
}

std::vector<int> PictureList::highlightedIndices() const {
    std::vector<int> out;
    for (int i = 0; i < count(); ++i)
        if (records_[static_cast<std::size_t>(i)].highlighted)
            out.push_back(i);
    return out;
}

bool PictureList::anyHighlightedTemporary() const {
    return std::any_of(records_.begin(), records_.end(), [](const PictureRecord& r) {
        return r.highlighted && isTemporaryPath(r.path);
    });
}

void PictureList::setHighlighted(int index, bool on) {
    if (index >= 0 && index < count())
        records_[static_cast<std::size_t>(index)].highlighted = on;
}

void PictureList::toggleHighlighted(int index) {
    if (index >= 0 && index < count())
        records_[static_cast<std::size_t>(index)].highlighted =
            !records_[static_cast<std::size_t>(index)].highlighted;
}

void PictureList::highlightOnly(int index) {
    for (PictureRecord& r : records_)
        r.highlighted = false;
    setHighlighted(index, true);
}

void PictureList::highlightRange(int from, int to) {
    if (from > to)
        std::swap(from, to);
    for (int i = std::max(from, 0); i <= to && i < count(); ++i)
        records_[static_cast<std::size_t>(i)].highlighted = true;
}

void PictureList::highlightAll() {
    for (PictureRecord& r : records_)
        r.highlighted = true;
}

void PictureList::setCurrent(int index) {
    if (records_.empty())
        current_ = -1;
    else
        current_ = std::clamp(index, 0, count() - 1);
}

} // namespace kv::library
