#include "app/camera_commands.h"

#include "app/application.h"
#include "app/command_handlers.h"
#include "app/qt_operator.h"
#include "camera/transfers.h"
#include "shell/command_table.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QSoundEffect>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <thread>

namespace kv::app {

namespace cmd = shell::cmd;

namespace {

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

constexpr std::string_view kEraseQuestion61231 =
    "This action will cause all pictures stored in the camera to be erased.  Continue erasing "
    "pictures?";
constexpr std::string_view kFormatQuestion61534 =
    "WARNING  This will permanently erase any files on memory card.  Continue formatting card?";

// Changes the camera's status in place (the ping thread may be refreshing it): under the
// link's status lock where it has one.
template <class Link, class F>
void editStatus(Link& link, F edit) {
    if constexpr (requires { link.editStatus(edit); })
        link.editStatus(edit);
    else
        edit(link.mutableStatus());
}

// The shutter: a short click of falling noise, 22050 samples a second, 16-bit mono.
QByteArray shutterWave() {
    constexpr int rate = 22050;
    constexpr int samples = rate / 12;
    QByteArray pcm;
    pcm.reserve(samples * 2);
    std::uint32_t noise = 0x2545F491u;
    for (int i = 0; i < samples; ++i) {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        const double envelope = std::exp(-8.0 * i / samples) * (i < samples / 3 ? 1.0 : 0.5);
        const auto v =
            static_cast<std::int16_t>((static_cast<int>(noise & 0xFFFF) - 32768) * envelope * 0.6);
        pcm.append(static_cast<char>(v & 0xFF));
        pcm.append(static_cast<char>((v >> 8) & 0xFF));
    }
    auto u32 = [](QByteArray& b, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    auto u16 = [](QByteArray& b, std::uint16_t v) {
        b.append(static_cast<char>(v & 0xFF));
        b.append(static_cast<char>(v >> 8));
    };
    QByteArray wave("RIFF");
    u32(wave, static_cast<std::uint32_t>(36 + pcm.size()));
    wave.append("WAVEfmt ");
    u32(wave, 16);
    u16(wave, 1);
    u16(wave, 1);
    u32(wave, rate);
    u32(wave, rate * 2);
    u16(wave, 2);
    u16(wave, 16);
    wave.append("data");
    u32(wave, static_cast<std::uint32_t>(pcm.size()));
    return wave + pcm;
}

// The slider dialog of Set Compression Level.
std::optional<int> levelDialog(QWidget* parent, const shell::CompressionDialogSpec& form,
                               int start) {
    QDialog dialog(parent);
    dialog.setWindowTitle(qs(form.title));
    auto* layout = new QVBoxLayout(&dialog);
    if (!form.caption.empty())
        layout->addWidget(new QLabel(qs(form.caption)));
    auto* row = new QHBoxLayout;
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setRange(form.minimum, form.maximum);
    slider->setValue(std::clamp(start, form.minimum, form.maximum));
    if (form.tickInterval > 0) {
        slider->setTickInterval(form.tickInterval);
        slider->setTickPosition(QSlider::TicksBelow);
    }
    auto* value = new QLabel;
    // The older wavelet camera's slider carries kilobytes + 10; the number shows kilobytes.
    const int shown = form.kind == shell::CompressionDialogKind::WaveletOld ? 10 : 0;
    auto show = [value, shown](int v) { value->setNum(v - shown); };
    show(slider->value());
    QObject::connect(slider, &QSlider::valueChanged, value, show);
    row->addWidget(slider, 1);
    row->addWidget(value);
    layout->addLayout(row);
    auto* labels = new QHBoxLayout;
    for (std::size_t i = 0; i < form.labels.size(); ++i) {
        if (i > 0)
            labels->addStretch(1);
        labels->addWidget(new QLabel(qs(form.labels[i])));
    }
    layout->addLayout(labels);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return slider->value();
}

} // namespace

CameraCommands::CameraCommands(Application& app) : QObject(&app), app_(app), op_(nullptr) {
    setObjectName(QStringLiteral("cameraCommands"));
    askLevel = [this](const shell::CompressionDialogSpec& form, int start) {
        return levelDialog(app_.frame(), form, start);
    };
    // Connected before the application's own refresh, so a status asked for here is shown.
    connect(&app_.camera(), &CameraSession::kicked, this, &CameraCommands::onKicked);
}

CameraCommands::~CameraCommands() = default;

Operator& CameraCommands::op() {
    if (!op_) {
        ownOperator_ = std::make_unique<QtOperator>(app_.frame(), app_.productName());
        op_ = ownOperator_.get();
    }
    return *op_;
}

void CameraCommands::refresh() {
    app_.statusRefresh();
    if (MainFrame* frame = app_.frame())
        frame->updateActions();
}

void CameraCommands::reconnect() {
    app_.connectCamera();
}

bool CameraCommands::request(int number, int argument) {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam)
        return false;
    if (cam->execute(number, {argument}) != status::Ok) {
        reconnect();
        return false;
    }
    return true;
}

void CameraCommands::onKicked() {
    // New status announced by the camera: ask for it while the camera is idle.
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam || app_.camera().transferRunning() || app_.camera().connecting() ||
        app_.router().busy() || cam->linkState() != camera::LinkState::Ready ||
        !cam->statusChanged())
        return;
    (void)cam->takeStatusChanged();
    (void)cam->requestStatus();
}

