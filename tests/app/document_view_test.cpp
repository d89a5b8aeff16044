// The picture views driven as a user drives them: the grid, selection, zoom windows, the
// slide show, drag refusal, printing and the dialogs' fields.
#include "app/document.h"
#include "app/picture_dialogs.h"
#include "app/picture_output.h"
#include "app/thumbnail_view.h"
#include "app/zoom_window.h"
#include "library/picture_files.h"
#include "library/picture_files_support.h"
#include "platform/atomic_file.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPrinter>
#include <QScrollBar>
#include <QSlider>
#include <QTest>
#include <QWheelEvent>
#include <fstream>

namespace kv::app {
namespace {

using library::testing::ScriptedOperator;
using library::testing::writeJpegPicture;

// Waits (events running) until `done` holds, at most a few seconds.
template <typename Done>
bool waitFor(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        QTest::qWait(10);
    return done();
}

class Views : public ::testing::Test {
protected:
    // `count` JPEG pictures, picture i newer than picture i + 1 (names "p00".."p12").
    void openPictures(int count, int width = 96, int height = 80) {
        for (int i = 0; i < count; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "p%02d.jpg", i);
            const std::string path = writeJpegPicture(dir / name, width, height, i);
            library::PictureRecord r;
            ASSERT_TRUE(library::readPictureRecord(path, r));
            r.sortKey = 1000 - i;
            document.appendRecords({r});
        }
    }
    QPoint boxCentre(int index) const {
        const auto box = view->grid().boxOf(index, view->firstVisible(), document.list().count());
        return box ? QPoint(box->x + 60, box->y + 60) : QPoint(-1, -1);
    }
    void makeView(int columns, int rows) {
        view = std::make_unique<ThumbnailView>(document);
        view->setGridSource([columns, rows] { return QSize(columns, rows); });
        view->resize(columns * 130 + 30, rows * 150 + 10);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        view->updateScrollRange();
    }

    kv::testing::ScratchDir dir;
    ScriptedOperator op;
    Document document{op};
    std::unique_ptr<ThumbnailView> view;
};

TEST_F(Views, ScrollBarOnlyWhenThePicturesDoNotFit) {
    openPictures(12);
    makeView(4, 3);
    EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    openPictures(1);
    EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(view->verticalScrollBar()->maximum(), 1);
    view->setFirstVisible(4);
    EXPECT_EQ(view->verticalScrollBar()->value(), 1);
    // Shrinking pulls the first row back so that the last page is full.
    document.highlightOnly(12);
    document.closeHighlighted();
    EXPECT_EQ(view->firstVisible(), 0);
    EXPECT_EQ(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(Views, MouseSelectionPlainShiftAndCtrl) {
    openPictures(10);
    makeView(4, 3);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, boxCentre(7));
    EXPECT_EQ(document.list().current(), 7);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, boxCentre(3));
    EXPECT_EQ(document.list().highlightedIndices(), (std::vector<int>{3, 4, 5, 6, 7}));
    EXPECT_EQ(document.list().current(), 3);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, boxCentre(5));
    EXPECT_EQ(document.list().highlightedIndices(), (std::vector<int>{3, 4, 6, 7}));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(131, 60)); // between boxes
    EXPECT_EQ(document.list().current(), 5);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, boxCentre(0));
    EXPECT_EQ(document.list().highlightedIndices(), std::vector<int>{0});
}

TEST_F(Views, KeysMoveTheCurrentPictureAndScrollOneRow) {
    openPictures(20);
    makeView(4, 3);
    document.setCurrent(11);
    QTest::keyClick(view.get(), Qt::Key_Down);
    EXPECT_EQ(document.list().current(), 12);
    EXPECT_EQ(view->firstVisible(), 4);
    EXPECT_EQ(document.list().highlightedIndices(), std::vector<int>{12});
    QTest::keyClick(view.get(), Qt::Key_End);
    EXPECT_EQ(view->firstVisible(), 8);
    QTest::keyClick(view.get(), Qt::Key_PageUp);
    EXPECT_EQ(view->firstVisible(), 0);
    QTest::keyClick(view.get(), Qt::Key_PageDown);
    EXPECT_EQ(view->firstVisible(), 8);
    QTest::keyClick(view.get(), Qt::Key_Home);
    EXPECT_EQ(view->firstVisible(), 0);
    // Left and Right only in thumbnail mode.
    view->setLargeMode(true);
    QTest::keyClick(view.get(), Qt::Key_Right);
    EXPECT_EQ(document.list().current(), 12);
    view->setLargeMode(false);
    QTest::keyClick(view.get(), Qt::Key_Left);
    EXPECT_EQ(document.list().current(), 11);
}

