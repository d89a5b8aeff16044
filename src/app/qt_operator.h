// The Operator of the libraries as Qt dialogs: message boxes, questions, text input, file
// choice, a progress box with Cancel and the wait cursor. Used on the GUI thread: the long
// work that calls it runs there and lets waiting events run through pumpMessages().
#pragma once

#include "base/operator.h"

#include <QPointer>
#include <QString>

class QProgressDialog;
class QWidget;

namespace kv::app {

class QtOperator : public Operator {
public:
    explicit QtOperator(QWidget* parent, QString caption = {});
    ~QtOperator() override;

    void message(std::string_view text) override;
    bool confirm(std::string_view text) override;
    bool askYesNo(std::string_view text) override;
    std::optional<std::string> askText(std::string_view prompt, std::string_view initial) override;
    std::optional<std::string> chooseFile(std::string_view title, std::string_view filter,
                                          bool forSaving) override;
    void beginProgress(std::string_view text, long total) override;
    void setProgressText(std::string_view text) override;
    void setProgress(long done) override;
    void endProgress() override;
    bool cancelled() override;
    void pumpMessages() override;
    void setWaitCursor(bool on) override;
    void setStatusText(std::string_view text) override;

    // The "A|*.a|B|*.b||" filters of the program as Qt name filters ("A (*.a);;B (*.b)").
    static QString qtFilter(std::string_view filter);

private:
    QPointer<QWidget> parent_;
    QString caption_;
    QProgressDialog* progress_ = nullptr;
    int waitCursors_ = 0;
};

} // namespace kv::app
