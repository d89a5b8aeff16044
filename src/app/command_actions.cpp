#include "app/command_actions.h"

#include "app/icons.h"
#include "shell/command_table.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>
#include <QWidget>
#include <vector>

namespace kv::app {

using shell::MenuKind;

CommandActions::CommandActions(int edition, const QString& productName, CommandRouter& router,
                               QWidget* window)
    : QObject(window), edition_(edition), router_(router) {
    for (const shell::CommandRow& row : shell::commandTable()) {
        QString text = QString::fromUtf8(row.text.data(), static_cast<int>(row.text.size()));
        text.replace(QStringLiteral("%1"), productName);
        auto* action = new QAction(text, window);
        const QString tip =
            QString::fromUtf8(row.statusTip.data(), static_cast<int>(row.statusTip.size()));
        const int nl = tip.indexOf(QLatin1Char('\n'));
        action->setStatusTip(nl < 0 ? tip : tip.left(nl));
        action->setToolTip(nl < 0 ? QString(text).remove(QLatin1Char('&')) : tip.mid(nl + 1));
        QList<QKeySequence> keys;
        for (std::string_view k : shell::shortcutsFor(row, edition))
            keys << QKeySequence(QString::fromLatin1(k.data(), static_cast<int>(k.size())));
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        action->setCheckable(row.checked != nullptr);
        if (!row.icon.empty())
            action->setIcon(commandIcon(
                QString::fromLatin1(row.icon.data(), static_cast<int>(row.icon.size()))));
        action->setData(row.id);
        const int id = row.id;
        connect(action, &QAction::triggered, this, [this, id] { router_.run(id); });
        window->addAction(action);
        actions_[row.id] = action;
    }
}

QAction* CommandActions::action(int id) const {
    const auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

bool CommandActions::shown(int id) const {
    const shell::CommandRow* row = shell::findCommand(id);
    if (!row || removed_.count(id) || (row->flags & shell::kNoMenu))
        return false;
    return !(row->flags & shell::kFactory) || router_.has(id);
}

void CommandActions::buildMenus(QMenuBar* bar, bool diagnosticsShown) {
    menuBar_ = bar;
    diagnosticsShown_ = diagnosticsShown;
    bar->clear();
    taggedMenus_.clear();
    // A stack of open menus; a null entry is a submenu being skipped.
    std::vector<QMenu*> stack;
    std::vector<QMenu*> built;
    int skipping = 0;
    for (const shell::MenuEntry& e : shell::menuLayout()) {
        if (skipping) {
            if (e.kind == MenuKind::Popup)
                ++skipping;
            else if (e.kind == MenuKind::End)
                --skipping;
            continue;
        }
        switch (e.kind) {
        case MenuKind::Popup: {
            if (!diagnosticsShown &&
                (e.id == shell::kImageQualityMenu || e.id == shell::kDiagnosticsMenu)) {
                skipping = 1;
                break;
            }
            const QString title = QString::fromUtf8(e.text.data(), static_cast<int>(e.text.size()));
            QMenu* menu = stack.empty() ? bar->addMenu(title) : stack.back()->addMenu(title);
            connect(menu, &QMenu::aboutToShow, this, &CommandActions::updateRequested);
            if (e.id)
                taggedMenus_[e.id] = menu;
            stack.push_back(menu);
            built.push_back(menu);
            break;
        }
        case MenuKind::End:
            stack.pop_back();
            break;
        case MenuKind::Separator:
            stack.back()->addSeparator();
            break;
        case MenuKind::Command: {
            const int id = e.id == shell::kEditionAbout ? shell::aboutCommand(edition_) : e.id;
            if (id && shown(id))
                stack.back()->addAction(action(id));
            break;
        }
        }
    }
    // Submenus left without items are not shown; separators never double up or dangle.
    for (auto it = built.rbegin(); it != built.rend(); ++it) {
        QMenu* menu = *it;
        QAction* previous = nullptr;
        for (QAction* a : menu->actions()) {
            const bool sep = a->isSeparator();
            if (sep && (!previous || previous->isSeparator()))
                menu->removeAction(a);
            else
                previous = a;
        }
        if (previous && previous->isSeparator())
            menu->removeAction(previous);
        bool any = false;
        for (QAction* a : menu->actions())
            any = any || a->isVisible();
        if (!any)
            menu->menuAction()->setVisible(false);
    }
}

void CommandActions::buildToolbar(QToolBar* bar) {
    bar->clear();
    for (int id : shell::toolbarLayout()) {
        if (id == 0) {
            bar->addSeparator();
            continue;
        }
        if (id == shell::kEditionAbout)
            id = shell::aboutCommand(edition_);
        if (QAction* a = id ? action(id) : nullptr)
            bar->addAction(a);
    }
}

void CommandActions::removeMenuItem(int id) {
    if (!removed_.insert(id).second)
        return;
    if (menuBar_)
        buildMenus(menuBar_, diagnosticsShown_);
}

void CommandActions::update(const shell::AppState& state) {
    for (const shell::CommandRow& row : shell::commandTable()) {
        QAction* a = actions_[row.id];
        const bool handled = router_.has(row.id);
        a->setEnabled(handled && (!row.enabled || row.enabled(state, row.value)));
        if (row.checked)
            a->setChecked(row.checked(state, row.value));
    }
}

QStringList CommandActions::itemTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* a : menu->actions()) {
        if (!a->isVisible())
            continue;
        texts << (a->isSeparator() ? QString() : QString(a->text()).remove(QLatin1Char('&')));
    }
    return texts;
}

QMenu* CommandActions::menuByTag(int tag) const {
    const auto it = taggedMenus_.find(tag);
    return it == taggedMenus_.end() ? nullptr : it->second;
}

} // namespace kv::app
