// The program's side of the camera: the connected CameraLink (or none), the connect procedure
// with its progress in the status bar, the camera's notices turned into signals on the GUI
// thread, and --simulate's in-process bench camera on COM1 (for that run only: nothing is
// written to the settings).
#pragma once

#include "base/clock.h"
#include "base/operator.h"
#include "camera/camera_events.h"
#include "camera/camera_link.h"
#include "camera/connect_procedure.h"
#include "shell/app_state.h"

#include <QObject>
#include <memory>
#include <string>
#include <vector>

namespace kv::camsim {
class BenchCamera;
}
namespace kv::settings {
class AppSettings;
}

namespace kv::app {

class CameraSession : public QObject, public camera::CameraEvents {
    Q_OBJECT
public:
    explicit CameraSession(settings::AppSettings& settings, QObject* parent = nullptr);
    ~CameraSession() override;

    // Starts an in-process bench camera (options as kvcamsim takes them) and maps COM1 to it.
    bool startSimulation(const std::vector<std::string>& benchOptions, std::string& error);
    bool simulating() const { return bench_ != nullptr; }
    camsim::BenchCamera* bench() { return bench_.get(); }

    // The connected camera, or null.
    camera::CameraLink* camera() { return camera_.get(); }
    bool connecting() const { return connecting_; }
    bool transferRunning() const { return transferRunning_; }
    void setTransferRunning(bool on) { transferRunning_ = on; }
    int compressionLevel() const { return compressionLevel_; }
    void setCompressionLevel(int level) { compressionLevel_ = level; }
    int protocol() const { return protocol_; }
    void setProtocol(int protocol) { protocol_ = protocol; }

    // Drops the camera objects (stops the ping thread, closes the port).
    void drop();
    // Drops the camera and runs the connect procedure; emits connectFinished with its result.
    const camera::ConnectResult& connectCamera(Operator& op, bool diagnosticsMode);
    // The last connect's result (which menu items to remove).
    const camera::ConnectResult& lastConnect() const { return lastConnect_; }

    void fillState(shell::AppState& state) const;

    // CameraEvents (any thread)
    void idleKick() override;
    void transferNotice(int code, std::shared_ptr<camera::TransferItem> item, long value) override;
    void pumpMessages() override;

signals:
    // On the GUI thread: refresh the status bar and the menus.
    void kicked();
    void transferNoticed(int code, std::shared_ptr<camera::TransferItem> item, long value);
    void connectFinished();

private:
    settings::AppSettings& settings_;
    std::unique_ptr<camsim::BenchCamera> bench_;
    // The camera's waits between commands keep the window alive (declared before the camera,
    // which uses it to the end).
    RealClock waitClock_{[this] { pumpMessages(); }};
    std::unique_ptr<camera::CameraLink> camera_;
    camera::ConnectResult lastConnect_;
    bool connecting_ = false;
    bool transferRunning_ = false;
    int compressionLevel_ = 0;
    int protocol_ = 0;
};

} // namespace kv::app