TEST_F(Views, ThumbnailsArriveFromTheWorkersAndDamagedFilesShowAPlaceholder) {
    openPictures(2, 960, 800);
    const std::string cut = (dir / "cut.jpg").string();
    {
        Bytes bytes;
        ASSERT_TRUE(platform::readWholeFile(document.list()[0].path, bytes));
        std::ofstream(cut, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size() / 3));
    }
    ASSERT_TRUE(document.openOneFile(QString::fromStdString(cut)));
    std::ofstream(dir / "junk.kvi") << "II*\0junk";
    EXPECT_FALSE(document.openOneFile(QString::fromStdString((dir / "junk.kvi").string())));
    makeView(4, 3);
    ASSERT_TRUE(waitFor([&] {
        for (const auto& r : document.list().records())
            if (!r.thumbnail)
                return false;
        return true;
    }));
    const QImage shot = view->viewport()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(2, 2), QColor(80, 80, 80));
    const int jpeg = document.list().find((dir / "p00.jpg").string());
    ASSERT_GE(jpeg, 0);
    EXPECT_EQ(document.list()[jpeg].thumbnail->width, 120);
    EXPECT_EQ(document.list()[jpeg].thumbnail->height, 100);
    // The caption line is drawn on the background under the box.
    EXPECT_EQ(ThumbnailView::captionFor("/x/ABCDEFGHIJK.jpg"), "ABCDEFGHIJK");
    EXPECT_EQ(ThumbnailView::captionFor("/x/ABCDEFGHIJKL.jpg"), "ABCDEFGHIJ ...");
}

TEST_F(Views, ZoomWindowsFollowTheList) {
    openPictures(12);
    ZoomWindows zoom(document);
    std::vector<ZoomWindow*> windows;
    for (int i = 0; i < 10; ++i)
        windows.push_back(zoom.open(i));
    EXPECT_EQ(zoom.openCount(), 10);
    EXPECT_EQ(zoom.open(11), nullptr); // the 11th is not opened
    EXPECT_EQ(windows[3]->windowTitle(), "p03  4 / 12");
    ASSERT_TRUE(waitFor([&] { return windows[9]->hasPicture(); }));
    EXPECT_EQ(windows[9]->pictureSize(), QSize(96, 80));

    QPointer<ZoomWindow> second = windows[2];
    document.highlightOnly(2);
    document.list().setHighlighted(0, true);
    document.closeHighlighted();
    EXPECT_TRUE(second.isNull() || !second->isVisible());
    EXPECT_EQ(windows[5]->index(), 3);
    EXPECT_EQ(zoom.openCount(), 8);
    EXPECT_NE(zoom.open(0), nullptr);
    zoom.closeAll();
    EXPECT_EQ(zoom.openCount(), 0);
}

TEST_F(Views, SlideShowRunsToTheLastPictureAndPauses) {
    openPictures(3);
    ZoomWindows zoom(document);
    std::vector<int> chosen;
    QObject::connect(&zoom, &ZoomWindows::pictureChosen, [&](int i) { chosen.push_back(i); });
    ZoomWindow* w = zoom.open(0);
    ASSERT_NE(w, nullptr);
    w->startSlideShow(0);
    ASSERT_TRUE(waitFor([&] { return w->index() == 2; }));
    QTest::qWait(50);
    EXPECT_EQ(w->index(), 2);
    EXPECT_FALSE(w->slideShowRunning());
    ASSERT_FALSE(chosen.empty());
    EXPECT_EQ(chosen.front(), 1);
    EXPECT_EQ(chosen.back(), 2);

    w->showPicture(0);
    w->startSlideShow(100);
    QTest::keyClick(w, Qt::Key_Space);
    EXPECT_TRUE(w->paused());
    EXPECT_TRUE(w->windowTitle().endsWith("   PAUSED"));
    QTest::keyClick(w, Qt::Key_Space);
    EXPECT_FALSE(w->windowTitle().endsWith("   PAUSED"));
    w->advanceNow();
    EXPECT_EQ(w->index(), 1);
}

TEST_F(Views, DragOffersFilesOnlyForJpegPicturesAndRefusesWorkingCopies) {
    openPictures(2);
    std::string kvi = library::testing::writeKviPicture(dir / "k.kvi", 5000);
    document.openOneFile(QString::fromStdString(kvi));
    document.highlightOnly(1);
    document.highlightRange(1, 2);
    document.setCurrent(1);
    std::unique_ptr<QMimeData> files(makeDragData(document));
    EXPECT_EQ(files->urls().size(), 2);
    document.highlightRange(0, 2);
    std::unique_ptr<QMimeData> image(makeDragData(document));
    EXPECT_TRUE(image->urls().isEmpty());
    EXPECT_EQ(qvariant_cast<QImage>(image->imageData()).size(), QSize(960, 800));

    EXPECT_EQ(dragRefusal(document), DragRefusal::None);
    document.highlightOnly(1);
    document.rotateHighlighted(1);
    EXPECT_EQ(dragRefusal(document), DragRefusal::Temporary);
}

