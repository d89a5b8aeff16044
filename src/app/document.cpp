#include "app/document.h"

#include "library/picture_export.h"
#include "library/picture_files.h"

#include <QMetaObject>
#include <QPointer>

namespace kv::app {

namespace {

QString pendingKey(std::uint64_t id, std::uint32_t revision, library::RenderMode mode) {
    return QStringLiteral("%1:%2:%3").arg(id).arg(revision).arg(int(mode));
}

} // namespace

Document::Document(Operator& op, int loaderThreads, QObject* parent) : QObject(parent), op_(op) {
    // Results arrive on a worker; the queued call brings them to this object's thread. The
    // QPointer guards against a document already gone when the call runs.
    QPointer<Document> self(this);
    loader_ = std::make_unique<library::PictureLoader>(
        loaderThreads, [self](library::RenderResult result) {
            QMetaObject::invokeMethod(
                self.data(),
                [self, result = std::move(result)]() mutable {
                    if (self)
                        self->onRendered(std::move(result));
                },
                Qt::QueuedConnection);
        });
}

Document::~Document() {
    loader_.reset(); // joins the workers before the list goes
}

bool Document::openOneFile(const QString& path) {
    const int before = list_.count();
    const library::OpenOutcome outcome = library::openOneFile(list_, path.toStdString());
    if (outcome == library::OpenOutcome::Refused) {
        op_.get().message(library::formatMessage(library::kNotCompatible61259, path.toStdString()));
        return false;
    }
    if (list_.count() != before) {
        opened_ = true;
        emit listChanged();
        emit selectionChanged();
    }
    return true;
}

int Document::openFiles(const QStringList& paths) {
    int opened = 0;
    for (const QString& p : paths)
        opened += openOneFile(p) ? 1 : 0;
    return opened;
}

void Document::appendRecords(std::vector<library::PictureRecord> records) {
    if (records.empty())
        return;
    list_.append(std::move(records), true);
    opened_ = true;
    emit listChanged();
    emit selectionChanged();
}

void Document::afterRemoval(const std::vector<int>& map) {
    emit recordsRemoved(map);
    emit listChanged();
    emit selectionChanged();
}

void Document::closeHighlighted() {
    afterRemoval(library::closeHighlighted(list_, op_.get()));
}

void Document::deleteHighlighted() {
    if (const auto map = library::deleteHighlighted(list_, op_.get()))
        afterRemoval(*map);
}

void Document::saveHighlighted() {
    for (int index : library::saveHighlighted(list_, op_.get()))
        emit pictureChanged(index);
    emit selectionChanged();
}

void Document::revertHighlighted() {
    for (int index : library::revertHighlighted(list_, op_.get()))
        emit pictureChanged(index);
    emit selectionChanged();
}

void Document::renameCurrent(const QString& newName) {
    const int index = list_.current();
    if (index < 0)
        return;
    library::renamePicture(list_, index, newName.toStdString(), op_.get());
    emit pictureChanged(index);
}

bool Document::exportHighlighted(const QString& chosen) {
    return library::exportHighlighted(list_, chosen.toStdString(), outputSize_, op_.get()) ==
           status::Ok;
}

void Document::afterEdit() {
    for (int index : list_.highlightedIndices())
        emit pictureChanged(index);
    emit selectionChanged();
}

void Document::rotateHighlighted(int direction) {
    library::rotateHighlighted(list_, direction, &op_.get());
    afterEdit();
}

void Document::whiteBalanceHighlighted() {
    library::whiteBalanceHighlighted(list_, &op_.get());
    afterEdit();
}

void Document::setBrightness(int index, float factor) {
    if (index < 0 || index >= list_.count())
        return;
    library::brightnessOf(list_[index], factor, &op_.get());
    emit pictureChanged(index);
    emit selectionChanged();
}

void Document::setNoiseFilter(int iterations) {
    library::noiseFilterHighlighted(list_, iterations, &op_.get());
    afterEdit();
}

void Document::setCurrent(int index) {
    list_.setCurrent(index);
    emit selectionChanged();
}

void Document::highlightOnly(int index) {
    list_.highlightOnly(index);
    emit selectionChanged();
}

void Document::highlightRange(int from, int to) {
    list_.highlightRange(from, to);
    emit selectionChanged();
}

void Document::toggleHighlighted(int index) {
    list_.toggleHighlighted(index);
    emit selectionChanged();
}

void Document::selectAll() {
    if (list_.empty())
        return;
    list_.highlightAll();
    list_.setCurrent(0);
    emit selectionChanged();
}

void Document::requestThumbnail(int index, bool urgent) {
    if (index < 0 || index >= list_.count())
        return;
    const library::PictureRecord& r = list_[index];
    if (r.thumbnail)
        return;
    const QString key = pendingKey(r.id, r.revision, library::RenderMode::Thumbnail);
    if (pendingThumbnails_.contains(key) && !urgent)
        return;
    pendingThumbnails_.insert(key);
    loader_->request(
        {r.id, r.revision, library::renderSourceOf(r), library::RenderMode::Thumbnail, outputSize_},
        urgent);
}

void Document::requestPicture(int index) {
    if (index < 0 || index >= list_.count())
        return;
    const library::PictureRecord& r = list_[index];
    loader_->request(
        {r.id, r.revision, library::renderSourceOf(r), library::RenderMode::Stored, outputSize_},
        true);
}

imaging::RgbPicture Document::renderNow(int index, library::RenderMode mode) const {
    if (index < 0 || index >= list_.count())
        return {};
    return library::renderPicture(library::renderSourceOf(list_[index]), mode, outputSize_);
}

void Document::onRendered(library::RenderResult result) {
    const int index = list_.findId(result.id);
    if (result.mode != library::RenderMode::Thumbnail) {
        if (index >= 0)
            emit pictureRendered(result.id, result.revision, result.picture);
        return;
    }
    pendingThumbnails_.remove(pendingKey(result.id, result.revision, result.mode));
    if (index < 0 || list_[index].revision != result.revision)
        return; // the picture went or changed meanwhile
    list_[index].thumbnail =
        result.picture ? result.picture : std::make_shared<const imaging::RgbPicture>();
    emit thumbnailReady(index);
}

} // namespace kv::app
