// The thumbnail grid's arithmetic: cells 130 pixels across and 150 down, the first picture box
// at (7, 7), boxes of 120 x 120 with the caption under them; which picture sits in which cell
// for a first visible index, hit tests, scrolling by rows and pages, and the pull-back after
// the list shrinks. The view only paints what this says.
#pragma once

#include <optional>

namespace kv::library {

struct GridBox {
    int x = 0;
    int y = 0;
    bool operator==(const GridBox&) const = default;
};

class ThumbnailGrid {
public:
    static constexpr int kOrigin = 7;
    static constexpr int kPitchX = 130;
    static constexpr int kPitchY = 150;
    static constexpr int kBox = 120;
    static constexpr int kCaptionHeight = 16;

    ThumbnailGrid(int columns, int rows);
    int columns() const { return columns_; }
    int rows() const { return rows_; }
    int pageSize() const { return columns_ * rows_; }

    // The box of picture `index` when it is visible with `firstVisible` in the top-left cell.
    std::optional<GridBox> boxOf(int index, int firstVisible, int count) const;
    // The picture whose box holds the point, -1 when none.
    int hitTest(int x, int y, int firstVisible, int count) const;

    // The scroll bar is shown only when the pictures do not fit.
    bool needsScrollBar(int count) const { return count > pageSize(); }
    // Rows of pictures and the largest first row the scroll bar reaches.
    int rowCount(int count) const;
    int lastFirstRow(int count) const;
    // `firstVisible` kept a multiple of the column count inside the scroll range: 0 when all
    // pictures fit, else at most the first index of the page that shows the last picture in
    // its last row.
    int clampFirstVisible(int firstVisible, int count) const;
    // The first visible index after making `index` visible, scrolling whole rows only as far
    // as needed.
    int firstVisibleShowing(int index, int firstVisible, int count) const;

private:
    int columns_;
    int rows_;
};

} // namespace kv::library
