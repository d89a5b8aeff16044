#include "library/thumbnail_grid.h"

#include <algorithm>

namespace kv::library {

ThumbnailGrid::ThumbnailGrid(int columns, int rows)
    : columns_(std::max(columns, 1)), rows_(std::max(rows, 1)) {}

std::optional<GridBox> ThumbnailGrid::boxOf(int index, int firstVisible, int count) const {
    const int cell = index - firstVisible;
    if (index < 0 || index >= count || cell < 0 || cell >= pageSize())
        return std::nullopt;
    return GridBox{kOrigin + kPitchX * (cell % columns_), kOrigin + kPitchY * (cell / columns_)};
}

int ThumbnailGrid::hitTest(int x, int y, int firstVisible, int count) const {
    if (x < kOrigin || y < kOrigin)
        return -1;
    const int column = (x - kOrigin) / kPitchX;
    const int row = (y - kOrigin) / kPitchY;
    if (column >= columns_ || row >= rows_)
        return -1;
    if ((x - kOrigin) % kPitchX >= kBox || (y - kOrigin) % kPitchY >= kBox)
        return -1;
    const int index = firstVisible + column + row * columns_;
    return index < count ? index : -1;
}

int ThumbnailGrid::rowCount(int count) const {
    return count <= 0 ? 0 : (count + columns_ - 1) / columns_;
}

int ThumbnailGrid::lastFirstRow(int count) const {
    return std::max(0, rowCount(count) - rows_);
}

int ThumbnailGrid::clampFirstVisible(int firstVisible, int count) const {
    if (!needsScrollBar(count))
        return 0;
    const int row = std::clamp(firstVisible / columns_, 0, lastFirstRow(count));
    return row * columns_;
}

int ThumbnailGrid::firstVisibleShowing(int index, int firstVisible, int count) const {
    firstVisible = clampFirstVisible(firstVisible, count);
    if (index < 0 || index >= count)
        return firstVisible;
    const int row = index / columns_;
    int first = firstVisible / columns_;
    if (row < first)
        first = row;
    else if (row >= first + rows_)
        first = row - rows_ + 1;
    return clampFirstVisible(first * columns_, count);
}

} // namespace kv::library
