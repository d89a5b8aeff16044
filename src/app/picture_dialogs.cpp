#include "app/picture_dialogs.h"

#include "imaging/edits.h"
#include "library/output_renderer.h"
#include "library/output_size.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSlider>
#include <QVBoxLayout>

namespace kv::app {

namespace {

QDialogButtonBox* okCancel(QDialog* dialog) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

QString number(double value) {
    return QString::asprintf("%2.3f", value);
}

} // namespace

OutputSizeDialog::OutputSizeDialog(int sizeIndex, int units, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Image Output Size"));
    units_ = new QComboBox(this);
    for (int u = 0; u < 3; ++u)
        units_->addItem(QString::fromUtf8(library::sizeUnitsName(u).data(),
                                          qsizetype(library::sizeUnitsName(u).size())));
    units_->setCurrentIndex(library::validSizeUnits(units));
    sizes_ = new QListWidget(this);
    fillSizes();
    const int row = sizeIndex >= 0 && sizeIndex < library::kOutputSizeCount
                        ? sizeIndex
                        : library::kDefaultOutputSize;
    sizes_->setCurrentRow(row);
    connect(units_, &QComboBox::currentIndexChanged, this, [this] {
        const int keep = sizes_->currentRow();
        fillSizes();
        sizes_->setCurrentRow(keep);
    });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(units_);
    layout->addWidget(sizes_);
    auto* note = new QLabel(QString::fromUtf8(library::kOutputSizeNote.data(),
                                              qsizetype(library::kOutputSizeNote.size())),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addWidget(okCancel(this));
}

void OutputSizeDialog::fillSizes() {
    sizes_->clear();
    for (int i = 0; i < library::kOutputSizeCount; ++i)
        sizes_->addItem(
            QString::fromStdString(library::outputSizeLabel(units_->currentIndex(), i)));
}

int OutputSizeDialog::sizeIndex() const {
    return sizes_->currentRow();
}

int OutputSizeDialog::units() const {
    return units_->currentIndex();
}

CanvasSizeDialog::CanvasSizeDialog(double width, double height, QWidget* parent)
    : QDialog(parent), startWidth_(width), startHeight_(height) {
    setWindowTitle(tr("Image Canvas Size"));
    width_ = new QLineEdit(number(width), this);
    height_ = new QLineEdit(number(height), this);
    lastWidth_ = width_->text();
    lastHeight_ = height_->text();
    connect(width_, &QLineEdit::textEdited, this,
            [this] { edited(width_, height_, startWidth_, startHeight_, lastWidth_); });
    connect(height_, &QLineEdit::textEdited, this,
            [this] { edited(height_, width_, startHeight_, startWidth_, lastHeight_); });
    auto* form = new QFormLayout(this);
    form->addRow(tr("Width:"), width_);
    form->addRow(tr("Height:"), height_);
    form->addRow(okCancel(this));
}

void CanvasSizeDialog::edited(QLineEdit* field, QLineEdit* other, double startThis,
                              double startOther, QString& lastGood) {
    const std::string text = field->text().toStdString();
    if (!library::canvasTextAcceptable(text)) {
        field->setText(lastGood); // the keystroke is undone
        return;
    }
    lastGood = field->text();
    if (const auto partner = library::canvasPartnerText(text, startThis, startOther)) {
        other->setText(QString::fromStdString(*partner));
        (other == width_ ? lastWidth_ : lastHeight_) = other->text();
    }
}

double CanvasSizeDialog::canvasWidth() const {
    return width_->text().toDouble();
}

double CanvasSizeDialog::canvasHeight() const {
    return height_->text().toDouble();
}

BrightnessDialog::BrightnessDialog(std::shared_ptr<const imaging::RgbPicture> preview,
                                   QWidget* parent)
    : QDialog(parent), preview_(std::move(preview)) {
    setWindowTitle(tr("Adjust Brightness"));
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(imaging::kBrightnessSliderMin, imaging::kBrightnessSliderMax);
    slider_->setValue(imaging::kBrightnessSliderStart);
    previewLabel_ = new QLabel(this);
    previewLabel_->setFixedSize(library::kThumbnailBox, library::kThumbnailBox);
    previewLabel_->setAlignment(Qt::AlignCenter);
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(tr("Darker"), this));
    row->addWidget(slider_);
    row->addWidget(new QLabel(tr("Brighter"), this));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(previewLabel_, 0, Qt::AlignHCenter);
    layout->addLayout(row);
    layout->addWidget(okCancel(this));
    connect(slider_, &QSlider::valueChanged, this, &BrightnessDialog::redraw);
    redraw();
}

float BrightnessDialog::factor() const {
    return imaging::BrightnessFactorForSlider(slider_->value());
}

void BrightnessDialog::redraw() {
    if (!preview_ || !preview_->valid())
        return;
    imaging::RgbPicture p = *preview_;
    imaging::ApplyBrightness(factor(), p.pixels.data(), p.pixels.size());
    previewImage_ =
        QImage(p.pixels.data(), p.width, p.height, p.width * 3, QImage::Format_RGB888).copy();
    previewLabel_->setPixmap(QPixmap::fromImage(previewImage_));
}

} // namespace kv::app
