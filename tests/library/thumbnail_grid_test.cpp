// The grid's geometry: boxes, hits, the scroll bar and the pull-back.
#include "library/thumbnail_grid.h"

#include <gtest/gtest.h>

namespace kv::library {
namespace {

TEST(ThumbnailGrid, BoxesAndHits) {
    const ThumbnailGrid grid(4, 3);
    EXPECT_EQ(grid.boxOf(0, 0, 20), (GridBox{7, 7}));
    EXPECT_EQ(grid.boxOf(5, 0, 20), (GridBox{137, 157}));
    EXPECT_EQ(grid.boxOf(11, 0, 20), (GridBox{397, 307}));
    EXPECT_FALSE(grid.boxOf(12, 0, 20)); // below the page
    EXPECT_EQ(grid.boxOf(12, 4, 20), (GridBox{7, 307}));
    EXPECT_FALSE(grid.boxOf(3, 4, 20)); // above the page
    EXPECT_FALSE(grid.boxOf(5, 0, 5));  // no such picture

    struct Row {
        int x, y, first, count, index;
    };
    for (const Row& r : {Row{7, 7, 0, 20, 0}, Row{126, 126, 0, 20, 0}, Row{127, 50, 0, 20, -1},
                         Row{137, 157, 0, 20, 5}, Row{50, 130, 0, 20, -1}, Row{6, 7, 0, 20, -1},
                         Row{400, 310, 4, 20, 15}, Row{400, 310, 4, 14, -1},
                         Row{530, 10, 0, 20, -1}, Row{10, 460, 0, 20, -1}})
        EXPECT_EQ(grid.hitTest(r.x, r.y, r.first, r.count), r.index) << r.x << "," << r.y;
}

TEST(ThumbnailGrid, ScrollBarAndPullBack) {
    const ThumbnailGrid grid(4, 3);
    EXPECT_FALSE(grid.needsScrollBar(12));
    EXPECT_TRUE(grid.needsScrollBar(13));
    EXPECT_EQ(grid.rowCount(13), 4);
    EXPECT_EQ(grid.lastFirstRow(13), 1);
    // After shrinking: 0 when all fit, else the page that shows the last picture in its last
    // row.
    EXPECT_EQ(grid.clampFirstVisible(8, 12), 0);
    EXPECT_EQ(grid.clampFirstVisible(20, 17), 8);
    EXPECT_EQ(grid.clampFirstVisible(7, 30), 4);
    EXPECT_EQ(grid.clampFirstVisible(-4, 30), 0);
}

TEST(ThumbnailGrid, MovingTheCurrentPictureScrollsOneRow) {
    const ThumbnailGrid grid(4, 3);
    EXPECT_EQ(grid.firstVisibleShowing(11, 0, 30), 0);
    EXPECT_EQ(grid.firstVisibleShowing(12, 0, 30), 4);
    EXPECT_EQ(grid.firstVisibleShowing(3, 4, 30), 0);
    EXPECT_EQ(grid.firstVisibleShowing(29, 0, 30), 20);
    EXPECT_EQ(grid.firstVisibleShowing(0, 20, 30), 0);
}

} // namespace
} // namespace kv::library
