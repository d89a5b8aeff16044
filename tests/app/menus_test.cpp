#include "app/command_actions.h"
#include "app_fixture.h"
#include "shell/command_table.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

namespace kv::testing {
namespace {

namespace cmd = shell::cmd;
using Menus = AppTest;

QStringList visibleTitles(const QList<QAction*>& actions) {
    QStringList titles;
    for (QAction* a : actions)
        if (a->isVisible())
            titles << (a->isSeparator() ? QString() : a->text().remove(QLatin1Char('&')));
    return titles;
}

const QStringList kCameraMenuPlain{"Take Picture",
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

TEST_F(Menus, CameraMenuWithoutDiagnosticsFlag) {
    auto& a = start();
    QMenu* camera = a.frame()->commands().menuByTag(shell::kCameraMenu);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(app::CommandActions::itemTexts(camera), kCameraMenuPlain);
    EXPECT_EQ(visibleTitles(a.frame()->menuBar()->actions()),
              (QStringList{"File", "Edit", "Camera", "View", "Image", "Help"}));
    EXPECT_EQ(a.frame()->commands().menuByTag(shell::kDiagnosticsMenu), nullptr);
}

TEST_F(Menus, DiagnosticsFlagShowsTheFactorySubmenusWithWorkingItemsOnly) {
    auto& a = start(QStringLiteral("kvmini"), {"--no-splash", "--diagnostics"});
    EXPECT_EQ(profile().getString("DIAGNOSTICS", "DIAG_DISPLAYED"), "1");
    QMenu* camera = a.frame()->commands().menuByTag(shell::kCameraMenu);
    const QStringList items = app::CommandActions::itemTexts(camera);
    EXPECT_EQ(items.at(2), "Image Quality");
    EXPECT_EQ(items.at(12), "Diagnostics");
    QMenu* diag = a.frame()->commands().menuByTag(shell::kDiagnosticsMenu);
    ASSERT_NE(diag, nullptr);
    const QStringList diagItems = app::CommandActions::itemTexts(diag);
    EXPECT_TRUE(diagItems.contains("RAM To Disk"));
    EXPECT_TRUE(diagItems.contains("Upload Data From DRAM"));
    EXPECT_TRUE(diagItems.contains("Communication Protocol"));
    // Every item shown has a handler; no separator starts, ends or doubles up.
    std::function<void(QMenu*)> check = [&](QMenu* menu) {
        QAction* previous = nullptr;
        for (QAction* item : menu->actions()) {
            if (!item->isVisible())
                continue;
            if (item->isSeparator())
                EXPECT_TRUE(previous && !previous->isSeparator()) << menu->title().toStdString();
            else if (item->menu())
                check(item->menu());
            else
                EXPECT_TRUE(a.router().has(item->data().toInt())) << item->text().toStdString();
            previous = item;
        }
        EXPECT_FALSE(previous && previous->isSeparator());
    };
    check(diag);
    EXPECT_TRUE(a.frame()
                    ->commands()
                    .action(cmd::FocusStation)
                    ->shortcuts()
                    .contains(QKeySequence(Qt::Key_F2)));
}

TEST_F(Menus, AcceleratorsPerEditionStayBoundWhenItemsAreHidden) {
    struct Case {
        const char* program;
        bool edition0Keys;
    };
    for (const Case& c : {Case{"/usr/bin/kvmini", true}, Case{"/usr/bin/zelvz3", false},
                          Case{"/usr/bin/px-80", false}}) {
        auto& a = start(QString::fromLatin1(c.program));
        auto& commands = a.frame()->commands();
        auto keys = [&](int id) { return commands.action(id)->shortcuts(); };
        EXPECT_TRUE(keys(cmd::Copy).contains(QKeySequence(QStringLiteral("Ctrl+Ins"))));
        EXPECT_TRUE(keys(cmd::TakePicture).contains(QKeySequence(QStringLiteral("Ctrl+T"))));
        EXPECT_TRUE(keys(cmd::UploadDram).contains(QKeySequence(QStringLiteral("Ctrl+U"))));
        EXPECT_EQ(keys(cmd::ViewLarge).contains(QKeySequence(QStringLiteral("Ctrl+Z"))),
                  c.edition0Keys)
            << c.program;
        EXPECT_EQ(keys(cmd::FinalTest).contains(QKeySequence(Qt::Key_F6)), c.edition0Keys);
        // Hidden Diagnostics items keep their keys on the window.
        EXPECT_TRUE(a.frame()->actions().contains(commands.action(cmd::UploadDram)));
        app.reset();
    }
}

TEST_F(Menus, TwainSwitchRenamesSaveAsInEveryEdition) {
    struct Case {
        const char* program;
        const char* argument;
        bool twain;
    };
    for (const Case& c : {Case{"kvmini", "/TWAIN", true}, Case{"px-80", "-x/TWAINy", true},
                          Case{"zelvz3", "/TWAIN", true}, Case{"kvmini", "-/twain", false},
                          Case{"/home/x/TWAIN/kvmini", "--no-splash", false}}) {
        auto& a =
            start(QString::fromLatin1(c.program), {"--no-splash", QString::fromLatin1(c.argument)});
        EXPECT_EQ(a.twainMode(), c.twain) << c.program << " " << c.argument;
        EXPECT_EQ(a.frame()->commands().action(cmd::SaveAs)->text(),
                  c.twain ? "Transfer to Application" : "Save &As...")
            << c.program << " " << c.argument;
        app.reset();
    }
}

TEST_F(Menus, ToolbarOrderAndSeparators) {
    auto& a = start(QStringLiteral("zelvz3"));
    QToolBar* bar = a.frame()->findChild<QToolBar*>();
    ASSERT_NE(bar, nullptr);
    QList<int> ids;
    for (QAction* action : bar->actions())
        ids << (action->isSeparator() ? 0 : action->data().toInt());
    EXPECT_EQ(
        ids, (QList<int>{cmd::Open, cmd::Copy, cmd::Print, 0, cmd::TakePicture, cmd::RetrieveImages,
                         cmd::ConnectCamera, 0, cmd::ViewLarge, cmd::RotateCCW, cmd::RotateCW,
                         cmd::AutoWhiteBalance, cmd::AdjustBrightness, 0, cmd::AboutEdition1}));
    for (QAction* action : bar->actions())
        if (!action->isSeparator()) {
            EXPECT_FALSE(action->icon().isNull()) << action->text().toStdString();
        }
}

TEST_F(Menus, CommandsGoToTheDiagnosticsTargetFirst) {
    auto& a = start();
    QStringList calls;
    a.router().application().add(cmd::SelectAll, [&] { calls << "application"; });
    a.frame()->updateActions();
    a.frame()->commands().action(cmd::SelectAll)->setEnabled(true);
    a.frame()->commands().action(cmd::SelectAll)->trigger();
    a.router().diagnostics().add(cmd::SelectAll, [&] { calls << "diagnostics"; });
    a.frame()->commands().action(cmd::SelectAll)->trigger();
    EXPECT_EQ(calls, (QStringList{"application", "diagnostics"}));
}

TEST_F(Menus, UpdateRulesFollowTheState) {
    auto& a = start();
    bool current = false;
    a.router().application().add(cmd::Close, [] {});
    a.frame()->addStateSource([&](shell::AppState& s) { s.hasCurrentPicture = current; });
    a.frame()->updateActions();
    EXPECT_FALSE(a.frame()->commands().action(cmd::Close)->isEnabled());
    current = true;
    a.frame()->updateActions();
    EXPECT_TRUE(a.frame()->commands().action(cmd::Close)->isEnabled());
}

} // namespace
} // namespace kv::testing
