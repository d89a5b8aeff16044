// kvmini: the program. The edition comes from the name it was started under.
#include "app/application.h"

#include <QApplication>
#include <QFileInfo>

int main(int argc, char** argv) {
    // Window positions are needed for placement, snapping, centring and the splash: on a
    // Wayland session use XWayland unless the user chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    const QString programPath = QString::fromLocal8Bit(argc > 0 ? argv[0] : "kvmini");
    QApplication qapp(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("kvmini"));
    QApplication::setApplicationName(QFileInfo(programPath).fileName());
    QApplication::setDesktopFileName(QStringLiteral("kvmini"));
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Window, QColor(192, 192, 192));
    QApplication::setPalette(palette, "QDialog");

    kv::app::StartOptions options;
    options.programPath = programPath;
    options.arguments = QApplication::arguments().mid(1);
    kv::app::Application app(options);
    const int early = app.start();
    if (early >= 0)
        return early;
    return QApplication::exec();
}
