// The document's list of open pictures: the records newest first, which of them are
// highlighted and which one is current. It emits nothing: the GUI's document adapter calls it
// and tells the views. Not thread-safe; it belongs to the GUI thread (workers get copies).
#pragma once

#include "library/picture_record.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kv::library {

class PictureList {
public:
    int count() const { return static_cast<int>(records_.size()); }
    bool empty() const { return records_.empty(); }
    // The current picture's index, -1 when none.
    int current() const { return current_; }

    PictureRecord& operator[](int index) { return records_[static_cast<std::size_t>(index)]; }
    const PictureRecord& operator[](int index) const {
        return records_[static_cast<std::size_t>(index)];
    }
    std::span<PictureRecord> records() { return records_; }
    std::span<const PictureRecord> records() const { return records_; }

    // The index of the record with this path, -1 when none. Paths are compared exactly: on
    // this system "X.jpg" and "x.jpg" are two files.
    int find(std::string_view path) const;
    // The index of the record with this id, -1 when it is gone.
    int findId(std::uint64_t id) const;

    // Appends records (each gets a fresh id), re-sorting the whole list newest first when
    // `resort` is set (records with equal times keep their order). Afterwards only record 0 is
    // highlighted and it is current.
    void append(std::vector<PictureRecord> added, bool resort = true);
    void append(PictureRecord added, bool resort = true);

    // Removes the highlighted records. The result maps every old index to its new one (-1 for
    // a removed record), for the zoom windows. `current` stays inside the list (-1 when it
    // becomes empty).
    std::vector<int> removeHighlighted();
    void clear();

    int highlightedCount() const;
    std::vector<int> highlightedIndices() const;
    // True when at least one highlighted picture is a temporary working copy.
    bool anyHighlightedTemporary() const;

    void setHighlighted(int index, bool on);
    void toggleHighlighted(int index);
    // Un-highlights all and highlights `index`.
    void highlightOnly(int index);
    // Highlights every picture from `from` to `to`, inclusive, in either direction (the others
    // keep their marks).
    void highlightRange(int from, int to);
    void highlightAll();
    // Sets the current index, kept inside the list (-1 only when the list is empty).
    void setCurrent(int index);

private:
    std::vector<PictureRecord> records_;
    int current_ = -1;
    std::uint64_t nextId_ = 1;
};

} // namespace kv::library
