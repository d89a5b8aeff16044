// The person in front of the program, as the libraries see them: messages, questions, input,
// progress and cancelling. The GUI implements it with dialogs, kvtool with a scripted operator
// (answers from the command line, progress on the terminal), tests with fakes. Every function
// may be called from the thread that runs the long operation; implementations that need
// another thread marshal the call themselves.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kv {

enum class Answer { Ok, Cancel, Yes, No };

class Operator {
public:
    virtual ~Operator() = default;

    // A message box with an OK button.
    virtual void message(std::string_view text) = 0;
    // OK/Cancel question: true for OK.
    virtual bool confirm(std::string_view text) = 0;
    // Yes/No question: true for Yes.
    virtual bool askYesNo(std::string_view text) = 0;
    // A text input box; nothing when cancelled.
    virtual std::optional<std::string> askText(std::string_view prompt,
                                               std::string_view initial) = 0;
    // A file picker; nothing when cancelled.
    virtual std::optional<std::string> chooseFile(std::string_view title, std::string_view filter,
                                                  bool forSaving) = 0;

    // Progress of long work: a text line, then steps of `total` (0 = no known total).
    virtual void beginProgress(std::string_view text, long total) = 0;
    virtual void setProgressText(std::string_view text) = 0;
    virtual void setProgress(long done) = 0;
    virtual void endProgress() = 0;
    // True once the person asked to stop; long work checks it between steps.
    virtual bool cancelled() = 0;
    // Let waiting window messages run (the GUI stays alive during long work).
    virtual void pumpMessages() {}
    // A line in the status bar while a station runs ("" clears it).
    virtual void setStatusText(std::string_view /*text*/) {}
    virtual void setWaitCursor(bool /*on*/) {}
};

// A number input box over askText: the initial number as text, the answer parsed as a decimal
// integer. A text that is not a number is refused with a box and asked again (three times at
// most); nothing when cancelled or never answered with a number.
std::optional<long> askNumber(Operator& op, std::string_view prompt, long initial);

// An operator that answers every question with its default and shows nothing: for batch runs
// and tests that do not care.
class SilentOperator : public Operator {
public:
    void message(std::string_view) override {}
    bool confirm(std::string_view) override { return true; }
    bool askYesNo(std::string_view) override { return true; }
    std::optional<std::string> askText(std::string_view, std::string_view initial) override {
        return std::string(initial);
    }
    std::optional<std::string> chooseFile(std::string_view, std::string_view, bool) override {
        return std::nullopt;
    }
    void beginProgress(std::string_view, long) override {}
    void setProgressText(std::string_view) override {}
    void setProgress(long) override {}
    void endProgress() override {}
    bool cancelled() override { return false; }
};

} // namespace kv
