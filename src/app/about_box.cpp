#include "app/about_box.h"

#include "app/application.h"
#include "app/icons.h"
#include "settings/app_settings.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace kv::app {

QString batteryText(int battery) {
    if (battery == 999)
        return QString::fromLatin1(shell::kAcPower.data(),
                                   static_cast<int>(shell::kAcPower.size()));
    return QStringLiteral("%1%").arg(battery);
}

AboutBox::AboutBox(Application& app, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QString::fromStdString(shell::aboutTitle(app.productName().toStdString())));

    auto* icon = new QLabel(this);
    icon->setPixmap(programIcon().pixmap(48, 48));
    auto* product = new QLabel(QStringLiteral("<b>%1</b>").arg(app.productName()), this);
    product->setObjectName(QStringLiteral("product"));
    auto* version =
        new QLabel(QStringLiteral("Version %1")
                       .arg(QString::fromLatin1(shell::kProgramVersion.data(),
                                                static_cast<int>(shell::kProgramVersion.size()))),
                   this);
    version->setObjectName(QStringLiteral("version"));

    const QString na = QStringLiteral("N/A");
    firmware_ = new QLabel(na, this);
    mfgNumber_ = new QLabel(na, this);
    battery_ = new QLabel(na, this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Firmware Revision:"), firmware_);
    form->addRow(QStringLiteral("Mfg. Number:"), mfgNumber_);
    form->addRow(QStringLiteral("Battery Status:"), battery_);

    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    auto* names = new QVBoxLayout;
    names->addWidget(product);
    names->addWidget(version);
    if (app.edition().twainCredit) {
        auto* credit = new QLabel(QStringLiteral("TWAIN support: acquire pictures from any "
                                                 "TWAIN-compliant application."),
                                  this);
        credit->setObjectName(QStringLiteral("twainCredit"));
        credit->setWordWrap(true);
        names->addWidget(credit);
    }
    top->addLayout(names, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(form);
    layout->addWidget(buttons);

    if (camera::CameraLink* cam = app.camera().camera()) {
        if (cam->requestStatus() == 0) {
            const camera::CameraStatus& s = cam->status();
            firmware_->setText(QString::fromLatin1(s.firmwareText().data(),
                                                   static_cast<int>(s.firmwareText().size())));
            mfgNumber_->setText(QString::fromStdString(
                settings::manufacturingNumberText(static_cast<std::uint32_t>(s.serialNumber))));
            battery_->setText(kv::app::batteryText(s.battery));
            app.statusRefresh();
        } else {
            // Drop the camera now; the connect procedure runs once the box is up.
            app.camera().drop();
            QMetaObject::invokeMethod(
                &app, [&app] { app.connectCamera(); }, Qt::QueuedConnection);
        }
    }
}

QString AboutBox::firmwareText() const {
    return firmware_->text();
}
QString AboutBox::mfgNumberText() const {
    return mfgNumber_->text();
}
QString AboutBox::batteryText() const {
    return battery_->text();
}

} // namespace kv::app
