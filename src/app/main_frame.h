// The main window: title, menus and toolbar from the command table, the status bar with its
// panes and layouts, the cell-snapping size rule and the placement written on every move.
// The view (thumbnails or one large picture) is set by the document side with setView().
#pragma once

#include "app/command_actions.h"
#include "shell/app_state.h"
#include "shell/status_layout.h"

#include <QLabel>
#include <QMainWindow>
#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace kv::settings {
class AppSettings;
struct Placement;
} // namespace kv::settings

namespace kv::app {

struct FrameSetup {
    int edition = 0;
    QString productName;
    bool diagnosticsShown = false;
    bool twainMode = false;
};

class MainFrame : public QMainWindow {
    Q_OBJECT
public:
    MainFrame(const FrameSetup& setup, CommandRouter& router, settings::AppSettings& settings,
              QWidget* parent = nullptr);

    CommandActions& commands() { return *commands_; }
    const FrameSetup& setup() const { return setup_; }
    // Shows the Image Quality and Diagnostics submenus from now on (menus rebuilt).
    void setDiagnosticsShown(bool shown);

    // The program's state for the update rules: every source adds its part (camera, document).
    void addStateSource(std::function<void(shell::AppState&)> source);
    shell::AppState currentState() const;
    // Sets enabled/checked of every command now.
    void updateActions();

    // The view in the client area (a dark placeholder until the document side sets one).
    void setView(QWidget* view);
    QWidget* view() const { return centralWidget(); }

    // Status bar
    void setStatusLayout(shell::StatusLayout layout, bool newFirmware = false);
    shell::StatusLayout statusLayout() const { return layout_; }
    void setPaneTexts(const std::array<QString, 5>& texts);
    void setMessage(const QString& text);
    QLabel* pane(int index) const { return panes_[static_cast<std::size_t>(index)]; }
    // The text the compact layout's pop-up shows (the current picture's information).
    void setPictureInfoSource(std::function<QString()> source) { pictureInfo_ = std::move(source); }
    void showPictureInfo(const QPoint& globalPos);
    QLabel* pictureInfoPopup() const { return infoPopup_; }

    // Thumbnail cells the client area holds (recomputed on every size change).
    int columns() const { return columns_; }
    int rows() const { return rows_; }
    bool largeMode() const { return largeMode_; }
    void setLargeMode(bool on) { largeMode_ = on; }

    // Places the window at start: the saved placement, or centred and snapped on a first start
    // (saving that placement). Returns true when the window should start maximised.
    bool placeAtStart(const std::optional<settings::Placement>& saved);
    // The snapping rule on a proposed outer size, with this frame's allowances.
    QSize snappedSize(QSize outer, bool overflow);

signals:
    // Files dropped on the window, in the order given.
    void filesDropped(const QStringList& paths);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void savePlacement();
    void applySnap();
    bool positionsAvailable() const;

    FrameSetup setup_;
    settings::AppSettings& settings_;
    CommandActions* commands_;
    std::vector<std::function<void(shell::AppState&)>> stateSources_;
    std::array<QLabel*, 6> panes_{};
    shell::StatusLayout layout_ = shell::StatusLayout::Message;
    std::function<QString()> pictureInfo_;
    QLabel* infoPopup_ = nullptr;
    int columns_ = 1, rows_ = 1;
    bool largeMode_ = false;
    bool snapping_ = false;
    bool snapPending_ = false;
    bool placed_ = false;
};

} // namespace kv::app
