// The main view in thumbnail mode: the grid of thumbnails with captions on dark grey, the
// highlight frames, selection by mouse and keys, scrolling by rows and pages. It paints from
// the document's list and asks the document for thumbnails it does not have; it never
// decodes. Commands it cannot do itself (zoom, delete, drag) go out as signals.
#pragma once

#include "library/thumbnail_grid.h"

#include <QAbstractScrollArea>
#include <QPoint>
#include <functional>

namespace kv::app {

class Document;

class ThumbnailView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ThumbnailView(Document& document, QWidget* parent = nullptr);

    // Where the cell counts come from (the main frame's snapped grid); without one they follow
    // the viewport's size.
    void setGridSource(std::function<QSize()> source) { gridSource_ = std::move(source); }
    library::ThumbnailGrid grid() const;
    int firstVisible() const { return firstVisible_; }
    void setFirstVisible(int index);
    // Left and Right move the current picture only in thumbnail mode.
    void setLargeMode(bool on) { largeMode_ = on; }

    // Moves the current picture by `step` (Up/Down), highlighting only it and scrolling one row
    // when it leaves the visible cells.
    void moveCurrent(int step);
    // Recomputes the scroll range and pulls the first visible row back after a shrink.
    void updateScrollRange();

    static QString captionFor(const QString& path);

signals:
    void zoomRequested(int index);
    void deleteRequested();
    void dragRequested();
    // Painting found no pictures: every zoom window closes.
    void emptied();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void onScrollAction(int action);
    void paintPicture(QPainter& painter, int index, const library::GridBox& box);

    Document& document_;
    std::function<QSize()> gridSource_;
    int firstVisible_ = 0;
    bool largeMode_ = false;
    bool pressed_ = false;
    QPoint pressAt_;
    bool adjustingScroll_ = false;
};

} // namespace kv::app
