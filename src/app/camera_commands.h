// The Camera menu in the program: Take Picture, quality, sound, flash, exposure, Erase Camera
// Memory, Set Compression Level, RS232/RS422, Format Memory Card, and Retrieve Images from the
// File menu. Each setting command sends one request to the connected camera, mirrors the new
// value in the camera's status and refreshes the status bar; a camera that does not answer is
// dropped and searched for again. Long camera work (erase, format, the parameter record, a
// retrieval) runs on a thread of its own while the GUI goes on running; `transferRunning`
// disables every camera item meanwhile.
//
// Questions, messages and the dialogs go through replaceable functions so tests can answer
// them.
#pragma once

#include "app/retrieve_dialog.h"
#include "base/operator.h"
#include "library/retrieve_pictures.h"
#include "shell/compression_level.h"

#include <QObject>
#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QSoundEffect;
class QTemporaryDir;

namespace kv::app {

class Application;
class Document;

// What the base-name step of Retrieve Images chose.
struct RetrieveChoice {
    QString base;         // "dir/Image" (the extension left off)
    bool newOnly = false; // skip pictures already retrieved into that folder
};

class CameraCommands : public QObject {
    Q_OBJECT
public:
    explicit CameraCommands(Application& app);
    ~CameraCommands() override;

    // Questions and messages: a QtOperator on the main window unless a test set another.
    Operator& op();
    void setOperator(Operator& op) { op_ = &op; }

    // The dialogs; tests replace them.
    std::function<std::optional<int>(const shell::CompressionDialogSpec&, int start)> askLevel;
    std::function<std::optional<RetrieveChoice>()> askRetrieve;
    // The retrieval's options before it starts (tests shorten the waits).
    std::function<void(library::RetrieveOptions&)> adjustRetrieve;

    // The commands.
    void takePicture();
    void setQuality(int quality);
    void toggleSound();
    void toggleFlash();
    void toggleAutoExpose();
    void setExposure(int index);
    void eraseMemory();
    void setCompressionLevel();
    void setProtocol(int protocol);
    void formatCard();
    void retrieveImages();

    // What the last retrieval did (tests).
    const library::RetrieveReport& lastRetrieval() const { return lastReport_; }
    int shutterPlays() const { return shutterPlays_; }
    // The open progress dialog of a retrieval, or null.
    RetrieveDialog* retrieveDialog() const { return dialog_; }

private:
    // The common pattern: request, mirror on success, refresh; reconnect on failure.
    bool request(int number, int argument);
    void reconnect();
    void refresh();
    void playShutter();
    void onKicked();
    // Runs `work` on a thread of its own and lets the GUI run until it is done.
    Status runAside(const std::function<Status()>& work);

    Application& app_;
    std::unique_ptr<Operator> ownOperator_;
    Operator* op_;
    library::RetrieveReport lastReport_;
    int shutterPlays_ = 0;
    QSoundEffect* shutter_ = nullptr;
    std::unique_ptr<QTemporaryDir> soundDir_;
    QPointer<RetrieveDialog> dialog_;
};

// Registers the camera commands (see command_handlers.h).
void installCameraCommands(Application& app);
CameraCommands* cameraCommandsOf(Application& app);

} // namespace kv::app
