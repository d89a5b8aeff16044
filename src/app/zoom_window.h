// Zoom windows: one picture large, at most ten at once. A window shows its picture at the
// stored size with the edits applied (rendered by the document's workers), scaled to the
// window; its title is the file title and the picture's place in the list ("3 / 27"). It
// follows the list (its index moves down when earlier pictures go; it closes when its own
// picture goes) and runs the slide show on a timer, so the program stays responsive.
#pragma once

#include "imaging/rgb_picture.h"

#include <QPoint>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <vector>

namespace kv::app {

class Document;

class ZoomWindow : public QWidget {
    Q_OBJECT
public:
    ZoomWindow(Document& document, int index, QWidget* parent = nullptr);

    int index() const { return index_; }
    // Shows picture `index` (Home/End/arrows and the slide show).
    void showPicture(int index);
    // The picture's record changed (edits, save, revert, rename): render again.
    void refresh();
    bool hasPicture() const { return picture_ && picture_->valid(); }
    QSize pictureSize() const;

    // Slide show: each picture for `delaySeconds` (0 allowed), from the current index to the
    // last picture, where it stops. Space pauses ("   PAUSED" in the title).
    void startSlideShow(int delaySeconds);
    bool slideShowRunning() const { return slideTimer_.isActive() || paused_; }
    bool paused() const { return paused_; }
    void togglePause();
    // A command arrived: the wait for the next slide ends early.
    void advanceNow();

signals:
    // The window made its picture the current one (activation, keys, the slide show).
    void pictureChosen(int index);
    void deleteRequested();
    void closeRequested();
    void playSoundRequested(int index);
    void dragRequested(int index);
    // The window is closing (its slot becomes free).
    void closing(ZoomWindow* window);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void updateTitle();
    void step(int delta);
    void request();
    void nextSlide();

    Document& document_;
    int index_;
    std::uint64_t id_ = 0;
    std::uint32_t revision_ = 0;
    std::shared_ptr<const imaging::RgbPicture> picture_;
    QTimer slideTimer_;
    bool paused_ = false;
};

// The ten slots of the view.
class ZoomWindows : public QObject {
    Q_OBJECT
public:
    static constexpr int kSlots = 10;
    explicit ZoomWindows(Document& document, QObject* parent = nullptr);
    ~ZoomWindows() override;

    // Opens a window on `index`; null (nothing opened) when every slot is taken or there is
    // no such picture.
    ZoomWindow* open(int index);
    int openCount() const;
    void closeAll();
    ZoomWindow* window(int slot) const { return slots_[static_cast<std::size_t>(slot)]; }
    // The window with keyboard focus, if any (Space and commands of the slide show).
    ZoomWindow* active() const;

signals:
    void pictureChosen(int index);
    void deleteRequested();
    void closeRequested();
    void playSoundRequested(int index);
    void dragRequested(int index);

private:
    void onRemoved(const std::vector<int>& newIndexOf);

    Document& document_;
    std::array<QPointer<ZoomWindow>, kSlots> slots_{};
};

} // namespace kv::app
