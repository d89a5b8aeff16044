#include "app/zoom_window.h"

#include "app/document.h"
#include "library/picture_names.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>

namespace kv::app {

ZoomWindow::ZoomWindow(Document& document, int index, QWidget* parent)
    : QWidget(parent, Qt::Window), document_(document), index_(index) {
    setAttribute(Qt::WA_DeleteOnClose);
    setFocusPolicy(Qt::StrongFocus);
    slideTimer_.setSingleShot(true);
    connect(&slideTimer_, &QTimer::timeout, this, &ZoomWindow::nextSlide);
    connect(&document_, &Document::pictureRendered, this,
            [this](std::uint64_t id, std::uint32_t revision,
                   std::shared_ptr<const imaging::RgbPicture> picture) {
                if (id != id_ || revision != revision_)
                    return;
                picture_ = picture ? picture : std::make_shared<const imaging::RgbPicture>();
                update();
            });
    connect(&document_, &Document::pictureChanged, this, [this](int changed) {
        if (changed == index_)
            refresh();
    });
    // Appending re-sorts the list: the picture keeps its window, wherever it moved.
    connect(&document_, &Document::listChanged, this, [this] {
        const int now = document_.list().findId(id_);
        if (now < 0) {
            close();
        } else if (now != index_) {
            index_ = now;
            updateTitle();
        } else {
            updateTitle(); // the count changed
        }
    });
    showPicture(index);
    // The picture's stored size, turned, as the first window size (kept inside the screen by
    // the window system).
    QSize size(480, 400);
    if (index_ >= 0 && index_ < document_.list().count()) {
        const library::PictureRecord& r = document_.list()[index_];
        if (r.storedWidth > 0 && r.storedHeight > 0)
            size = QSize(r.storedWidth, r.storedHeight);
        if (r.edits.rotation == 1 || r.edits.rotation == 3)
            size.transpose();
    }
    resize(size.boundedTo(QSize(960, 960)));
}

QSize ZoomWindow::pictureSize() const {
    return hasPicture() ? QSize(picture_->width, picture_->height) : QSize();
}

void ZoomWindow::showPicture(int index) {
    const library::PictureList& list = document_.list();
    if (index < 0 || index >= list.count())
        return;
    index_ = index;
    refresh();
}

void ZoomWindow::refresh() {
    const library::PictureList& list = document_.list();
    if (index_ < 0 || index_ >= list.count())
        return;
    const library::PictureRecord& r = list[index_];
    if (r.id != id_ || r.revision != revision_)
        picture_.reset();
    id_ = r.id;
    revision_ = r.revision;
    updateTitle();
    request();
    update();
}

void ZoomWindow::request() {
    if (!picture_)
        document_.requestPicture(index_);
}

void ZoomWindow::updateTitle() {
    const library::PictureList& list = document_.list();
    if (index_ < 0 || index_ >= list.count())
        return;
    QString title = QString::fromStdString(library::fileTitle(list[index_].path)) +
                    QStringLiteral("  %1 / %2").arg(index_ + 1).arg(list.count());
    if (paused_)
        title += QStringLiteral("   PAUSED");
    setWindowTitle(title);
}

void ZoomWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!hasPicture())
        return;
    const imaging::RgbPicture& p = *picture_;
    const QImage image(p.pixels.data(), p.width, p.height, p.width * 3, QImage::Format_RGB888);
    QSize target = image.size().scaled(size(), Qt::KeepAspectRatio);
    const QRect where(QPoint((width() - target.width()) / 2, (height() - target.height()) / 2),
                      target);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(where, image);
}

void ZoomWindow::step(int delta) {
    const int count = document_.list().count();
    if (count == 0)
        return;
    const int next = std::clamp(index_ + delta, 0, count - 1);
    if (next == index_)
        return;
    showPicture(next);
    emit pictureChosen(next);
}

void ZoomWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        step(-1);
        break;
    case Qt::Key_Home:
        step(-index_);
        emit pictureChosen(index_);
        break;
    case Qt::Key_End:
        step(document_.list().count() - 1 - index_);
        emit pictureChosen(index_);
        break;
    case Qt::Key_Delete:
        emit deleteRequested();
        break;
    case Qt::Key_X:
        if (event->modifiers() & Qt::ControlModifier)
            emit closeRequested();
        break;
    case Qt::Key_F3:
        emit playSoundRequested(index_);
        break;
    case Qt::Key_Space:
        togglePause();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void ZoomWindow::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat() && event->key() != Qt::Key_Right && event->key() != Qt::Key_Down)
        return;
    switch (event->key()) {
    case Qt::Key_PageUp:
        step(-1);
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
    case Qt::Key_PageDown:
        step(1);
        break;
    default:
        QWidget::keyReleaseEvent(event);
    }
}

void ZoomWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && isActiveWindow())
        emit dragRequested(index_);
}

void ZoomWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        emit pictureChosen(index_);
    QWidget::changeEvent(event);
}

void ZoomWindow::closeEvent(QCloseEvent* event) {
    slideTimer_.stop();
    paused_ = false;
    emit closing(this);
    QWidget::closeEvent(event);
}

void ZoomWindow::startSlideShow(int delaySeconds) {
    paused_ = false;
    slideTimer_.setInterval(std::max(delaySeconds, 0) * 1000);
    emit playSoundRequested(index_);
    if (index_ + 1 < document_.list().count())
        slideTimer_.start();
    updateTitle();
}

void ZoomWindow::togglePause() {
    if (!slideTimer_.isActive() && !paused_)
        return;
    paused_ = !paused_;
    if (paused_)
        slideTimer_.stop();
    else
        slideTimer_.start();
    updateTitle();
}

void ZoomWindow::advanceNow() {
    if (slideTimer_.isActive()) {
        slideTimer_.stop();
        nextSlide();
    }
}

void ZoomWindow::nextSlide() {
    if (paused_ || index_ + 1 >= document_.list().count())
        return;
    step(1);
    emit playSoundRequested(index_);
    if (index_ + 1 < document_.list().count())
        slideTimer_.start();
}

ZoomWindows::ZoomWindows(Document& document, QObject* parent)
    : QObject(parent), document_(document) {
    connect(&document_, &Document::recordsRemoved, this, &ZoomWindows::onRemoved);
}

ZoomWindows::~ZoomWindows() {
    closeAll();
}

ZoomWindow* ZoomWindows::open(int index) {
    if (index < 0 || index >= document_.list().count())
        return nullptr;
    for (auto& slot : slots_) {
        if (slot)
            continue;
        auto* w = new ZoomWindow(document_, index);
        slot = w;
        connect(w, &ZoomWindow::pictureChosen, this, &ZoomWindows::pictureChosen);
        connect(w, &ZoomWindow::deleteRequested, this, &ZoomWindows::deleteRequested);
        connect(w, &ZoomWindow::closeRequested, this, &ZoomWindows::closeRequested);
        connect(w, &ZoomWindow::playSoundRequested, this, &ZoomWindows::playSoundRequested);
        connect(w, &ZoomWindow::dragRequested, this, &ZoomWindows::dragRequested);
        connect(w, &ZoomWindow::closing, this, [this](ZoomWindow* closing) {
            for (auto& s : slots_)
                if (s == closing)
                    s = nullptr;
        });
        w->show();
        return w;
    }
    return nullptr; // every slot is taken
}

int ZoomWindows::openCount() const {
    return static_cast<int>(std::count_if(
        slots_.begin(), slots_.end(), [](const QPointer<ZoomWindow>& w) { return !w.isNull(); }));
}

void ZoomWindows::closeAll() {
    for (auto& slot : slots_)
        if (slot) {
            ZoomWindow* w = slot;
            slot = nullptr;
            w->close();
        }
}

ZoomWindow* ZoomWindows::active() const {
    for (const auto& slot : slots_)
        if (slot && slot->isActiveWindow())
            return slot;
    return nullptr;
}

void ZoomWindows::onRemoved(const std::vector<int>& newIndexOf) {
    for (auto& slot : slots_) {
        if (!slot)
            continue;
        const int old = slot->index();
        const int now = old >= 0 && old < static_cast<int>(newIndexOf.size())
                            ? newIndexOf[std::size_t(old)]
                            : -1;
        if (now < 0) {
            ZoomWindow* w = slot;
            slot = nullptr;
            w->close();
        } else {
            slot->showPicture(now);
        }
    }
}

} // namespace kv::app
