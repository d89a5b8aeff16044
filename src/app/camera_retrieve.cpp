// Retrieve Images in the program: the base-name step, the progress dialog and the retrieval
// on a thread of its own, each stored picture appended to the list as it arrives.
#include "app/application.h"
#include "app/camera_commands.h"
#include "app/document_commands.h"
#include "app/retrieve_dialog.h"
#include "library/retrieved_index.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>
#include <thread>

namespace kv::app {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The save dialog of the base name, with the "new pictures only" choice under it.
std::optional<RetrieveChoice> askBaseName(QWidget* parent, const QString& directory) {
    QFileDialog dialog(parent, QStringLiteral("Retrieve Images"), directory);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // Pictures are stored under numbered names that are not in use: nothing is overwritten.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilter(QStringLiteral("JPEG files (*.jpg)"));
    dialog.setDefaultSuffix(QStringLiteral("jpg"));
    dialog.selectFile(QStringLiteral("Image"));
    auto* newOnly = new QCheckBox(QStringLiteral("New pictures only"), &dialog);
    newOnly->setToolTip(
        QStringLiteral("Leave out the pictures already retrieved into this folder"));
    if (auto* grid = qobject_cast<QGridLayout*>(dialog.layout()))
        grid->addWidget(newOnly, grid->rowCount(), 0, 1, -1);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return RetrieveChoice{dialog.selectedFiles().front(), newOnly->isChecked()};
}

// "dir/Image.jpg" or "dir/Image" -> "dir/Image".
QString baseOf(const QString& chosen) {
    QString base = QFileInfo(chosen).absoluteFilePath();
    if (base.endsWith(QStringLiteral(".jpg"), Qt::CaseInsensitive))
        base.chop(4);
    return base;
}

} // namespace

void CameraCommands::retrieveImages() {
    CameraSession& session = app_.camera();
    camera::CameraLink* cam = session.camera();
    if (!cam || session.transferRunning())
        return;
    const std::optional<RetrieveChoice> choice =
        askRetrieve ? askRetrieve() : askBaseName(app_.frame(), qs(app_.settings().openPath()));
    if (!choice)
        return;
    const QString base = baseOf(choice->base);
    const QString folder = QFileInfo(base).absolutePath();
    app_.settings().setOpenPath(folder.toStdString());
    session.setTransferRunning(true);
    refresh();

    // What the retrieval thread hands over: stored records and the latest progress.
    struct Handover {
        std::mutex mutex;
        std::vector<library::PictureRecord> records;
        library::RetrieveProgress progress;
    };
    auto handover = std::make_shared<Handover>();
    std::atomic<bool> cancel{false};
    library::RetrievedIndex index = library::RetrievedIndex::load(folder.toStdString());
    bool indexChanged = false;
    const auto serial = static_cast<std::uint32_t>(cam->status().serialNumber);

    RetrieveDialog dialog(app_.frame());
    dialog_ = &dialog;
    connect(&dialog, &RetrieveDialog::cancelClicked, this, [&cancel] { cancel = true; });
    QPointer<RetrieveDialog> shown(&dialog);
    Document* document = documentOf(app_);
    const auto takeOver = [this, handover, shown, document] {
        std::vector<library::PictureRecord> records;
        library::RetrieveProgress progress;
        {
            std::lock_guard<std::mutex> guard(handover->mutex);
            records.swap(handover->records);
            progress = handover->progress;
        }
        if (shown)
            shown->show(progress);
        if (!records.empty() && document) {
            document->appendRecords(std::move(records));
            app_.statusRefresh();
        }
    };

    library::RetrieveOptions options;
    options.base = base.toStdString();
    options.slowProcessor = std::thread::hardware_concurrency() == 1;
    if (choice->newOnly)
        options.skip = [&index, serial](const camera::TransferItem& item) {
            return index.contains(serial, item);
        };
    options.stored = [&, handover](const camera::TransferItem& item,
                                   const library::StoredItem& stored) {
        if (stored.result != status::Ok)
            return;
        indexChanged = index.add(serial, item, stored) || indexChanged;
        std::lock_guard<std::mutex> guard(handover->mutex);
        handover->records.push_back(stored.record);
    };
    options.progress = [this, handover, takeOver](const library::RetrieveProgress& p) {
        {
            std::lock_guard<std::mutex> guard(handover->mutex);
            handover->progress = p;
        }
        QMetaObject::invokeMethod(this, takeOver, Qt::QueuedConnection);
    };
    options.cancelled = [&cancel] { return cancel.load(); };
    if (adjustRetrieve)
        adjustRetrieve(options);

    dialog.setModal(true);
    dialog.QDialog::show();
    QEventLoop loop;
    library::RetrieveReport report;
    std::thread worker([&] {
        report = library::retrievePictures(*cam, options);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    // The loop also ends when the program quits: then the retrieval stops between blocks.
    cancel = true;
    worker.join();
    takeOver();
    if (indexChanged)
        (void)index.save();
    dialog.hide();
    dialog_ = nullptr;
    session.setTransferRunning(false);
    lastReport_ = report;

    const int failed = static_cast<int>(report.failures.size() + report.refused.size());
    if (failed > 0 || report.listResult != status::Ok) {
        std::string text(library::kRetrievalProblem61523);
        if (failed > 0)
            text += "\n\n" + std::to_string(failed) +
                    (failed == 1 ? " picture was" : " pictures were") + " not retrieved.";
        op().message(text);
    }
    if (report.cameraLost) {
        reconnect();
        return;
    }
    refresh();
}

} // namespace kv::app
