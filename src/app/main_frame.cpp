#include "app/main_frame.h"

#include "app/icons.h"
#include "settings/app_settings.h"
#include "shell/command_table.h"
#include "shell/frame_geometry.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

namespace kv::app {

namespace {

QRect screenRect(const QWidget* w) {
    const QScreen* s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    return s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
}

int scrollBarWidth() {
    return QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

} // namespace

MainFrame::MainFrame(const FrameSetup& setup, CommandRouter& router,
                     settings::AppSettings& settings, QWidget* parent)
    : QMainWindow(parent), setup_(setup), settings_(settings) {
    setObjectName(QStringLiteral("KVISClass"));
    // The title is the product name only, never the document's.
    setWindowTitle(setup.productName);
    setWindowIcon(programIcon());
    setAcceptDrops(true);

    commands_ = new CommandActions(setup.edition, setup.productName, router, this);
    if (setup.twainMode)
        commands_->action(shell::cmd::SaveAs)->setText(QStringLiteral("Transfer to Application"));
    commands_->buildMenus(menuBar(), setup.diagnosticsShown);
    connect(commands_, &CommandActions::updateRequested, this, &MainFrame::updateActions);

    auto* toolbar = addToolBar(QStringLiteral("Standard"));
    toolbar->setObjectName(QStringLiteral("toolbar"));
    toolbar->setMovable(false);
    toolbar->setIconSize(QSize(16, 15) * 3 / 2);
    commands_->buildToolbar(toolbar);
    connect(commands_->action(shell::cmd::ViewToolbar), &QAction::triggered, toolbar,
            &QToolBar::setVisible);
    connect(commands_->action(shell::cmd::ViewStatusBar), &QAction::triggered, statusBar(),
            &QStatusBar::setVisible);
    router.application().add(shell::cmd::ViewToolbar, [] {});
    router.application().add(shell::cmd::ViewStatusBar, [] {});

    // The small font of the status bar: 7 points.
    QFont small = font();
    small.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                       QStringLiteral("DejaVu Sans Condensed")});
    small.setPointSize(7);
    statusBar()->setFont(small);
    statusBar()->setSizeGripEnabled(false);
    for (std::size_t i = 0; i < panes_.size(); ++i) {
        auto* label = new QLabel(this);
        label->setObjectName(QStringLiteral("pane%1").arg(shell::kStatusPaneIds[i]));
        label->setFont(small);
        panes_[i] = label;
    }
    statusBar()->addWidget(panes_[0], 1);
    for (std::size_t i = 1; i < panes_.size(); ++i)
        statusBar()->addPermanentWidget(panes_[i]);
    statusBar()->installEventFilter(this);
    panes_[0]->installEventFilter(this);
    setStatusLayout(shell::StatusLayout::Message);

    auto* placeholder = new QWidget(this);
    placeholder->setAutoFillBackground(true);
    QPalette pal = placeholder->palette();
    pal.setColor(QPalette::Window, QColor(80, 80, 80));
    placeholder->setPalette(pal);
    setCentralWidget(placeholder);

    // The framework's idle update: menus and toolbar follow the state.
    auto* idle = new QTimer(this);
    connect(idle, &QTimer::timeout, this, &MainFrame::updateActions);
    idle->start(250);
    updateActions();
}

void MainFrame::setDiagnosticsShown(bool shown) {
    if (setup_.diagnosticsShown == shown)
        return;
    setup_.diagnosticsShown = shown;
    commands_->buildMenus(menuBar(), shown);
    updateActions();
}

void MainFrame::addStateSource(std::function<void(shell::AppState&)> source) {
    stateSources_.push_back(std::move(source));
}

shell::AppState MainFrame::currentState() const {
    shell::AppState s;
    s.edition = setup_.edition;
    s.diagnosticsShown = setup_.diagnosticsShown;
    s.twainMode = setup_.twainMode;
    s.largeMode = largeMode_;
    s.toolbarVisible = !findChild<QToolBar*>() || findChild<QToolBar*>()->isVisible();
    s.statusBarVisible = statusBar()->isVisible();
    for (const auto& source : stateSources_)
        source(s);
    return s;
}

void MainFrame::updateActions() {
    commands_->update(currentState());
}

void MainFrame::setView(QWidget* view) {
    setCentralWidget(view);
    if (view)
        view->setAcceptDrops(false);
}

