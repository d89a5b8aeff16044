#include "app/thumbnail_view.h"

#include "app/document.h"
#include "library/picture_names.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

namespace kv::app {

namespace {

const QColor kBackground(80, 80, 80);
const QColor kHighlight(255, 255, 0);
const QColor kPlaceholder(60, 60, 60);

QImage imageOf(const imaging::RgbPicture& picture) {
    return QImage(picture.pixels.data(), picture.width, picture.height, picture.width * 3,
                  QImage::Format_RGB888);
}

// A small loudspeaker in the box's corner: the picture has a sound note.
void drawSpeakerBadge(QPainter& painter, QPoint at) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, 160));
    painter.drawRoundedRect(QRect(at, QSize(18, 14)), 3, 3);
    painter.setBrush(Qt::white);
    painter.drawRect(at.x() + 3, at.y() + 5, 3, 4);
    QPainterPath cone;
    cone.moveTo(at.x() + 6, at.y() + 5);
    cone.lineTo(at.x() + 11, at.y() + 2);
    cone.lineTo(at.x() + 11, at.y() + 12);
    cone.lineTo(at.x() + 6, at.y() + 9);
    cone.closeSubpath();
    painter.drawPath(cone);
    painter.setPen(QPen(Qt::white, 1));
    painter.drawArc(QRect(at.x() + 10, at.y() + 4, 5, 6), -60 * 16, 120 * 16);
    painter.restore();
}

} // namespace

ThumbnailView::ThumbnailView(Document& document, QWidget* parent)
    : QAbstractScrollArea(parent), document_(document) {
    setFocusPolicy(Qt::StrongFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setAutoFillBackground(false);
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
            &ThumbnailView::onScrollAction);
    connect(&document_, &Document::listChanged, this, [this] {
        updateScrollRange();
        viewport()->update();
    });
    connect(&document_, &Document::selectionChanged, viewport(), qOverload<>(&QWidget::update));
    connect(&document_, &Document::thumbnailReady, viewport(), qOverload<>(&QWidget::update));
    connect(&document_, &Document::pictureChanged, viewport(), qOverload<>(&QWidget::update));
}

library::ThumbnailGrid ThumbnailView::grid() const {
    if (gridSource_) {
        const QSize cells = gridSource_();
        return {cells.width(), cells.height()};
    }
    return {viewport()->width() / library::ThumbnailGrid::kPitchX,
            viewport()->height() / library::ThumbnailGrid::kPitchY};
}

QString ThumbnailView::captionFor(const QString& path) {
    return QString::fromStdString(library::captionForTitle(library::fileTitle(path.toStdString())));
}

void ThumbnailView::setFirstVisible(int index) {
    const int clamped = grid().clampFirstVisible(index, document_.list().count());
    if (clamped == firstVisible_)
        return;
    firstVisible_ = clamped;
    updateScrollRange();
    viewport()->update();
}

void ThumbnailView::updateScrollRange() {
    const library::ThumbnailGrid g = grid();
    const int count = document_.list().count();
    firstVisible_ = g.clampFirstVisible(firstVisible_, count);
    adjustingScroll_ = true;
    QScrollBar* bar = verticalScrollBar();
    const bool show = g.needsScrollBar(count);
    setVerticalScrollBarPolicy(show ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    bar->setRange(0, g.lastFirstRow(count));
    bar->setPageStep(g.rows());
    bar->setSingleStep(1);
    bar->setValue(firstVisible_ / g.columns());
    adjustingScroll_ = false;
}

void ThumbnailView::scrollContentsBy(int, int) {
    if (adjustingScroll_)
        return;
    const library::ThumbnailGrid g = grid();
    firstVisible_ =
        g.clampFirstVisible(verticalScrollBar()->value() * g.columns(), document_.list().count());
    viewport()->update();
}

void ThumbnailView::onScrollAction(int action) {
    // The line arrows move the current picture, as Up and Down do.
    if (action != QAbstractSlider::SliderSingleStepAdd &&
        action != QAbstractSlider::SliderSingleStepSub)
        return;
    QScrollBar* bar = verticalScrollBar();
    bar->setSliderPosition(bar->value());
    moveCurrent(action == QAbstractSlider::SliderSingleStepAdd ? 1 : -1);
}

void ThumbnailView::moveCurrent(int step) {
    const library::PictureList& list = document_.list();
    if (list.empty())
        return;
    const int next = std::clamp(list.current() + step, 0, list.count() - 1);
    document_.setCurrent(next);
    document_.highlightOnly(next);
    setFirstVisible(grid().firstVisibleShowing(next, firstVisible_, list.count()));
}

void ThumbnailView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}

