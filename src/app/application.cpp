#include "app/application.h"

#include "app/command_handlers.h"
#include "app/icons.h"
#include "app/qt_operator.h"
#include "app/single_instance.h"
#include "app/splash.h"
#include "shell/command_table.h"
#include "shell/status_layout.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QScreen>
#include <QStandardPaths>
#include <cstdio>

namespace kv::app {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The connect procedure's progress goes to the status bar's message pane as well.
class ConnectOperator : public QtOperator {
public:
    ConnectOperator(MainFrame* frame, const QString& caption)
        : QtOperator(frame, caption), frame_(frame) {}
    void setProgressText(std::string_view text) override {
        if (frame_)
            frame_->setMessage(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
        QtOperator::setProgressText(text);
    }

private:
    QPointer<MainFrame> frame_;
};

} // namespace

Application::Application(StartOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {}

Application::~Application() {
    if (splash_)
        delete splash_;
    // The camera goes before the frame that shows its notices.
    camera_.reset();
    delete frame_;
}

std::string Application::string(int id) const {
    if (translated_) {
        const QString t = translator_.translate("strings", QByteArray::number(id).constData());
        if (!t.isEmpty())
            return t.toStdString();
    }
    return std::string(shell::baseEditionString(id));
}

void Application::loadTranslation() {
    // "kv_<locale>.qm" beside the program or in its data directory; a missing one is ignored.
    QStringList dirs{QCoreApplication::applicationDirPath(),
                     QCoreApplication::applicationDirPath() + QStringLiteral("/../share/kvmini")};
    dirs += QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("kvmini"),
                                      QStandardPaths::LocateDirectory);
    for (const QString& dir : dirs) {
        if (translator_.load(QLocale(), QStringLiteral("kv"), QStringLiteral("_"), dir)) {
            QCoreApplication::installTranslator(&translator_);
            translated_ = true;
            return;
        }
    }
}

int Application::start() {
    std::vector<std::string> args;
    for (const QString& a : options_.arguments)
        args.push_back(a.toStdString());
    commandLine_ = shell::parseCommandLine(args);

    // 1. One instance: a later start hands its files to the first and exits quietly. A start
    // for TWAIN always runs its own instance.
    QStringList files;
    for (const std::string& f : commandLine_.files)
        files << QFileInfo(qs(f)).absoluteFilePath();
    if (options_.singleInstance && !commandLine_.twainMode) {
        if (SingleInstance::handToFirst(files))
            return 0;
        instance_ = new SingleInstance(this);
        instance_->listen();
        connect(instance_, &SingleInstance::filesReceived, this, [this](const QStringList& f) {
            if (!frame_)
                return;
            if (frame_->isMinimized())
                frame_->showNormal();
            frame_->raise();
            frame_->activateWindow();
            openFiles(f);
        });
    }

    // 2. The translation, 3. the edition by the program's own name; the settings file is
    // named after it too.
    loadTranslation();
    const std::string module = shell::moduleName(options_.programPath.toStdString());
    settings::setModuleName(module);
    settings_ = std::make_unique<settings::AppSettings>();
    edition_ = &shell::chooseEdition(module, [this](int id) { return string(id); });
    productName_ = qs(shell::productName(*edition_, [this](int id) { return string(id); }));
    QGuiApplication::setApplicationDisplayName(productName_);

    // 6. The diagnostics flag: --diagnostics stands for the chord on scripted stations.
    diagnosticsShown_ = settings_->diagnosticsDisplayed();
    if (commandLine_.diagnostics && edition_->number == 0 && !diagnosticsShown_) {
        diagnosticsShown_ = true;
        settings_->setDiagnosticsDisplayed(true);
    }

    // 7. "PROTOCOL" (read by the session).
    camera_ = std::make_unique<CameraSession>(*settings_);
    if (commandLine_.simulate) {
        std::string error;
        if (!camera_->startSimulation(commandLine_.benchOptions, error)) {
            std::fprintf(stderr, "kvmini: %s\n", error.c_str());
            return 2;
        }
    }

    // The frame with its menus from the command table.
    installShellCommands(*this);
    installDiagnosticsCommands(*this);
    installStationCommands(*this);
    installDocumentCommands(*this);
    installCameraCommands(*this);
    FrameSetup setup{edition_->number, productName_, diagnosticsShown_, commandLine_.twainMode};
    frame_ = new MainFrame(setup, router_, *settings_);
    frame_->addStateSource([this](shell::AppState& s) { camera_->fillState(s); });
    connect(camera_.get(), &CameraSession::kicked, this, [this] {
        statusRefresh();
        if (frame_)
            frame_->updateActions();
    });
    connect(frame_, &MainFrame::filesDropped, this, &Application::openFiles);
    attachDocumentView(*this);

    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const auto placement = settings_->loadPlacement(area.width(), area.height());
    const bool maximised = frame_->placeAtStart(placement);
    if (maximised) {
        frame_->setStatusLayout(shell::StatusLayout::Compact);
        frame_->showMaximized();
    } else {
        frame_->show();
    }

    if (!commandLine_.noSplash && options_.splashMs > 0)
        showSplash();
    else
        QTimer::singleShot(0, this, &Application::afterSplash);

    // A screenshot run never waits on a dialog: the picture is taken after a while whatever
    // is on the screen.
    if (!commandLine_.screenshot.empty())
        QTimer::singleShot(15000, this, &Application::saveScreenshot);
    openFiles(files);
    return -1;
}

void Application::showSplash() {
    splash_ = new Splash(splashPicture(edition_->splashId, productName_), options_.splashMs);
    connect(splash_, &Splash::chordSeen, this, &Application::enableDiagnostics);
    connect(splash_, &Splash::done, this, &Application::afterSplash);
    splash_->start();
}

void Application::afterSplash() {
    if (frame_)
        frame_->repaint();
    emit splashFinished();
    QTimer::singleShot(0, this, [this] {
        if (options_.connectAtStart)
            connectCamera();
        if (!commandLine_.screenshot.empty())
            QTimer::singleShot(500, this, &Application::saveScreenshot);
    });
}

void Application::saveScreenshot() {
    if (screenshotTaken_)
        return;
    screenshotTaken_ = true;
    const QString path = qs(commandLine_.screenshot);
    const bool ok = frame_ && frame_->grab().save(path);
    if (!ok)
        std::fprintf(stderr, "kvmini: cannot write %s\n", path.toLocal8Bit().constData());
    QCoreApplication::exit(ok ? 0 : 1);
}

void Application::enableDiagnostics() {
    if (edition_->number != 0 || diagnosticsShown_)
        return;
    diagnosticsShown_ = true;
    settings_->setDiagnosticsDisplayed(true);
    if (frame_)
        frame_->setDiagnosticsShown(true);
}

void Application::openFiles(const QStringList& files) {
    for (const QString& f : files) {
        if (!openOneFile || !openOneFile(f))
            std::fprintf(stderr, "kvmini: cannot open %s\n", f.toLocal8Bit().constData());
    }
}

void Application::connectCamera() {
    if (!frame_ || camera_->connecting())
        return;
    // The window stays alive while the search waits; no command may start meanwhile.
    CommandRouter::BusyScope busy(router_);
    ConnectOperator op(frame_, productName_);
    camera_->connectCamera(op, diagnosticsShown_);
    removeConnectItems();
    statusRefresh();
    frame_->updateActions();
}

void Application::removeConnectItems() {
    const camera::ConnectResult& r = camera_->lastConnect();
    if (r.removeSoundCommand)
        frame_->commands().removeMenuItem(shell::cmd::Sound);
    if (r.removeFormatCard)
        frame_->commands().removeMenuItem(shell::cmd::FormatCard);
}

void Application::statusRefresh() {
    if (!frame_)
        return;
    camera::CameraLink* cam = camera_->camera();
    if (!cam) {
        if (fullBlink_)
            fullBlink_->stop();
        fullShown_ = false;
        frame_->setPaneTexts({});
        frame_->setStatusLayout(shell::StatusLayout::Message);
        return;
    }
    // A camera that stopped answering pings: its items are disabled until a reconnect.
    if (cam->linkState() == camera::LinkState::Lost)
        frame_->setMessage(QStringLiteral("Camera link lost"));
    frame_->setStatusLayout(shell::StatusLayout::Camera, cam->hasNewFirmware());
    shell::CameraPaneInput in;
    in.status = cam->status();
    in.variantB = cam->variantB();
    in.newFirmwareA = cam->hasNewFirmwareA();
    in.compressionLevel = camera_->compressionLevel();
    const auto texts = shell::cameraPaneTexts(in);
    std::array<QString, 5> panes;
    for (std::size_t i = 0; i < texts.size(); ++i)
        panes[i] = qs(texts[i]);
    picturesText_ = panes[1];
    // A refresh while "FULL" is shown leaves it there; the blink goes on in its own rhythm.
    if (in.status.picturesFlag && fullShown_) {
        panes[1] = qs(std::string(shell::kFullText));
        frame_->pane(2)->setFrameStyle(QFrame::Panel | QFrame::Raised);
    }
    frame_->setPaneTexts(panes);
    // A full memory: the pictures pane alternates with "FULL" every second.
    if (in.status.picturesFlag) {
        if (!fullBlink_) {
            fullBlink_ = new QTimer(this);
            connect(fullBlink_, &QTimer::timeout, this, [this] {
                fullShown_ = !fullShown_;
                QLabel* pane = frame_->pane(2);
                pane->setText(fullShown_ ? qs(std::string(shell::kFullText)) : picturesText_);
                pane->setFrameStyle(QFrame::Panel | (fullShown_ ? QFrame::Raised : QFrame::Sunken));
            });
        }
        if (!fullBlink_->isActive())
            fullBlink_->start(1000);
    } else if (fullBlink_) {
        fullBlink_->stop();
        fullShown_ = false;
    }
}

} // namespace kv::app