void CameraCommands::takePicture() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam)
        return;
    if (cam->execute(camera::cmd::TakePicture) != status::Ok) {
        reconnect();
        return;
    }
    QTimer::singleShot(2, this, &CameraCommands::playShutter);
    refresh();
}

void CameraCommands::playShutter() {
    ++shutterPlays_;
    if (!soundDir_) {
        soundDir_ = std::make_unique<QTemporaryDir>();
        const QString path = soundDir_->filePath(QStringLiteral("shutter.wav"));
        QFile file(path);
        if (!soundDir_->isValid() || !file.open(QIODevice::WriteOnly) ||
            file.write(shutterWave()) < 0)
            return;
        file.close();
        shutter_ = new QSoundEffect(this);
        shutter_->setSource(QUrl::fromLocalFile(path));
    }
    if (shutter_)
        shutter_->play();
}

void CameraCommands::setQuality(int quality) {
    if (!request(camera::cmd::Quality, quality))
        return;
    camera::CameraLink* cam = app_.camera().camera();
    const bool newField = cam->variantB() || cam->hasNewFirmwareA();
    editStatus(*cam, [&](camera::CameraStatus& s) {
        (newField ? s.quality : s.legacyQuality) = static_cast<std::int16_t>(quality);
    });
    refresh();
}

void CameraCommands::toggleSound() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam)
        return;
    const int on = cam->status().sound ? 0 : 1;
    if (!request(camera::cmd::Sound, on))
        return;
    editStatus(*cam, [on](camera::CameraStatus& s) { s.sound = static_cast<std::int16_t>(on); });
    refresh();
}

void CameraCommands::toggleFlash() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam)
        return;
    const int on = cam->status().flash ? 0 : 1;
    if (!request(camera::cmd::Flash, on))
        return;
    editStatus(*cam, [on](camera::CameraStatus& s) { s.flash = static_cast<std::int16_t>(on); });
    refresh();
}

void CameraCommands::toggleAutoExpose() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam)
        return;
    const int on = cam->status().autoExposure ? 0 : 1;
    if (!request(camera::cmd::AutoExposure, on))
        return;
    editStatus(*cam,
               [on](camera::CameraStatus& s) { s.autoExposure = static_cast<std::int16_t>(on); });
    refresh();
}

void CameraCommands::setExposure(int index) {
    if (index < 0 || index > 11 || !request(camera::cmd::Exposure, index))
        return;
    editStatus(*app_.camera().camera(), [index](camera::CameraStatus& s) {
        s.exposureTime = static_cast<std::int16_t>(index);
    });
    refresh();
}

Status CameraCommands::runAside(const std::function<Status()>& work) {
    CameraSession& session = app_.camera();
    const bool wasRunning = session.transferRunning();
    session.setTransferRunning(true);
    QEventLoop loop;
    Status result = status::Failed;
    std::thread worker([&] {
        result = work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    session.setTransferRunning(wasRunning);
    return result;
}

void CameraCommands::eraseMemory() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam || !op().confirm(kEraseQuestion61231))
        return;
    CameraSession& session = app_.camera();
    session.setTransferRunning(true);
    refresh();
    QDialog window(app_.frame());
    window.setWindowTitle(QStringLiteral("Erasing Images"));
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Erasing Images")));
    window.setModal(true);
    window.show();
    const Status result = runAside([cam] { return camera::CameraTransfers(*cam).eraseAll(); });
    window.hide();
    session.setTransferRunning(false);
    if (result != status::Ok) {
        reconnect();
        return;
    }
    editStatus(*cam, [](camera::CameraStatus& s) {
        s.pictures = 0;
        s.picturesFlag = false;
    });
    refresh();
}

