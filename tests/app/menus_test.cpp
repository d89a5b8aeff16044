#include "app/command_actions.h"
#include "app_fixture.h"
#include "shell/command_table.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace kv::testing {
namespace {

using Menus = AppTest;

QStringList topLevel(QMenuBar* bar) {
    QStringList titles;
    for (QAction* a : bar->actions())
        if (a->isVisible())
            titles << a->text().remove(QLatin1Char('&'));
    return titles;
}

TEST_F(Menus, CameraMenuWithoutDiagnosticsFlag) {
    auto& a = start();
    QMenu* camera = a.frame()->commands().menuByTag(shell::kCameraMenu);
    ASSERT_NE(camera, nullptr);
    const QStringList expected{"Take Picture",
                               "",
                               "Sound",
                               "Flash",
                               "Auto Expose",
                               "Exposure Time in Seconds",
                               "",
                               "Erase Camera Memory",
                               "Set Compression Level",
                               "Connect to Camera",
                               "Baud Rate",
                               "",
                               "Download Program",
                               "Download Gamma Table",
                               "Format Memory Card"};
    EXPECT_EQ(app::CommandActions::itemTexts(camera), expected);
    EXPECT_EQ(topLevel(a.frame()->menuBar())[2], "Camera");
}

} // namespace
} // namespace kv::testing
