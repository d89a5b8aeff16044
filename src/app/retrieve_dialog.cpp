#include "app/retrieve_dialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace kv::app {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

RetrieveDialog::RetrieveDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Retrieving Images"));
    auto* layout = new QVBoxLayout(this);
    bar_ = new QProgressBar;
    bar_->setTextVisible(false);
    bar_->setRange(0, 1);
    bar_->setValue(0);
    percent_ = new QLabel(QStringLiteral(" 0 %"));
    percent_->setAlignment(Qt::AlignCenter);
    retransmit_ = new QLabel(QStringLiteral("Retransmit Count: 0"));
    rate_ = new QLabel;
    cancel_ = new QPushButton(QStringLiteral("Cancel"));
    layout->addWidget(bar_);
    layout->addWidget(percent_);
    layout->addWidget(retransmit_);
    layout->addWidget(rate_);
    layout->addWidget(cancel_, 0, Qt::AlignHCenter);
    connect(cancel_, &QPushButton::clicked, this, &RetrieveDialog::reject);
    setMinimumWidth(300);
}

void RetrieveDialog::show(const library::RetrieveProgress& p) {
    if (!meter_)
        meter_.emplace(p.totalBytes);
    meter_->update(p.bytesReceived);
    bar_->setRange(0, library::progressRange(p.totalBytes));
    bar_->setValue(static_cast<int>(
        std::min<std::uint64_t>(p.bytesReceived / 8192, std::uint64_t(bar_->maximum()))));
    percent_->setText(qs(library::percentText(p.bytesReceived, p.totalBytes)));
    retransmit_->setText(QStringLiteral("Retransmit Count: %1").arg(p.retransmitCount));
    rate_->setText(qs(meter_->text()));
}

QString RetrieveDialog::percentText() const {
    return percent_->text();
}
QString RetrieveDialog::retransmitText() const {
    return retransmit_->text();
}
QString RetrieveDialog::rateText() const {
    return rate_->text();
}

void RetrieveDialog::reject() {
    // The retrieval ends between blocks and then closes the dialog.
    if (!cancelled_) {
        cancelled_ = true;
        cancel_->setEnabled(false);
        emit cancelClicked();
    }
}

} // namespace kv::app
