#include "app/qt_operator.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QProgressDialog>
#include <QStatusBar>

namespace kv::app {

namespace {

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

QtOperator::QtOperator(QWidget* parent, QString caption)
    : parent_(parent), caption_(std::move(caption)) {}

QtOperator::~QtOperator() {
    endProgress();
    while (waitCursors_ > 0)
        setWaitCursor(false);
}

void QtOperator::message(std::string_view text) {
    QMessageBox::information(parent_, caption_, qs(text));
}

bool QtOperator::confirm(std::string_view text) {
    return QMessageBox::question(parent_, caption_, qs(text), QMessageBox::Ok | QMessageBox::Cancel,
                                 QMessageBox::Ok) == QMessageBox::Ok;
}

bool QtOperator::askYesNo(std::string_view text) {
    return QMessageBox::question(parent_, caption_, qs(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

std::optional<std::string> QtOperator::askText(std::string_view prompt, std::string_view initial) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(parent_, caption_, qs(prompt), QLineEdit::Normal, qs(initial), &ok);
    if (!ok)
        return std::nullopt;
    return text.toStdString();
}

QString QtOperator::qtFilter(std::string_view filter) {
    const QStringList parts = qs(filter).split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        QString name = parts[i];
        const QString pattern = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        if (!name.contains(QLatin1Char('(')))
            name += QStringLiteral(" (%1)").arg(pattern);
        else if (!name.contains(pattern))
            name = name.left(name.indexOf(QLatin1Char('('))).trimmed() +
                   QStringLiteral(" (%1)").arg(pattern);
        out << name;
    }
    return out.join(QStringLiteral(";;"));
}

std::optional<std::string> QtOperator::chooseFile(std::string_view title, std::string_view filter,
                                                  bool forSaving) {
    const QString f = qtFilter(filter);
    const QString name = forSaving ? QFileDialog::getSaveFileName(parent_, qs(title), {}, f)
                                   : QFileDialog::getOpenFileName(parent_, qs(title), {}, f);
    if (name.isEmpty())
        return std::nullopt;
    return name.toStdString();
}

void QtOperator::beginProgress(std::string_view text, long total) {
    endProgress();
    progress_ =
        new QProgressDialog(qs(text), QStringLiteral("Cancel"), 0,
                            total > 0 ? static_cast<int>(std::min(total, 1L << 30)) : 0, parent_);
    progress_->setWindowTitle(caption_);
    progress_->setWindowModality(Qt::WindowModal);
    progress_->setMinimumDuration(300);
    progress_->setAutoClose(false);
    progress_->setAutoReset(false);
    progress_->setValue(0);
}

void QtOperator::setProgressText(std::string_view text) {
    if (progress_)
        progress_->setLabelText(qs(text));
    pumpMessages();
}

void QtOperator::setProgress(long done) {
    if (progress_ && progress_->maximum() > 0)
        progress_->setValue(static_cast<int>(std::min<long>(done, progress_->maximum())));
    pumpMessages();
}

void QtOperator::endProgress() {
    if (!progress_)
        return;
    progress_->close();
    progress_->deleteLater();
    progress_ = nullptr;
}

bool QtOperator::cancelled() {
    pumpMessages();
    return progress_ && progress_->wasCanceled();
}

void QtOperator::pumpMessages() {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
}

void QtOperator::setWaitCursor(bool on) {
    if (on) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++waitCursors_;
    } else if (waitCursors_ > 0) {
        QApplication::restoreOverrideCursor();
        --waitCursors_;
    }
}

void QtOperator::setStatusText(std::string_view text) {
    auto* window = parent_ ? qobject_cast<QMainWindow*>(parent_->window()) : nullptr;
    if (window)
        window->statusBar()->showMessage(
            QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

} // namespace kv::app
