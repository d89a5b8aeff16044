// The Focus Station dialog of the Diagnostics menu: a Start button for one run, the repeat
// switch (each run then starts the next through the "Focus Test" command instead of homing
// the cradle), the run's verdicts, and each captured target window while the settings ask for
// "FOCUS_IMAGE_DISPLAY". The run itself is runFocusStation of the libraries, on the GUI
// thread with a clock that keeps the window alive.
#pragma once

#include "base/bytes.h"

#include <QDialog>
#include <cstdint>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace kv::app {

class Application;
class CommandTarget;

class FocusStationDialog : public QDialog {
    Q_OBJECT
public:
    FocusStationDialog(Application& app, QWidget* parent);

    bool repeat() const;
    void setRepeat(bool on);
    // One run of the station (the "Focus Test" command).
    void runOnce();
    // Shows a window of n x n 8-bit pixels, rows from the top.
    void showWindow(ByteSpan window, int n);

private:
    Application& app_;
    QCheckBox* repeat_;
    QLabel* image_;
    QLabel* verdict_;
    QPushButton* start_;
    bool running_ = false;
};

// Adds Focus Station (the dialog) and Focus Test (one run in the open dialog) to `target`.
void installFocusStation(Application& app, CommandTarget& target);

} // namespace kv::app
