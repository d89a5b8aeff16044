#include "app/camera_session.h"

#include "camsim/bench_camera.h"
#include "camsim/bench_options.h"
#include "settings/app_settings.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <algorithm>

namespace kv::app {

CameraSession::CameraSession(settings::AppSettings& settings, QObject* parent)
    : QObject(parent), settings_(settings) {
    protocol_ = static_cast<int>(settings.protocol());
}

CameraSession::~CameraSession() {
    drop();
}

bool CameraSession::startSimulation(const std::vector<std::string>& benchOptions,
                                    std::string& error) {
    std::vector<std::string> args = benchOptions;
    auto option = [&args](std::string_view name) -> std::optional<std::string> {
        const std::string prefix = std::string(name) + "=";
        for (const std::string& a : args)
            if (a.rfind(prefix, 0) == 0)
                return a.substr(prefix.size());
        return std::nullopt;
    };
    auto flag = [&args](std::string_view name) {
        return std::find(args.begin(), args.end(), name) != args.end();
    };
    camsim::BenchCameraOptions options;
    if (!camsim::readBenchOptions(option, flag, options, error))
        return false;
    auto bench = std::make_unique<camsim::BenchCamera>(options);
    if (!bench->ok()) {
        error = "cannot start the bench camera (no pseudo-terminal)";
        return false;
    }
    bench_ = std::move(bench);
    return true;
}

void CameraSession::drop() {
    camera_.reset();
}

const camera::ConnectResult& CameraSession::connectCamera(Operator& op, bool diagnosticsMode) {
    drop();
    connecting_ = true;
    emit kicked();
    camera::ConnectSettings cs = camera::ConnectSettings::read(settings_);
    cs.lineStandard = protocol_;
    camera::ConnectOptions options;
    options.diagnosticsMode = diagnosticsMode;
    options.clock = &waitClock_;
    if (bench_) {
        // The bench camera sits on COM1 for this run: search from there.
        cs.fixedPort.reset();
        options.portDevice = [this](std::string_view port) {
            return port == "COM1" ? bench_->devicePath() : settings_.portDevice(port);
        };
    }
    lastConnect_ = camera::connectToCamera(cs, options, op, *this);
    camera_ = std::move(lastConnect_.camera);
    connecting_ = false;
    emit connectFinished();
    emit kicked();
    return lastConnect_;
}

void CameraSession::fillState(shell::AppState& s) const {
    s.connecting = connecting_;
    s.transferRunning = transferRunning_;
    s.protocol = protocol_;
    s.storedBaudRate = settings_.baudRate();
    s.continuousTakePicture = settings_.continuousTakePicture();
    if (!camera_)
        return;
    const camera::CameraStatus& st = camera_->status();
    s.cameraConnected = true;
    s.linkReady = camera_->linkState() == camera::LinkState::Ready;
    s.pictures = std::max<int>(0, st.pictures);
    s.autoExposure = st.autoExposure != 0;
    s.exposureIndex = st.exposureTime;
    s.flash = st.flash != 0;
    s.sound = st.sound != 0;
    s.quality = (st.variantB() || st.firmwareRevision() >= 3.0) ? st.quality : st.legacyQuality;
}

void CameraSession::idleKick() {
    QMetaObject::invokeMethod(
        this, [this] { emit kicked(); }, Qt::QueuedConnection);
}

void CameraSession::transferNotice(int code, std::shared_ptr<camera::TransferItem> item,
                                   long value) {
    QMetaObject::invokeMethod(
        this, [this, code, item, value] { emit transferNoticed(code, item, value); },
        Qt::QueuedConnection);
}

void CameraSession::pumpMessages() {
    if (QThread::currentThread() == QCoreApplication::instance()->thread())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace kv::app
