// The application object of kvmini: start-up in order (single instance, translation, edition,
// diagnostics flag, protocol, frame, splash, the command line's file), the command router,
// the camera session and the status refresh. One per process; tests make several in turn.
#pragma once

#include "app/camera_session.h"
#include "app/command_router.h"
#include "app/main_frame.h"
#include "app/splash.h"
#include "settings/app_settings.h"
#include "shell/command_line.h"
#include "shell/editions.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QTranslator>
#include <functional>
#include <memory>

namespace kv::app {

class SingleInstance;

struct StartOptions {
    QString programPath;   // argv[0] as given (the edition comes from its name)
    QStringList arguments; // the rest, after the toolkit took its own
    bool connectAtStart = true;
    bool singleInstance = true;
    int splashMs = 2000;
};

class Application : public QObject {
    Q_OBJECT
public:
    explicit Application(StartOptions options, QObject* parent = nullptr);
    ~Application() override;

    // Runs the start-up. Returns -1 when the program should go on running, or the exit code
    // (0 for a second start that handed its files to the first).
    int start();

    const shell::Edition& edition() const { return *edition_; }
    const QString& productName() const { return productName_; }
    bool diagnosticsShown() const { return diagnosticsShown_; }
    bool twainMode() const { return commandLine_.twainMode; }
    const shell::CommandLine& commandLine() const { return commandLine_; }

    CommandRouter& router() { return router_; }
    MainFrame* frame() { return frame_; }
    CameraSession& camera() { return *camera_; }
    settings::AppSettings& settings() { return *settings_; }
    Splash* splash() { return splash_; }
    // A string of the table as the translation gives it.
    std::string string(int id) const;

    // The document's open-one-file operation (set by the document side); false = refused.
    std::function<bool(const QString& path)> openOneFile;

    // Camera commands
    void connectCamera();
    // Status bar refresh: layout and pane texts from the camera.
    void statusRefresh();
    // Turns the diagnostics menus on for good (the chord, or --diagnostics), edition 0 only.
    void enableDiagnostics();

    void openFiles(const QStringList& files);

signals:
    void splashFinished();

private:
    void loadTranslation();
    void showSplash();
    void afterSplash();
    void saveScreenshot();
    void removeConnectItems();

    StartOptions options_;
    shell::CommandLine commandLine_;
    std::unique_ptr<settings::AppSettings> settings_;
    QTranslator translator_;
    bool translated_ = false;
    const shell::Edition* edition_ = nullptr;
    QString productName_;
    bool diagnosticsShown_ = false;
    CommandRouter router_;
    std::unique_ptr<CameraSession> camera_;
    QPointer<MainFrame> frame_;
    QPointer<Splash> splash_;
    SingleInstance* instance_ = nullptr;
    QTimer* fullBlink_ = nullptr;
    bool fullShown_ = false;
    QString picturesText_;
    bool screenshotTaken_ = false;
};

} // namespace kv::app
