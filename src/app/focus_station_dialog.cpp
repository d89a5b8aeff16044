#include "app/focus_station_dialog.h"

#include "app/application.h"
#include "app/qt_operator.h"
#include "base/clock.h"
#include "base/sound_output.h"
#include "camsim/focus_bench.h"
#include "diagnostics/focus_station.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "shell/command_table.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <filesystem>
#include <memory>

namespace kv::app {

namespace {

const char* statusText(diagnostics::CheckStatus s) {
    switch (s) {
    case diagnostics::CheckStatus::Passed:
        return "passed";
    case diagnostics::CheckStatus::Failed:
        return "FAILED";
    case diagnostics::CheckStatus::NotRun:
        break;
    }
    return "not run";
}

// The open dialog, for the Focus Test command.
QPointer<FocusStationDialog> openDialog;

// With --simulate the station runs on the focus bench around the program's bench camera, in
// virtual time, on a copy of the settings that holds the bench's ports and sweep. The bench and
// its clock stay for the rest of the process (the camera keeps the focus target).
struct SimulatedStation {
    ~SimulatedStation() {
        std::error_code ec;
        if (!settingsCopy.empty())
            std::filesystem::remove(settingsCopy, ec);
    }
    VirtualClock clock;
    std::unique_ptr<camsim::FocusBench> bench;
    std::unique_ptr<camsim::FocusBenchDevices> devices;
    std::filesystem::path settingsCopy;
    std::unique_ptr<settings::Profile> profile;
    camsim::BenchCamera* camera = nullptr;
};

SimulatedStation& simulatedStation(camsim::BenchCamera& camera, settings::Profile& real) {
    static SimulatedStation s;
    if (s.camera != &camera) {
        camsim::FocusBenchOptions options;
        options.clock = &s.clock;
        s.devices.reset();
        s.bench = std::make_unique<camsim::FocusBench>(options, camera);
        s.devices = std::make_unique<camsim::FocusBenchDevices>(*s.bench);
        s.camera = &camera;
        s.settingsCopy = std::filesystem::temp_directory_path() /
                         ("kvmini-focus-" + std::to_string(::getpid()) + ".INI");
    }
    std::error_code ec;
    std::filesystem::copy_file(real.path(), s.settingsCopy,
                               std::filesystem::copy_options::overwrite_existing, ec);
    s.profile = std::make_unique<settings::Profile>(s.settingsCopy);
    s.bench->writeStationSettings(*s.profile);
    return s;
}

} // namespace

FocusStationDialog::FocusStationDialog(Application& app, QWidget* parent)
    : QDialog(parent), app_(app) {
    setWindowTitle(QStringLiteral("Focus Station"));
    auto* layout = new QVBoxLayout(this);
    image_ = new QLabel(this);
    image_->setMinimumSize(256, 256);
    image_->setAlignment(Qt::AlignCenter);
    verdict_ =
        new QLabel(QStringLiteral("Put the camera board into the cradle and press Start."), this);
    repeat_ = new QCheckBox(QStringLiteral("Repeat (start the next run after each one)"), this);
    start_ = new QPushButton(QStringLiteral("Start"), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(repeat_);
    buttons->addStretch();
    buttons->addWidget(start_);
    buttons->addWidget(close);
    layout->addWidget(image_);
    layout->addWidget(verdict_);
    layout->addLayout(buttons);
    connect(start_, &QPushButton::clicked, this, [this] { runOnce(); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
}

bool FocusStationDialog::repeat() const {
    return repeat_->isChecked();
}

void FocusStationDialog::setRepeat(bool on) {
    repeat_->setChecked(on);
}

void FocusStationDialog::showWindow(ByteSpan window, int n) {
    QImage picture(window.data(), n, n, n, QImage::Format_Grayscale8);
    image_->setPixmap(QPixmap::fromImage(picture.scaled(2 * n, 2 * n)));
    QApplication::processEvents();
}

void FocusStationDialog::runOnce() {
    if (running_)
        return;
    camera::CameraLink* cam = app_.camera().camera();
    if (cam == nullptr) {
        verdict_->setText(QStringLiteral("No camera connected."));
        return;
    }
    running_ = true;
    start_->setEnabled(false);
    QtOperator person(this, app_.productName());
    RealClock realClock([] { QApplication::processEvents(); });
    settings::Profile* profile = &app_.settings().profile();
    Operator* op = &person;
    Clock* clock = &realClock;
    std::unique_ptr<diagnostics::SystemStationDevices> system;
    diagnostics::StationDevices* devices = nullptr;
    std::unique_ptr<Operator> watched;
    if (camsim::BenchCamera* bench = app_.camera().bench()) {
        SimulatedStation& sim = simulatedStation(*bench, *profile);
        profile = sim.profile.get();
        clock = &sim.clock;
        devices = sim.devices.get();
        watched = sim.bench->watch(person);
        op = watched.get();
    } else {
        system = std::make_unique<diagnostics::SystemStationDevices>(*profile);
        devices = system.get();
    }
    SilentSound sound;
    diagnostics::Station station(*op, *clock, *profile, *devices, sound);
    station.camera = cam;
    diagnostics::FocusStationIo io = diagnostics::focusStationIo(station);
    io.repeat = repeat();
    io.nextRun = [] {
        // The next run starts once this one has returned, as a posted command would.
        QTimer::singleShot(0, [] {
            if (openDialog)
                openDialog->runOnce();
        });
    };
    io.showWindow = [this](ByteSpan window, int n) { showWindow(window, n); };
    diagnostics::FocusStation focus(io);
    focus.run();
    verdict_->setText(QStringLiteral("Focus %1 at %2, lens check %3, final check %4.")
                          .arg(QString::fromLatin1(statusText(focus.focusStatus())))
                          .arg(focus.result().focusPosition)
                          .arg(QString::fromLatin1(statusText(focus.lensCheckStatus())))
                          .arg(QString::fromLatin1(statusText(focus.finalCheckStatus()))));
    if (!focus.errorText().empty())
        person.message(focus.errorText());
    start_->setEnabled(true);
    running_ = false;
}

void installFocusStation(Application& app, CommandTarget& target) {
    target.add(shell::cmd::FocusStation, [&app] {
        FocusStationDialog dialog(app, app.frame());
        openDialog = &dialog;
        dialog.exec();
        openDialog = nullptr;
    });
    target.add(shell::cmd::FocusTest, [] {
        if (openDialog)
            openDialog->runOnce();
    });
}

} // namespace kv::app
