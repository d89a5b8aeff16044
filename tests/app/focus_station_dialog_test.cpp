#include "app/command_actions.h"
#include "app/focus_station_dialog.h"
#include "app_fixture.h"
#include "shell/command_table.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <vector>

namespace kv::testing {
namespace {

using FocusStationDialogTest = AppTest;

TEST_F(FocusStationDialogTest, MenuCommandWithF2AndTheDialog) {
    auto& a = start(QStringLiteral("/usr/bin/kvmini"),
                    {QStringLiteral("--no-splash"), QStringLiteral("--diagnostics")});
    EXPECT_TRUE(a.router().has(shell::cmd::FocusStation));
    EXPECT_TRUE(a.router().has(shell::cmd::FocusTest));
    QAction* focus = a.frame()->commands().action(shell::cmd::FocusStation);
    ASSERT_NE(focus, nullptr);
    EXPECT_EQ(focus->shortcut().toString(), QStringLiteral("F2"));

    app::FocusStationDialog dialog(a, a.frame());
    EXPECT_FALSE(dialog.repeat());
    dialog.setRepeat(true);
    EXPECT_TRUE(dialog.findChild<QCheckBox*>()->isChecked());
    // Without a camera a run says so and does nothing else.
    dialog.runOnce();
    bool told = false;
    for (QLabel* l : dialog.findChildren<QLabel*>())
        told = told || l->text() == QStringLiteral("No camera connected.");
    EXPECT_TRUE(told);
    // A captured window is shown at twice its size.
    std::vector<std::uint8_t> window(16 * 16, 128);
    dialog.showWindow(window, 16);
    bool shown = false;
    for (QLabel* l : dialog.findChildren<QLabel*>())
        shown = shown || (!l->pixmap().isNull() && l->pixmap().width() == 32);
    EXPECT_TRUE(shown);
}

TEST_F(FocusStationDialogTest, RunsOnTheBenchWithSimulate) {
    auto& a = start(QStringLiteral("/usr/bin/kvmini"),
                    {QStringLiteral("--no-splash"), QStringLiteral("--diagnostics"),
                     QStringLiteral("--simulate")});
    a.connectCamera();
    ASSERT_NE(a.camera().camera(), nullptr);
    // The person at the station answers every box with its default button.
    QStringList boxes;
    QTimer person;
    QObject::connect(&person, &QTimer::timeout, [&boxes] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes << box->text();
            box->defaultButton()->click();
        }
    });
    person.start(10);
    app::FocusStationDialog dialog(a, a.frame());
    dialog.runOnce();
    person.stop();
    EXPECT_TRUE(boxes.contains(QStringLiteral("Load Lens"))) << boxes.join("|").toStdString();
    bool passed = false;
    for (QLabel* l : dialog.findChildren<QLabel*>())
        passed = passed || l->text().startsWith(QStringLiteral("Focus passed at 630"));
    EXPECT_TRUE(passed) << boxes.join("|").toStdString();
}

} // namespace
} // namespace kv::testing
