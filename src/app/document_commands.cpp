#include "app/document_commands.h"

#include "app/application.h"
#include "app/command_handlers.h"
#include "app/main_frame.h"
#include "app/picture_dialogs.h"
#include "app/qt_operator.h"
#include "library/output_renderer.h"
#include "library/output_size.h"
#include "library/picture_edits.h"
#include "library/picture_export.h"
#include "library/picture_files.h"
#include "library/picture_info.h"
#include "library/picture_names.h"
#include "library/twain_handoff.h"
#include "shell/command_table.h"
#include "shell/editions.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QTimer>
#include <atomic>
#include <thread>

namespace kv::app {

namespace cmd = shell::cmd;

namespace {

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

DocumentCommands::DocumentCommands(Application& app)
    : QObject(&app), app_(app), startOperator_(std::make_unique<SilentOperator>()),
      canvas_(library::kCanvasWidthStart, library::kCanvasHeightStart) {
    setObjectName(QStringLiteral("documentCommands"));
    document_ = new Document(*startOperator_, 2, this);
    document_->setOutputSize(app_.settings().outputSize());
    zoom_ = new ZoomWindows(*document_, this);
    sound_ = new PictureSound(this);

    app_.openOneFile = [this](const QString& path) { return document_->openOneFile(path); };

    add(cmd::Open, [this] { open(); });
    add(cmd::Close, [this] { document_->closeHighlighted(); });
    add(cmd::DeleteImages, [this] { document_->deleteHighlighted(); });
    add(cmd::Save, [this] { document_->saveHighlighted(); });
    add(cmd::SaveAs, [this] { saveAs(); });
    add(cmd::Revert, [this] { document_->revertHighlighted(); });
    add(cmd::Rename, [this] { rename(); });
    add(cmd::Copy, [this] { copyCurrentPicture(*document_); });
    add(cmd::SelectAll, [this] { document_->selectAll(); });
    add(cmd::ViewLarge, [this] { viewLarge(); });
    add(cmd::ViewThumbnails, [this] { viewThumbnails(); });
    add(cmd::SlideShow, [this] {
        bool ok = false;
        const int delay = QInputDialog::getInt(app_.frame(), tr("Slide Show Speed"),
                                               tr("Delay between slides:"), 3, 0, 100, 1, &ok);
        if (ok)
            slideShow(delay);
    });
    add(cmd::OutputSize, [this] { outputSize(); });
    add(cmd::Print, [this] { print(cmd::Print); });
    add(cmd::PrintDirect, [this] { print(cmd::PrintDirect); });
    add(cmd::PrintPreview, [this] { print(cmd::PrintPreview); });
    add(cmd::PlaySound, [this] { sound_->play(*document_, document_->list().current()); });
    add(cmd::RotateCW, [this] { document_->rotateHighlighted(library::kRotateClockwise); });
    add(cmd::RotateCCW, [this] { document_->rotateHighlighted(library::kRotateCounterClockwise); });
    add(cmd::AutoWhiteBalance, [this] { document_->whiteBalanceHighlighted(); });
    add(cmd::AdjustBrightness, [this] { adjustBrightness(); });
    add(cmd::FilterNoise, [this] {
        bool ok = false;
        const int n = QInputDialog::getInt(app_.frame(), tr("Noise Filter"),
                                           tr("Number of iterations (1-10):"), 1, 1,
                                           imaging::kMaxNoiseIterations, 1, &ok);
        if (ok)
            filterNoise(n);
    });

    connect(zoom_, &ZoomWindows::pictureChosen, this, &DocumentCommands::chooseFromZoom);
    connect(zoom_, &ZoomWindows::deleteRequested, this,
            [this] { app_.router().run(cmd::DeleteImages); });
    connect(zoom_, &ZoomWindows::closeRequested, this, [this] { app_.router().run(cmd::Close); });
    connect(zoom_, &ZoomWindows::playSoundRequested, this,
            [this](int index) { sound_->play(*document_, index); });
    connect(zoom_, &ZoomWindows::dragRequested, this, [this](int index) {
        if (ZoomWindow* w = zoom_->active())
            runFileDrag(*document_, index, w);
    });
    connect(document_, &Document::selectionChanged, this, &DocumentCommands::refresh);
    connect(document_, &Document::listChanged, this, &DocumentCommands::refresh);
}

DocumentCommands::~DocumentCommands() = default;

void DocumentCommands::add(int id, std::function<void()> handler) {
    app_.router().application().add(id, [this, handler = std::move(handler)] {
        // A command ends a slide show's wait early.
        for (int s = 0; s < ZoomWindows::kSlots; ++s)
            if (ZoomWindow* w = zoom_->window(s))
                w->advanceNow();
        handler();
    });
}

void DocumentCommands::attach() {
    MainFrame* frame = app_.frame();
    if (!frame)
        return;
    op_ = std::make_unique<QtOperator>(frame, app_.productName());
    document_->setOperator(*op_);
    view_ = new ThumbnailView(*document_);
    view_->setGridSource([frame] { return QSize(frame->columns(), frame->rows()); });
    frame->setView(view_);
    connect(view_, &ThumbnailView::zoomRequested, this, &DocumentCommands::zoom);
    connect(view_, &ThumbnailView::deleteRequested, this,
            [this] { app_.router().run(cmd::DeleteImages); });
    connect(view_, &ThumbnailView::dragRequested, this, &DocumentCommands::drag);
    connect(view_, &ThumbnailView::emptied, zoom_, &ZoomWindows::closeAll);
    frame->addStateSource([this](shell::AppState& s) {
        const library::PictureList& list = document_->list();
        s.pictureCount = list.count();
        s.hasCurrentPicture = list.current() >= 0;
        s.highlightedCount = list.highlightedCount();
        s.anyHighlightedTemporary = list.anyHighlightedTemporary();
        s.currentIsTemporary =
            list.current() >= 0 && library::isTemporaryPath(list[list.current()].path);
        s.currentHasSound = list.current() >= 0 && list[list.current()].hasSound != 0;
    });
    frame->setPictureInfoSource([this]() -> QString {
        const library::PictureList& list = document_->list();
        if (list.current() < 0)
            return {};
        return QString::fromStdString(
            library::pictureInformationText(list[list.current()], app_.diagnosticsShown()));
    });
}

void DocumentCommands::refresh() {
    if (MainFrame* frame = app_.frame())
        frame->updateActions();
}

void DocumentCommands::open() {
    settings::AppSettings& settings = app_.settings();
    QFileDialog dialog(app_.frame(), tr("Open"), QString::fromStdString(settings.openPath()));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilter(QtOperator::qtFilter(
        shell::openFilter(app_.edition(), [this](int id) { return app_.string(id); })));
    const camera::CameraLink* camera = app_.camera().camera();
    const bool jpegCamera = camera && (camera->variantB() || camera->hasFileSystem());
    dialog.setDefaultSuffix(jpegCamera ? QStringLiteral("jpg") : QStringLiteral("kvi"));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList files = dialog.selectedFiles();
    document_->openFiles(files);
    if (!files.isEmpty())
        settings.setOpenPath(QFileInfo(files.front()).absolutePath().toStdString());
    app_.statusRefresh();
}

void DocumentCommands::saveAs() {
    if (document_->list().current() < 0)
        return;
    if (app_.twainMode()) {
        // Transfer to Application: the highlighted picture as the hand-off bitmap.
        library::TransferToApplication(
            document_->list().records(),
            [this](std::size_t position) {
                return document_->renderNow(static_cast<int>(position),
                                            library::RenderMode::Output);
            },
            document_->op());
        return;
    }
    settings::AppSettings& settings = app_.settings();
    QFileDialog dialog(app_.frame(), tr("Save As"), QString::fromStdString(settings.openPath()));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QStringList filters =
        QtOperator::qtFilter(library::kSaveAsFilter61212).split(QStringLiteral(";;"));
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(qs(library::kSaveAsDefaultExtension));
    const int current = document_->list().current();
    dialog.selectFile(QString::fromStdString(library::fileTitle(
                          library::savedPathOf(document_->list()[current].path))) +
                      QStringLiteral(".tif"));
    // Another type changes the name's extension to match.
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, filters](const QString& f) {
        static const char* kExtensions[] = {"tif", "bmp", "jpg"};
        const int which = std::max<int>(0, int(filters.indexOf(f)));
        const QString ext = QString::fromLatin1(kExtensions[std::min(which, 2)]);
        dialog.setDefaultSuffix(ext);
        const QStringList chosen = dialog.selectedFiles();
        if (!chosen.isEmpty())
            dialog.selectFile(QFileInfo(chosen.front()).completeBaseName() + "." + ext);
    });
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString chosen = dialog.selectedFiles().front();
    settings.setOpenPath(dialog.directory().absolutePath().toStdString());
    document_->exportHighlighted(chosen);
}

