#include "app/focus_station_dialog.h"

#include "app/application.h"
#include "app/qt_operator.h"
#include "base/clock.h"
#include "base/sound_output.h"
#include "diagnostics/focus_station.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "shell/command_table.h"

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
    QtOperator op(this, app_.productName());
    RealClock clock([] { QApplication::processEvents(); });
    settings::Profile& profile = app_.settings().profile();
    diagnostics::SystemStationDevices devices(profile);
    SilentSound sound;
    diagnostics::Station station(op, clock, profile, devices, sound);
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
        op.message(focus.errorText());
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
