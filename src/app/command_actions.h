// The command table made into QActions: one action per row, the menu bar and the toolbar built
// from the table's layout, and one update() that sets enabled and checked for every action from
// the program's state. Every action also sits on the main window, so its shortcut works even
// while its menu item is hidden (gated by the update rule, as the accelerator table was).
#pragma once

#include "app/command_router.h"
#include "shell/app_state.h"

#include <QObject>
#include <QString>
#include <map>
#include <set>

class QAction;
class QMenu;
class QMenuBar;
class QToolBar;
class QWidget;

namespace kv::app {

class CommandActions : public QObject {
    Q_OBJECT
public:
    CommandActions(int edition, const QString& productName, CommandRouter& router, QWidget* window);

    QAction* action(int id) const;
    // Builds the menu bar; the Image Quality and Diagnostics submenus only with the flag.
    void buildMenus(QMenuBar* bar, bool diagnosticsShown);
    void buildToolbar(QToolBar* bar);
    // Removes a command's menu item for the rest of the run (also from later rebuilds).
    void removeMenuItem(int id);
    void update(const shell::AppState& state);

    // Texts of a menu's items as shown ("" for a separator, "&" removed), for tests and
    // diagnostics.
    static QStringList itemTexts(const QMenu* menu);
    QMenu* menuByTag(int tag) const;

signals:
    // Before a menu opens: the owner refreshes the state and calls update().
    void updateRequested();

private:
    bool shown(int id) const;
    QMenuBar* menuBar_ = nullptr;
    bool diagnosticsShown_ = false;
    int edition_;
    CommandRouter& router_;
    std::map<int, QAction*> actions_;
    std::map<int, QMenu*> taggedMenus_;
    std::set<int> removed_;
};

} // namespace kv::app
