// The document side of the program: the picture list with its thumbnail view and zoom
// windows, and the File, Edit, View and Edits commands that work on them. Installed in two
// steps: the handlers before the frame builds its menus, the view once the frame exists.
#pragma once

#include "app/document.h"
#include "app/picture_output.h"
#include "app/thumbnail_view.h"
#include "app/zoom_window.h"

#include <QObject>
#include <QPointer>
#include <QSizeF>
#include <memory>

namespace kv::app {

class Application;
class QtOperator;

class DocumentCommands : public QObject {
    Q_OBJECT
public:
    explicit DocumentCommands(Application& app);
    ~DocumentCommands() override;

    Document& document() { return *document_; }
    ThumbnailView* view() const { return view_; }
    ZoomWindows& zoomWindows() { return *zoom_; }
    QSizeF canvasSize() const { return canvas_; }

    // Puts the view into the frame and connects both.
    void attach();

    // The commands (also called by tests).
    void open();
    void saveAs();
    void rename();
    void print(int command);
    void outputSize();
    void slideShow(int delaySeconds);
    void adjustBrightness();
    void filterNoise(int iterations);
    void viewLarge();
    void viewThumbnails();
    void zoom(int index);
    void drag();

private:
    void add(int id, std::function<void()> handler);
    void chooseFromZoom(int index);
    void refresh();

    Application& app_;
    std::unique_ptr<QtOperator> op_;
    std::unique_ptr<Operator> startOperator_;
    Document* document_;
    QPointer<ThumbnailView> view_;
    ZoomWindows* zoom_;
    PictureSound* sound_;
    QSizeF canvas_;
};

// The document side of a running program, or null.
DocumentCommands* documentCommandsOf(Application& app);
Document* documentOf(Application& app);

} // namespace kv::app
