#include "shell/frame_geometry.h"
#include "shell/status_layout.h"

#include <gtest/gtest.h>

namespace kv::shell {
namespace {

SnapInput screen(int w, int h) {
    SnapInput in;
    in.width = w;
    in.height = h;
    in.scrollBarWidth = 16;
    in.viewTop = 90;
    in.statusBarHeight = 20;
    in.screenWidth = 1280;
    in.screenHeight = 1024;
    return in;
}

TEST(CellSnapping, Cases) {
    struct Case {
        const char* name;
        SnapInput in;
        SnapResult out;
    };
    SnapInput between = screen(600, 500); // 4.6 x 3.2 cells
    SnapInput tiny = screen(10, 10);
    SnapInput huge = screen(1300, 1100); // more than the screen each way
    SnapInput overflow = screen(4 * 130 + 17, 3 * 157 + 110);
    overflow.overflow = true; // 13 pictures in 4 x 3
    SnapInput noView = screen(600, 500);
    noView.scrollBarWidth = 0;
    noView.statusBarHeight = 0;
    const Case cases[] = {
        {"between cells", between, {4 * 130 + 17, 3 * 157 + 110, 4, 3}},
        {"at least one cell", tiny, {130 + 17, 110 + 164, 1, 1}},
        {"larger than the screen",
         huge,
         {1300 / 130 * 130 + 17 - 130, 1100 / 157 * 157 + 110 - 157, 9, 6}},
        {"second scroll bar", overflow, {4 * 130 + 33, 3 * 157 + 110, 4, 3}},
        {"default allowances", noView, {4 * 130 + 1, 3 * 157 + 90, 4, 3}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(snapToCells(c.in), c.out) << c.name;
}

TEST(CellSnapping, SnappedSizeIsStable) {
    SnapInput in = screen(777, 666);
    const SnapResult first = snapToCells(in);
    in.width = first.width;
    in.height = first.height;
    EXPECT_EQ(snapToCells(in), first);
}

TEST(CellSnapping, OverflowAndMaximise) {
    EXPECT_FALSE(picturesOverflow(12, 4, 3));
    EXPECT_TRUE(picturesOverflow(13, 4, 3));
    EXPECT_EQ(maximisedThumbnailRect(1280, 1000, 16), (Rect{(1280 - 1187) / 2, 0, 1187, 942}));
}

TEST(Placement, FirstStartIsCentredAndFits) {
    const settings::Placement p = firstStartPlacement(1280, 1024, 1187, 952);
    EXPECT_EQ(p.left, (1280 - 1187) / 2);
    EXPECT_EQ(p.top, (1024 - 952) / 2);
    EXPECT_EQ(p.right - p.left, 1187);
    EXPECT_EQ(p.bottom - p.top, 952);
    EXPECT_EQ(p.maxX, 400);
    EXPECT_EQ(p.maxY, 216);
    EXPECT_EQ(p.showCmd, kShowNormal);
    EXPECT_TRUE(settings::placementFits(p, 1280, 1024));
}

TEST(Placement, MovedWindowKeepsMaximisedPosition) {
    const settings::Placement prev = firstStartPlacement(1280, 1024, 600, 500);
    const settings::Placement moved = placementFor({10, 20, 600, 500}, false, prev);
    EXPECT_EQ(moved.left, 10);
    EXPECT_EQ(moved.bottom, 520);
    EXPECT_EQ(moved.maxY, prev.maxY);
    const settings::Placement max = placementFor({0, 0, 1280, 1024}, true, moved);
    EXPECT_EQ(max.showCmd, kShowMaximized);
    EXPECT_EQ(max.left, 10); // the normal rectangle stays
}

TEST(StatusLayout, PanesAndWidths) {
    auto widths = [](StatusLayout l, bool nf) {
        std::vector<int> w;
        for (const StatusPane& p : statusPanes(l, nf))
            w.push_back(p.stretch ? -1 : p.width);
        return w;
    };
    EXPECT_EQ(widths(StatusLayout::Message, false), (std::vector<int>{-1}));
    EXPECT_EQ(widths(StatusLayout::Camera, false), (std::vector<int>{-1, 60, 102, 70, 65, 80}));
    EXPECT_EQ(widths(StatusLayout::Camera, true), (std::vector<int>{-1, 60, 102, 65, 100, 0}));
    EXPECT_EQ(widths(StatusLayout::Compact, false), (std::vector<int>{-1, 130}));
    EXPECT_FALSE(statusPanes(StatusLayout::Compact)[1].border);
}

TEST(StatusLayout, CameraPaneTexts) {
    CameraPaneInput old;
    old.status.autoExposure = 0;
    old.status.exposureTime = 5;
    old.status.pictures = 7;
    old.status.sound = 0;
    old.status.flash = 1;
    old.status.legacyQuality = 3;
    EXPECT_EQ(cameraPaneTexts(old),
              (std::array<std::string, 5>{"Exposure:   1/60", "Pics:  7", "Sound:  OFF     ",
                                          "Flash:  ON     ", "Quality: UNCOMP"}));
    CameraPaneInput jpeg = old;
    jpeg.variantB = true;
    jpeg.status.autoExposure = 1;
    jpeg.status.flash = 0;
    jpeg.compressionLevel = 85;
    EXPECT_EQ(cameraPaneTexts(jpeg),
              (std::array<std::string, 5>{"Exposure:  AUTO     ", "Pics:  7", "Flash:  OFF     ",
                                          "Compression: 85", ""}));
}

} // namespace
} // namespace kv::shell
