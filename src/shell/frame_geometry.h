// The main frame's sizing rules: the window is kept a whole number of thumbnail cells wide
// and high (cells of 130 x 157 pixels), a maximised window is centred on whole columns, and a
// first start centres the window and saves a placement for it.
#pragma once

#include "settings/app_settings.h"

namespace kv::shell {

inline constexpr int kCellWidth = 130;
inline constexpr int kCellHeight = 157;
// Caption, menu bar and toolbar when the view does not exist yet.
inline constexpr int kDefaultViewTop = 90;

struct SnapInput {
    int width = 0, height = 0;     // proposed outer window size
    int scrollBarWidth = 0;        // the system's vertical scroll-bar width
    bool overflow = false;         // more pictures than columns x rows
    int viewTop = kDefaultViewTop; // frame top to view top
    int statusBarHeight = 0;
    int screenWidth = 0, screenHeight = 0;
};

struct SnapResult {
    int width = 0, height = 0;
    int columns = 0, rows = 0;
    bool operator==(const SnapResult&) const = default;
};

SnapResult snapToCells(const SnapInput& in);

// True when `count` pictures do not fit `columns` x `rows` cells.
bool picturesOverflow(int count, int columns, int rows);

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// A window maximised in thumbnail mode: whole columns plus the scroll bar, centred across,
// whole rows from the top.
Rect maximisedThumbnailRect(int maxWidth, int maxHeight, int scrollBarWidth);

// The placement a first start saves: the snapped full-screen size centred on the screen,
// shown normally, with the maximised position left at ((w - 480) / 2, (h - 480) / 2 - 56).
settings::Placement firstStartPlacement(int screenWidth, int screenHeight, int snappedWidth,
                                        int snappedHeight);

// The placement of a window at `frame` (outer rectangle), shown normally or maximised, keeping
// the minimised and maximised positions of `previous`.
settings::Placement placementFor(const Rect& frame, bool maximised,
                                 const settings::Placement& previous);

inline constexpr int kShowNormal = 1;
inline constexpr int kShowMaximized = 3;

} // namespace kv::shell