TEST_F(Views, PrintPutsThePictureOnThePageAtTheCanvasSize) {
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString((dir / "out.pdf").string()));
    QImage image(96, 80, QImage::Format_RGB888);
    image.fill(Qt::red);
    const QRect used = printImage(printer, image, QSizeF(4.8, 4.0));
    EXPECT_EQ(used.width(), qRound(4.8 * printer.resolution()));
    EXPECT_EQ(used.height(), qRound(4.0 * printer.resolution()));
    EXPECT_GT(std::filesystem::file_size(dir / "out.pdf"), 0u);
}

TEST(Dialogs, CanvasFieldsStayTiedAndRefuseLetters) {
    CanvasSizeDialog dialog(4.8, 4.0);
    QLineEdit* width = dialog.widthField();
    EXPECT_EQ(width->text(), "4.800");
    width->clear();
    QTest::keyClicks(width, "9.6");
    EXPECT_EQ(dialog.heightField()->text(), "8.000");
    QTest::keyClick(width, Qt::Key_A);
    EXPECT_EQ(width->text(), "9.6");
    QTest::keyClick(dialog.heightField(), Qt::Key_End);
    QTest::keyClick(dialog.heightField(), Qt::Key_Backspace);
    EXPECT_EQ(dialog.heightField()->text(), "8.00");
    EXPECT_EQ(width->text(), "9.600");
}

TEST(Dialogs, OutputSizeKeepsTheRowAcrossUnits) {
    OutputSizeDialog dialog(2, 2, nullptr);
    EXPECT_EQ(dialog.sizeList()->currentItem()->text(), "240    X   200");
    dialog.unitList()->setCurrentIndex(1);
    EXPECT_EQ(dialog.sizeIndex(), 2);
    EXPECT_EQ(dialog.sizeList()->currentItem()->text(), "8.5    X   7.1");
    OutputSizeDialog outOfRange(9, 7, nullptr);
    EXPECT_EQ(outOfRange.sizeIndex(), 4);
    EXPECT_EQ(outOfRange.units(), 0);
}

TEST(Dialogs, BrightnessPreviewFollowsTheSlider) {
    auto small = std::make_shared<imaging::RgbPicture>();
    small->width = 120;
    small->height = 100;
    small->pixels.assign(120 * 100 * 3, 100);
    BrightnessDialog dialog(small);
    EXPECT_FLOAT_EQ(dialog.factor(), 1.0f);
    dialog.slider()->setValue(150);
    EXPECT_FLOAT_EQ(dialog.factor(), 2.5f);
    EXPECT_EQ(dialog.previewImage().pixelColor(5, 5), QColor(250, 250, 250));
}

} // namespace
} // namespace kv::app

namespace kv::app {
namespace {

TEST_F(Views, ZoomKeysWalkTheListAndFollowAppendedPictures) {
    openPictures(5);
    ZoomWindows zoom(document);
    std::vector<int> chosen;
    int deletes = 0;
    int closes = 0;
    QObject::connect(&zoom, &ZoomWindows::pictureChosen, [&](int i) { chosen.push_back(i); });
    QObject::connect(&zoom, &ZoomWindows::deleteRequested, [&] { ++deletes; });
    QObject::connect(&zoom, &ZoomWindows::closeRequested, [&] { ++closes; });
    ZoomWindow* w = zoom.open(2);
    ASSERT_NE(w, nullptr);
    QTest::keyClick(w, Qt::Key_Left); // on key down
    EXPECT_EQ(w->index(), 1);
    QTest::keyPress(w, Qt::Key_PageDown); // only on key up
    EXPECT_EQ(w->index(), 1);
    QTest::keyRelease(w, Qt::Key_PageDown);
    EXPECT_EQ(w->index(), 2);
    QTest::keyClick(w, Qt::Key_End);
    EXPECT_EQ(w->index(), 4);
    QTest::keyClick(w, Qt::Key_Home);
    EXPECT_EQ(w->index(), 0);
    EXPECT_EQ(chosen.back(), 0);
    QTest::keyClick(w, Qt::Key_Delete);
    QTest::keyClick(w, Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(deletes, 1);
    EXPECT_EQ(closes, 1);

    // A newer picture goes in front: the window keeps showing its picture.
    const std::string shown = document.list()[0].path;
    library::PictureRecord newer;
    ASSERT_TRUE(library::readPictureRecord(writeJpegPicture(dir / "new.jpg"), newer));
    newer.sortKey = 99999;
    document.appendRecords({newer});
    EXPECT_EQ(w->index(), 1);
    EXPECT_EQ(document.list()[w->index()].path, shown);
    EXPECT_EQ(w->windowTitle(), "p00  2 / 6");
}

TEST_F(Views, ScrollBarArrowsAndWheel) {
    openPictures(20);
    makeView(4, 3);
    document.setCurrent(11);
    view->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(document.list().current(), 12);
    EXPECT_EQ(view->firstVisible(), 4);
    QWheelEvent down(QPointF(50, 50), QPointF(50, 50), {}, QPoint(0, -240), Qt::NoButton, {},
                     Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &down);
    EXPECT_EQ(view->firstVisible(), 8);
    view->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(view->firstVisible(), 0);
}

} // namespace
} // namespace kv::app