void MainFrame::setStatusLayout(shell::StatusLayout layout, bool newFirmware) {
    layout_ = layout;
    const auto panes = shell::statusPanes(layout, newFirmware);
    for (std::size_t i = 1; i < panes_.size(); ++i)
        panes_[i]->setVisible(false);
    for (const shell::StatusPane& p : panes) {
        std::size_t index = 0;
        while (shell::kStatusPaneIds[index] != p.id)
            ++index;
        QLabel* label = panes_[index];
        if (index > 0) {
            // The pane's width is its least: a wider font than the small one it was measured
            // with must not cut the text off.
            label->setMinimumWidth(p.width);
            label->setVisible(p.width > 0);
        }
        label->setFrameStyle(p.border ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
    }
}

void MainFrame::setPaneTexts(const std::array<QString, 5>& texts) {
    for (std::size_t i = 0; i < texts.size(); ++i)
        panes_[i + 1]->setText(texts[i]);
}

void MainFrame::setMessage(const QString& text) {
    panes_[0]->setText(text);
}

void MainFrame::showPictureInfo(const QPoint& globalPos) {
    const QString text = pictureInfo_ ? pictureInfo_() : QString();
    if (!infoPopup_) {
        // A pop-up: the next click anywhere closes it.
        infoPopup_ = new QLabel(this, Qt::Popup);
        infoPopup_->setObjectName(QStringLiteral("pictureInfo"));
        infoPopup_->setFrameStyle(QFrame::Panel | QFrame::Raised);
        infoPopup_->setMargin(6);
        infoPopup_->setTextFormat(Qt::PlainText);
    }
    infoPopup_->setText(text.isEmpty() ? QStringLiteral("No picture") : text);
    infoPopup_->adjustSize();
    infoPopup_->move(globalPos);
    infoPopup_->show();
}

bool MainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && layout_ == shell::StatusLayout::Compact &&
        (watched == statusBar() || watched == panes_[0])) {
        showPictureInfo(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainFrame::positionsAvailable() const {
    // Wayland does not let clients place or read their windows' positions.
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QSize MainFrame::snappedSize(QSize outer, bool overflow) {
    shell::SnapInput in;
    in.width = outer.width();
    in.height = outer.height();
    in.scrollBarWidth = scrollBarWidth();
    in.overflow = overflow;
    const QWidget* view = centralWidget();
    const int frameTop = geometry().top() - frameGeometry().top();
    in.viewTop = view ? frameTop + view->mapTo(this, QPoint(0, 0)).y() : shell::kDefaultViewTop;
    in.statusBarHeight = statusBar()->isVisible() ? statusBar()->sizeHint().height() : 0;
    const QRect screen = screenRect(this);
    in.screenWidth = screen.width();
    in.screenHeight = screen.height();
    const shell::SnapResult r = shell::snapToCells(in);
    columns_ = r.columns;
    rows_ = r.rows;
    return {r.width, r.height};
}

bool MainFrame::placeAtStart(const std::optional<settings::Placement>& saved) {
    placed_ = true;
    const QRect screen = screenRect(this);
    const QSize decoration = frameGeometry().size() - geometry().size();
    if (saved) {
        const QRect r(saved->left, saved->top, saved->right - saved->left,
                      saved->bottom - saved->top);
        resize(r.size() - decoration);
        if (positionsAvailable())
            move(r.topLeft());
        largeMode_ = false;
        return saved->showCmd == shell::kShowMaximized;
    }
    // A first start: the whole screen snapped to cells, centred, and saved as the placement.
    shell::SnapInput in;
    in.width = screen.width();
    in.height = screen.height();
    in.statusBarHeight = statusBar()->sizeHint().height();
    in.screenWidth = screen.width();
    in.screenHeight = screen.height();
    const shell::SnapResult r = shell::snapToCells(in);
    columns_ = r.columns;
    rows_ = r.rows;
    const settings::Placement p =
        shell::firstStartPlacement(screen.width(), screen.height(), r.width, r.height);
    resize(QSize(r.width, r.height) - decoration);
    if (positionsAvailable())
        move(screen.left() + p.left, screen.top() + p.top);
    settings_.savePlacement(p);
    return false;
}

void MainFrame::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (snapping_ || largeMode_ || !placed_)
        return;
    // Snap once the size has settled, so an interactive resize is not fought step by step.
    if (!snapPending_) {
        snapPending_ = true;
        QTimer::singleShot(0, this, &MainFrame::applySnap);
    }
}

void MainFrame::applySnap() {
    snapPending_ = false;
    // Where the compositor places and sizes windows (Wayland) the frame does not fight it.
    if (isMinimized() || largeMode_ || !positionsAvailable())
        return;
    const int count = currentState().pictureCount;
    const bool overflow = shell::picturesOverflow(count, columns_, rows_);
    if (isMaximized() || isFullScreen()) {
        // The window manager owns a maximised window's size: only the cell counts follow it.
        const QRect screen = screenRect(this);
        const shell::Rect r =
            shell::maximisedThumbnailRect(screen.width(), screen.height(), scrollBarWidth());
        columns_ = r.width / shell::kCellWidth;
        rows_ = std::max(1, r.height / shell::kCellHeight);
        return;
    }
    const QSize decoration = frameGeometry().size() - geometry().size();
    const QSize snapped = snappedSize(frameGeometry().size(), overflow);
    if (snapped != frameGeometry().size()) {
        snapping_ = true;
        resize(snapped - decoration);
        snapping_ = false;
    }
    savePlacement();
}

void MainFrame::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (placed_)
        savePlacement();
}

void MainFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && placed_)
        savePlacement();
}

void MainFrame::savePlacement() {
    if (isMinimized())
        return;
    const QRect screen = screenRect(this);
    settings::Placement previous;
    if (auto old = settings_.loadPlacement(screen.width(), screen.height()))
        previous = *old;
    else
        previous = shell::firstStartPlacement(screen.width(), screen.height(), width(), height());
    const QRect f = isMaximized() ? normalGeometry() : frameGeometry();
    const shell::Rect frame{f.x() - screen.x(), f.y() - screen.y(), f.width(), f.height()};
    settings_.savePlacement(shell::placementFor(frame, isMaximized(), previous));
}

void MainFrame::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainFrame::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    if (!paths.isEmpty()) {
        event->acceptProposedAction();
        activateWindow();
        emit filesDropped(paths);
    }
}

} // namespace kv::app