void DocumentCommands::rename() {
    const int current = document_->list().current();
    if (current < 0)
        return;
    bool ok = false;
    const QString name = QInputDialog::getText(
        app_.frame(), tr("Rename"), qs(library::kNewNamePrompt), QLineEdit::Normal,
        QString::fromStdString(library::fileTitle(document_->list()[current].path)), &ok);
    if (ok)
        document_->renameCurrent(name);
}

void DocumentCommands::print(int command) {
    const int current = document_->list().current();
    if (current < 0)
        return;
    CanvasSizeDialog canvas(canvas_.width(), canvas_.height(), app_.frame());
    if (canvas.exec() != QDialog::Accepted)
        return;
    canvas_ = QSizeF(canvas.canvasWidth(), canvas.canvasHeight());
    const QImage image = toQImage(document_->renderNow(current, library::RenderMode::Output));
    if (image.isNull())
        return;
    QPrinter printer(QPrinter::HighResolution);
    if (command == cmd::PrintPreview) {
        QPrintPreviewDialog preview(&printer, app_.frame());
        connect(&preview, &QPrintPreviewDialog::paintRequested, this,
                [&](QPrinter* p) { printImage(*p, image, canvas_); });
        preview.exec();
        return;
    }
    if (command == cmd::Print) {
        QPrintDialog dialog(&printer, app_.frame());
        if (dialog.exec() != QDialog::Accepted)
            return;
    }
    printImage(printer, image, canvas_);
}