void CameraCommands::setCompressionLevel() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam) {
        op().message(shell::kCameraNotConnected);
        return;
    }
    const auto kind = shell::compressionDialogKind(cam->variantB(), cam->hasNewFirmwareA(),
                                                   app_.edition().number);
    const shell::CompressionDialogSpec form = shell::compressionDialogSpec(kind);
    if (kind != shell::CompressionDialogKind::WaveletOld) {
        const auto level = askLevel(form, app_.camera().compressionLevel());
        if (!level || !request(camera::cmd::Compression, *level))
            return;
        app_.camera().setCompressionLevel(*level);
        refresh();
        return;
    }
    // The older wavelet camera keeps its target size in the parameter record.
    Bytes record;
    const Status read = runAside(
        [cam, &record] { return camera::CameraTransfers(*cam).readParameterRecord(record); });
    const auto start = shell::oldWaveletSliderStart(record);
    if (read != status::Ok || !start) {
        op().message(shell::kCommunicationsError);
        return;
    }
    const auto v = askLevel(form, *start);
    if (!v || !shell::applyOldWaveletSlider(record, *v))
        return;
    op().setWaitCursor(true);
    const Status written = runAside(
        [cam, &record] { return camera::CameraTransfers(*cam).writeParameterRecord(record); });
    op().setWaitCursor(false);
    op().message(written == status::Ok ? shell::kCompressionChanged : shell::kCompressionFailed);
    refresh();
}

void CameraCommands::setProtocol(int protocol) {
    app_.settings().setProtocol(protocol ? settings::LineProtocol::RS422
                                         : settings::LineProtocol::RS232);
    app_.camera().setProtocol(protocol);
    app_.camera().drop();
    reconnect();
}

void CameraCommands::formatCard() {
    camera::CameraLink* cam = app_.camera().camera();
    if (!cam || !op().confirm(kFormatQuestion61534))
        return;
    op().setWaitCursor(true);
    const Status result = runAside([cam] { return camera::CameraTransfers(*cam).formatCard(); });
    op().setWaitCursor(false);
    op().message(result == status::Ok ? "Memory Card Format Successful."
                                      : "Memory Card Format FAILED!");
    refresh();
}

void installCameraCommands(Application& app) {
    auto* commands = new CameraCommands(app);
    CommandTarget& target = app.router().application();
    // A command waiting for a Busy camera keeps the window alive: no other command may start
    // meanwhile. Erasing, formatting and the retrieval talk to the camera off this thread
    // (with the camera items disabled) and leave the other commands free.
    CommandRouter& router = app.router();
    const auto add = [&target, &router](int id, std::function<void()> run) {
        target.add(id, [&router, run = std::move(run)] {
            CommandRouter::BusyScope busy(router);
            run();
        });
    };
    add(cmd::TakePicture, [commands] { commands->takePicture(); });
    const std::pair<int, int> qualities[] = {
        {cmd::Best, 0}, {cmd::Standard, 1}, {cmd::Cine, 2}, {cmd::Uncompressed, 3}};
    for (const auto& [id, quality] : qualities)
        add(id, [commands, q = quality] { commands->setQuality(q); });
    add(cmd::Sound, [commands] { commands->toggleSound(); });
    add(cmd::Flash, [commands] { commands->toggleFlash(); });
    add(cmd::AutoExpose, [commands] { commands->toggleAutoExpose(); });
    for (int index = 0; index < 12; ++index)
        add(cmd::kExposure[index], [commands, index] { commands->setExposure(index); });
    target.add(cmd::EraseMemory, [commands] { commands->eraseMemory(); });
    add(cmd::CompressionLevel, [commands] { commands->setCompressionLevel(); });
    add(cmd::Rs232, [commands] { commands->setProtocol(0); });
    add(cmd::Rs422, [commands] { commands->setProtocol(1); });
    target.add(cmd::FormatCard, [commands] { commands->formatCard(); });
    target.add(cmd::RetrieveImages, [commands] { commands->retrieveImages(); });
}

CameraCommands* cameraCommandsOf(Application& app) {
    return app.findChild<CameraCommands*>(QStringLiteral("cameraCommands"),
                                          Qt::FindDirectChildrenOnly);
}

} // namespace kv::app
