// The About box: "About " + product name, the version, the product name, the TWAIN credit line
// (not in edition 2), and with a camera its firmware, manufacturing number and battery.
#pragma once

#include <QDialog>

class QLabel;

namespace kv::app {

class Application;

class AboutBox : public QDialog {
    Q_OBJECT
public:
    // Asks a connected camera for its status first; a camera that does not answer is dropped
    // and the connect procedure runs again (the fields then stay "N/A").
    explicit AboutBox(Application& app, QWidget* parent = nullptr);

    QString firmwareText() const;
    QString mfgNumberText() const;
    QString batteryText() const;

private:
    QLabel* firmware_;
    QLabel* mfgNumber_;
    QLabel* battery_;
};

// "AC Power" for 999, else the percentage.
QString batteryText(int battery);

} // namespace kv::app