void ThumbnailView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), kBackground);
    const library::PictureList& list = document_.list();
    if (list.empty()) {
        emit emptied();
        return;
    }
    const library::ThumbnailGrid g = grid();
    QFont small = painter.font();
    small.setPointSize(7);
    painter.setFont(small);
    // Column by column, and row by row inside a column.
    for (int column = 0; column < g.columns(); ++column)
        for (int row = 0; row < g.rows(); ++row) {
            const int index = firstVisible_ + column + row * g.columns();
            if (const auto box = g.boxOf(index, firstVisible_, list.count()))
                paintPicture(painter, index, *box);
        }
    // The pages after this one, so scrolling finds them ready.
    for (int i = firstVisible_ + g.pageSize(); i < list.count(); ++i)
        document_.requestThumbnail(i, false);
}

void ThumbnailView::paintPicture(QPainter& painter, int index, const library::GridBox& box) {
    const library::PictureRecord& record = document_.list()[index];
    const int boxSize = library::ThumbnailGrid::kBox;
    const QRect boxRect(box.x, box.y, boxSize, boxSize);
    if (record.thumbnail && record.thumbnail->valid()) {
        const imaging::RgbPicture& t = *record.thumbnail;
        painter.drawImage(QPoint(box.x + (boxSize - t.width) / 2, box.y + (boxSize - t.height) / 2),
                          imageOf(t));
    } else {
        // Not ready yet, or a file that could not be read: a placeholder.
        painter.fillRect(boxRect.adjusted(10, 20, -10, -20), kPlaceholder);
        if (record.thumbnail) {
            painter.setPen(QPen(QColor(150, 150, 150), 2));
            painter.drawLine(box.x + 40, box.y + 40, box.x + 80, box.y + 80);
            painter.drawLine(box.x + 80, box.y + 40, box.x + 40, box.y + 80);
        } else {
            document_.requestThumbnail(index, true);
        }
    }
    if (record.hasSound != 0)
        drawSpeakerBadge(painter, QPoint(box.x + boxSize - 20, box.y + boxSize - 16));
    if (record.highlighted) {
        painter.setPen(QPen(kHighlight, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(boxRect.adjusted(-2, -2, 1, 1));
    }
    const QRect caption(box.x - 4, box.y + boxSize + 2, boxSize + 8,
                        library::ThumbnailGrid::kCaptionHeight);
    painter.fillRect(caption, kBackground);
    painter.setPen(Qt::white);
    painter.drawText(caption, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine,
                     captionFor(QString::fromStdString(record.path)));
}

void ThumbnailView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    const int index = grid().hitTest(p.x(), p.y(), firstVisible_, document_.list().count());
    if (index < 0)
        return;
    const int current = document_.list().current();
    if (event->modifiers() & Qt::ShiftModifier) {
        document_.highlightRange(current, index);
    } else if (event->modifiers() & Qt::ControlModifier) {
        document_.toggleHighlighted(index);
    } else {
        document_.highlightOnly(index);
    }
    document_.setCurrent(index);
    pressed_ = true;
    pressAt_ = p;
}

void ThumbnailView::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || !(event->buttons() & Qt::LeftButton))
        return;
    if ((event->position().toPoint() - pressAt_).manhattanLength() <
        QApplication::startDragDistance())
        return;
    pressed_ = false;
    emit dragRequested();
}

void ThumbnailView::mouseReleaseEvent(QMouseEvent*) {
    pressed_ = false;
}

void ThumbnailView::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const int index = grid().hitTest(p.x(), p.y(), firstVisible_, document_.list().count());
    if (index < 0)
        return;
    document_.setCurrent(index);
    emit zoomRequested(index);
}

void ThumbnailView::keyPressEvent(QKeyEvent* event) {
    const library::ThumbnailGrid g = grid();
    const int count = document_.list().count();
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (document_.list().current() >= 0)
            emit zoomRequested(document_.list().current());
        break;
    case Qt::Key_PageUp:
        if (g.needsScrollBar(count))
            setFirstVisible(firstVisible_ - g.pageSize());
        break;
    case Qt::Key_PageDown:
        if (g.needsScrollBar(count))
            setFirstVisible(firstVisible_ + g.pageSize());
        break;
    case Qt::Key_Home:
        setFirstVisible(0);
        break;
    case Qt::Key_End:
        setFirstVisible(count);
        break;
    case Qt::Key_Up:
        moveCurrent(-1);
        break;
    case Qt::Key_Down:
        moveCurrent(1);
        break;
    case Qt::Key_Left:
        if (!largeMode_)
            moveCurrent(-1);
        break;
    case Qt::Key_Right:
        if (!largeMode_)
            moveCurrent(1);
        break;
    case Qt::Key_Delete:
        if (document_.list().current() >= 0)
            emit deleteRequested();
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
}

void ThumbnailView::wheelEvent(QWheelEvent* event) {
    // One row per notch.
    const int notches = event->angleDelta().y() / 120;
    if (notches == 0)
        return;
    setFirstVisible(firstVisible_ - notches * grid().columns());
    event->accept();
}

} // namespace kv::app
