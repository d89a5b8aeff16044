#include "app/picture_output.h"

#include "app/document.h"
#include "camera/wave.h"
#include "imaging/picture_file.h"
#include "library/picture_names.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDrag>
#include <QFile>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPrinter>
#include <QSoundEffect>
#include <QUrl>

namespace kv::app {

namespace {

struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

QImage outputImage(Document& document, int index) {
    WaitCursor wait;
    return toQImage(document.renderNow(index, library::RenderMode::Output));
}

} // namespace

QImage toQImage(const imaging::RgbPicture& picture) {
    if (!picture.valid())
        return {};
    return QImage(picture.pixels.data(), picture.width, picture.height, picture.width * 3,
                  QImage::Format_RGB888)
        .copy();
}

bool copyCurrentPicture(Document& document) {
    const QImage image = outputImage(document, document.list().current());
    if (image.isNull())
        return false;
    QApplication::clipboard()->setImage(image);
    return true;
}

DragRefusal dragRefusal(const Document& document) {
    const library::PictureList& list = document.list();
    if (list.current() < 0)
        return DragRefusal::NothingCurrent;
    if (list.anyHighlightedTemporary())
        return DragRefusal::Temporary;
    return DragRefusal::None;
}

QMimeData* makeDragData(Document& document) {
    const library::PictureList& list = document.list();
    const std::vector<int> chosen = list.highlightedIndices();
    auto* data = new QMimeData;
    const bool allJpeg = !chosen.empty() && std::all_of(chosen.begin(), chosen.end(),
                                                        [&](int i) { return list[i].isJpeg != 0; });
    if (allJpeg) {
        QList<QUrl> urls;
        for (int i : chosen)
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(list[i].path)));
        data->setUrls(urls);
    } else {
        data->setImageData(outputImage(document, list.current()));
    }
    return data;
}

void runDrag(Document& document, QWidget* source, const std::function<void()>& closeCommand) {
    switch (dragRefusal(document)) {
    case DragRefusal::NothingCurrent:
        return;
    case DragRefusal::Temporary:
        QMessageBox::information(source, QString::fromUtf8(kDragFailedCaption),
                                 QString::fromUtf8(kDragTemporaryText));
        return;
    case DragRefusal::None:
        break;
    }
    auto* drag = new QDrag(source);
    drag->setMimeData(makeDragData(document));
    const Qt::DropAction done = drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
    if (done == Qt::CopyAction || done == Qt::MoveAction) {
        closeCommand();
        return;
    }
    // Nothing took it: a drop back onto our own window says nothing.
    QWidget* window = source->window();
    if (!window->frameGeometry().contains(QCursor::pos()))
        QMessageBox::information(source, QString::fromUtf8(kDragFailedCaption),
                                 QString::fromUtf8(kDragFailed61238));
}

void runFileDrag(Document& document, int index, QWidget* source) {
    const library::PictureList& list = document.list();
    if (index < 0 || index >= list.count())
        return;
    auto* drag = new QDrag(source);
    auto* data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(QString::fromStdString(list[index].path))});
    drag->setMimeData(data);
    drag->exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
}

QRect printImage(QPrinter& printer, const QImage& image, QSizeF inches) {
    QPainter painter;
    if (!painter.begin(&printer))
        return {};
    const QRect page = painter.viewport();
    const QSize size(qRound(inches.width() * printer.resolution()),
                     qRound(inches.height() * printer.resolution()));
    const QRect target(page.x() + std::max(0, (page.width() - size.width()) / 2),
                       page.y() + std::max(0, (page.height() - size.height()) / 2), size.width(),
                       size.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image);
    painter.end();
    return target;
}

PictureSound::PictureSound(QObject* parent) : QObject(parent) {
    scratch_ = QString::fromStdString(
        (platform::tempDirectory() / ("kvmini-note-" + std::to_string(::getpid()) + ".wav"))
            .string());
}

PictureSound::~PictureSound() {
    delete effect_;
    QFile::remove(scratch_);
}

QString PictureSound::noteFile(const Document& document, int index, QString scratchFile) {
    const library::PictureList& list = document.list();
    if (index < 0 || index >= list.count() || list[index].hasSound == 0)
        return {};
    const library::PictureRecord& r = list[index];
    if (r.isJpeg != 0)
        return QString::fromStdString(library::soundPathOf(r.path));
    Bytes clip;
    std::uint32_t length = 0;
    if (imaging::ReadPictureFile(r.path, imaging::PicturePart::Sound, clip, length) != status::Ok ||
        clip.empty())
        return {};
    const Bytes wave = camera::isWaveFile(clip) ? clip : camera::makeWaveImage(clip);
    if (wave.empty() || !platform::writeFileAtomically(scratchFile.toStdString(), wave))
        return {};
    return scratchFile;
}

bool PictureSound::play(const Document& document, int index) {
    const QString file = noteFile(document, index, scratch_);
    if (file.isEmpty())
        return false;
    // A fresh effect per note: QSoundEffect keeps the first file it loaded otherwise.
    delete effect_;
    effect_ = new QSoundEffect;
    effect_->setSource(QUrl::fromLocalFile(file));
    effect_->play();
    return true;
}

} // namespace kv::app
