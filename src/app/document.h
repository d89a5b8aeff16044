// The Qt side of the picture list: owns the library's PictureList and a PictureLoader, runs
// the File and Edits commands on it through an Operator, and tells the views what changed.
// Views repaint from the list; they never keep a copy of it. Rendering happens on the
// loader's worker threads; results come back to the GUI thread as queued calls.
#pragma once

#include "base/operator.h"
#include "library/output_renderer.h"
#include "library/picture_list.h"
#include "library/picture_loader.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace kv::app {

class Document : public QObject {
    Q_OBJECT
public:
    // `op` answers the commands' questions (dialogs in the program, a script in tests).
    explicit Document(Operator& op, int loaderThreads = 2, QObject* parent = nullptr);
    ~Document() override;

    library::PictureList& list() { return list_; }
    const library::PictureList& list() const { return list_; }
    Operator& op() { return op_; }
    void setOperator(Operator& op) { op_ = std::ref(op); }
    // True after the first successful open or retrieval.
    bool opened() const { return opened_; }

    // Output size index (section "OUTPUT_SIZE"), used by Copy, drag, print and Save As.
    int outputSize() const { return outputSize_; }
    void setOutputSize(int index) { outputSize_ = index; }

    // Opening. Refused files get message 61259; the others still open.
    bool openOneFile(const QString& path);
    int openFiles(const QStringList& paths);
    // Appends records made elsewhere (retrieval), newest first.
    void appendRecords(std::vector<library::PictureRecord> records);

    // The File menu.
    void closeHighlighted();
    void deleteHighlighted();
    void saveHighlighted();
    void revertHighlighted();
    void renameCurrent(const QString& newName);
    bool exportHighlighted(const QString& chosen);

    // The Edits menu.
    void rotateHighlighted(int direction);
    void whiteBalanceHighlighted();
    void setBrightness(int index, float factor);
    void setNoiseFilter(int iterations);

    // Selection (from the views).
    void setCurrent(int index);
    void highlightOnly(int index);
    void highlightRange(int from, int to);
    void toggleHighlighted(int index);
    void selectAll();

    // Background rendering. A thumbnail that is not cached is asked for (the visible page
    // `urgent`); the result lands in the record and thumbnailReady() fires. A thumbnail that
    // could not be made is cached as an invalid picture (the view draws a placeholder).
    void requestThumbnail(int index, bool urgent);
    // The picture at its stored size with its edits (zoom windows): pictureRendered() fires.
    void requestPicture(int index);
    // Renders on the calling thread (commands that hand a picture out: Copy, drag, print).
    imaging::RgbPicture renderNow(int index, library::RenderMode mode) const;
    // Waiting plus running background jobs (tests wait for 0).
    std::size_t backgroundJobs() const { return loader_->busy(); }

signals:
    // Records were added, removed, re-ordered or re-read: views recompute their layout.
    void listChanged();
    // Marks or the current picture changed: views repaint.
    void selectionChanged();
    // Records were removed: old index -> new index (-1 = gone), for the zoom windows.
    void recordsRemoved(const std::vector<int>& newIndexOf);
    // A picture's file or edits changed (its thumbnail is being made again).
    void pictureChanged(int index);
    void thumbnailReady(int index);
    void pictureRendered(std::uint64_t id, std::uint32_t revision,
                         std::shared_ptr<const imaging::RgbPicture> picture);

private:
    void onRendered(library::RenderResult result);
    void afterRemoval(const std::vector<int>& map);
    void afterEdit();

    std::reference_wrapper<Operator> op_;
    library::PictureList list_;
    std::unique_ptr<library::PictureLoader> loader_;
    QSet<QString> pendingThumbnails_; // "id:revision"
    bool opened_ = false;
    int outputSize_ = library::kDefaultOutputSize;
};

} // namespace kv::app
