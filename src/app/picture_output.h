// Pictures leaving the program from the GUI: the clipboard, drag and drop, printing and
// the sound notes. These render on the GUI thread under the wait cursor (the user asked for
// the picture now); everything shown on screen is rendered by the workers instead.
#pragma once

#include "imaging/rgb_picture.h"

#include <QImage>
#include <QObject>
#include <QRect>
#include <QSizeF>
#include <QString>
#include <functional>
#include <memory>

class QMimeData;
class QPrinter;
class QSoundEffect;
class QWidget;

namespace kv::app {

class Document;

inline constexpr const char* kDragTemporaryText =
    "Cannot drag temporary files.  You must save or revert all images before drag.";
inline constexpr const char* kDragFailedCaption = "Drag and Drop failed";
inline constexpr const char* kDragFailed61238 =
    "Drag and Drop failed.  The application you are dropping to may not support drag and drop.  "
    "To try again, choose Copy from the Edit menu.  Then, go to the other application and "
    "choose Paste( or Paste Special ).";

QImage toQImage(const imaging::RgbPicture& picture);

// Copy: the current picture at the output size on the clipboard. False when it cannot be
// rendered (nothing changes then).
bool copyCurrentPicture(Document& document);

// What a drag of the highlighted pictures offers: file URLs when every highlighted picture
// is a JPEG file, otherwise the current picture rendered at the output size. Null (and the
// refusal shown by the caller) when a highlighted picture is temporary.
enum class DragRefusal { None, NothingCurrent, Temporary };
DragRefusal dragRefusal(const Document& document);
QMimeData* makeDragData(Document& document);
// Runs the whole drag from `source`: refusal box, the drag loop, Close after a copy or move,
// message 61238 when nothing took the drop outside the window. `closeCommand` runs Close.
void runDrag(Document& document, QWidget* source, const std::function<void()>& closeCommand);
// A drag of one picture's file (zoom windows).
void runFileDrag(Document& document, int index, QWidget* source);

// Prints `image` onto the printer's page at `inches` (the canvas size), centred on the page.
// Returns the rectangle used, in device pixels.
QRect printImage(QPrinter& printer, const QImage& image, QSizeF inches);

// Plays sound notes through Qt Multimedia. Without an audio device nothing is heard and
// nothing fails.
class PictureSound : public QObject {
    Q_OBJECT
public:
    explicit PictureSound(QObject* parent = nullptr);
    ~PictureSound() override;
    // The note of picture `index` (the ".wav" beside a JPEG, the clip inside a .kvi file).
    // False when the picture has none or it cannot be read.
    bool play(const Document& document, int index);
    // The wave file that would be played (for tests); empty when none.
    static QString noteFile(const Document& document, int index, QString scratchDirectory);

private:
    QSoundEffect* effect_ = nullptr;
    QString scratch_;
};

} // namespace kv::app
