#include "shell/frame_geometry.h"

namespace kv::shell {

SnapResult snapToCells(const SnapInput& in) {
    const int a = in.scrollBarWidth * (in.overflow ? 2 : 1) + 1;
    const int b = in.viewTop + in.statusBarHeight;
    int w = (in.width / kCellWidth) * kCellWidth + a;
    int h = (in.height / kCellHeight) * kCellHeight + b;
    // At least one cell each way (the height minimum is the frame's own, 7 pixels over a cell).
    if (h < b + 164)
        h = b + 164;
    if (w < a + kCellWidth)
        w = a + kCellWidth;
    if (h > in.screenHeight)
        h -= kCellHeight;
    if (w > in.screenWidth)
        w -= kCellWidth;
    return {w, h, w / kCellWidth, h / kCellHeight};
}

bool picturesOverflow(int count, int columns, int rows) {
    return count > columns * rows;
}

Rect maximisedThumbnailRect(int maxWidth, int maxHeight, int scrollBarWidth) {
    const int width = (maxWidth / kCellWidth) * kCellWidth + scrollBarWidth + 1;
    const int height = (maxHeight / kCellHeight) * kCellHeight;
    return {(maxWidth - width) / 2, 0, width, height};
}

settings::Placement firstStartPlacement(int screenWidth, int screenHeight, int snappedWidth,
                                        int snappedHeight) {
    settings::Placement p;
    p.flags = 0;
    p.showCmd = kShowNormal;
    p.left = (screenWidth - snappedWidth) / 2;
    p.top = (screenHeight - snappedHeight) / 2;
    p.right = p.left + snappedWidth;
    p.bottom = p.top + snappedHeight;
    p.maxX = (screenWidth - 480) / 2;
    p.maxY = (screenHeight - 480) / 2 - 56;
    p.minX = 0;
    p.minY = 0;
    return p;
}

settings::Placement placementFor(const Rect& frame, bool maximised,
                                 const settings::Placement& previous) {
    settings::Placement p = previous;
    p.showCmd = maximised ? kShowMaximized : kShowNormal;
    if (!maximised) {
        p.left = frame.x;
        p.top = frame.y;
        p.right = frame.x + frame.width;
        p.bottom = frame.y + frame.height;
    }
    return p;
}

} // namespace kv::shell