void DocumentCommands::outputSize() {
    settings::AppSettings& settings = app_.settings();
    OutputSizeDialog dialog(settings.outputSize(), settings.sizeUnits(), app_.frame());
    if (dialog.exec() != QDialog::Accepted)
        return;
    settings.setOutputSize(dialog.sizeIndex());
    settings.setSizeUnits(dialog.units());
    document_->setOutputSize(dialog.sizeIndex());
}

void DocumentCommands::slideShow(int delaySeconds) {
    if (document_->list().current() < 0)
        return;
    document_->setCurrent(0);
    document_->highlightOnly(0);
    if (view_)
        view_->setFirstVisible(0);
    if (ZoomWindow* w = zoom_->open(0))
        w->startSlideShow(delaySeconds);
}

void DocumentCommands::adjustBrightness() {
    const int current = document_->list().current();
    if (current < 0)
        return;
    BrightnessDialog dialog(document_->list()[current].thumbnail, app_.frame());
    if (dialog.exec() == QDialog::Accepted)
        document_->setBrightness(current, dialog.factor());
}

void DocumentCommands::filterNoise(int iterations) {
    const int current = document_->list().current();
    if (current < 0)
        return;
    // The filter runs on a worker over the current picture while a progress box with Cancel
    // shows how far it is; the settings are stored only when it completes.
    struct Run {
        std::atomic<int> done{0};
        std::atomic<int> total{1};
        std::atomic<bool> cancel{false};
        std::atomic<bool> finished{false};
        bool completed = false;
        std::thread worker;
        ~Run() {
            cancel = true;
            if (worker.joinable())
                worker.join();
        }
    };
    auto run = std::make_shared<Run>();
    library::RenderSource source = library::renderSourceOf(document_->list()[current]);
    source.edits.noiseEnabled = 1;
    source.edits.noiseIterations = static_cast<std::uint16_t>(iterations);
    run->worker = std::thread([run, source] {
        const imaging::RgbPicture p =
            library::renderPicture(source, library::RenderMode::Stored, library::kDefaultOutputSize,
                                   nullptr, [run](int done, int total) {
                                       run->done = done;
                                       run->total = total;
                                       return !run->cancel.load();
                                   });
        run->completed = p.valid();
        run->finished = true;
    });
    auto* progress =
        new QProgressDialog(tr("Filtering noise..."), tr("Cancel"), 0, 100, app_.frame());
    progress->setAttribute(Qt::WA_DeleteOnClose);
    progress->setMinimumDuration(0);
    auto* timer = new QTimer(progress);
    connect(progress, &QProgressDialog::canceled, progress, [run] { run->cancel = true; });
    connect(timer, &QTimer::timeout, this, [this, run, progress, timer, iterations] {
        progress->setValue(100 * run->done / std::max(1, run->total.load()));
        if (!run->finished)
            return;
        timer->stop();
        run->worker.join();
        if (run->completed && !run->cancel)
            document_->setNoiseFilter(iterations);
        progress->close();
    });
    timer->start(30);
    progress->show();
}

void DocumentCommands::viewLarge() {
    if (MainFrame* frame = app_.frame())
        frame->setLargeMode(true);
    if (view_)
        view_->setLargeMode(true);
    zoom(document_->list().current());
}

void DocumentCommands::viewThumbnails() {
    if (MainFrame* frame = app_.frame())
        frame->setLargeMode(false);
    if (view_)
        view_->setLargeMode(false);
}

void DocumentCommands::zoom(int index) {
    zoom_->open(index);
}

void DocumentCommands::drag() {
    if (view_)
        runDrag(*document_, view_, [this] { app_.router().run(cmd::Close); });
}

void DocumentCommands::chooseFromZoom(int index) {
    document_->setCurrent(index);
    document_->highlightOnly(index);
    if (view_)
        view_->setFirstVisible(view_->grid().firstVisibleShowing(index, view_->firstVisible(),
                                                                 document_->list().count()));
}

void installDocumentCommands(Application& app) {
    new DocumentCommands(app); // owned by the application
}

void attachDocumentView(Application& app) {
    if (DocumentCommands* commands = documentCommandsOf(app))
        commands->attach();
}

DocumentCommands* documentCommandsOf(Application& app) {
    return app.findChild<DocumentCommands*>(QStringLiteral("documentCommands"),
                                            Qt::FindDirectChildrenOnly);
}

Document* documentOf(Application& app) {
    DocumentCommands* commands = documentCommandsOf(app);
    return commands ? &commands->document() : nullptr;
}

} // namespace kv::app
