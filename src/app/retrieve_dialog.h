// The "Retrieving Images" progress dialog: a bar over the whole transfer in 8 KiB units, the
// percent text, the retransmit count, the line rate with the time left, and Cancel.
#pragma once

#include "library/retrieve_pictures.h"
#include "library/transfer_rate.h"

#include <QDialog>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kv::app {

class RetrieveDialog : public QDialog {
    Q_OBJECT
public:
    explicit RetrieveDialog(QWidget* parent = nullptr);

    void show(const library::RetrieveProgress& p);
    bool cancelRequested() const { return cancelled_; }

    QProgressBar* bar() const { return bar_; }
    QString percentText() const;
    QString retransmitText() const;
    QString rateText() const;
    QPushButton* cancelButton() const { return cancel_; }

signals:
    void cancelClicked();

protected:
    void reject() override;

private:
    QProgressBar* bar_;
    QLabel* percent_;
    QLabel* retransmit_;
    QLabel* rate_;
    QPushButton* cancel_;
    std::optional<library::TransferRate> meter_;
    bool cancelled_ = false;
};

} // namespace kv::app
