// The small dialogs of the picture commands. Each binds widgets to the plain functions of
// library/output_size.h and imaging/edits.h, which hold the arithmetic.
#pragma once

#include "imaging/rgb_picture.h"

#include <QDialog>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QSlider;

namespace kv::app {

// Image Output Size: the units list ("Inches", "Centimeters", "Pixels") and the six size
// labels of the chosen unit, with the note about cropped pictures.
class OutputSizeDialog : public QDialog {
    Q_OBJECT
public:
    OutputSizeDialog(int sizeIndex, int units, QWidget* parent = nullptr);
    int sizeIndex() const;
    int units() const;
    QListWidget* sizeList() const { return sizes_; }
    QComboBox* unitList() const { return units_; }

private:
    void fillSizes();
    QComboBox* units_;
    QListWidget* sizes_;
};

// Image Canvas Size: width and height in inches, tied to the aspect ratio they started with.
// A keystroke that leaves a field ending in anything but a digit or a point is undone.
class CanvasSizeDialog : public QDialog {
    Q_OBJECT
public:
    CanvasSizeDialog(double width, double height, QWidget* parent = nullptr);
    double canvasWidth() const;
    double canvasHeight() const;
    QLineEdit* widthField() const { return width_; }
    QLineEdit* heightField() const { return height_; }

private:
    void edited(QLineEdit* field, QLineEdit* other, double startThis, double startOther,
                QString& lastGood);
    QLineEdit* width_;
    QLineEdit* height_;
    double startWidth_;
    double startHeight_;
    QString lastWidth_;
    QString lastHeight_;
    bool rewriting_ = false;
};

// Adjust Brightness: a slider 1..150 from 75 between "Darker" and "Brighter" and a live
// preview of the picture's small image.
class BrightnessDialog : public QDialog {
    Q_OBJECT
public:
    BrightnessDialog(std::shared_ptr<const imaging::RgbPicture> preview, QWidget* parent = nullptr);
    float factor() const;
    QSlider* slider() const { return slider_; }
    QImage previewImage() const { return previewImage_; }

private:
    void redraw();
    std::shared_ptr<const imaging::RgbPicture> preview_;
    QSlider* slider_;
    QLabel* previewLabel_;
    QImage previewImage_;
};

} // namespace kv::app
