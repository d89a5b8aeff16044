// The scripted operator of kvtool's station commands: every box and question is printed
// (messages on stdout, questions with the answer taken on stderr); answers come from
// "--answer QUESTION=ANSWER" options and "--answers FILE" (one QUESTION=ANSWER a line, '#'
// starts a comment). A question is matched by its beginning, with line breaks read as spaces.
// Unanswered questions take their default: OK/Yes, the offered text, no file.
#pragma once

#include "base/operator.h"

#include <string>
#include <utility>
#include <vector>

namespace kvtool {

class Args;

class ScriptedOperator final : public kv::Operator {
public:
    // Takes every "--answer QUESTION=ANSWER" and an "--answers FILE" from `args`; false with
    // `error` set when one is bad.
    bool takeAnswers(Args& args, std::string& error);
    // Adds "QUESTION=ANSWER"; false when there is no '='.
    bool addAnswer(const std::string& line);
    // Reads an answers file; false with `error` set when it cannot be read or a line is bad.
    bool loadAnswers(const std::string& path, std::string& error);

    void message(std::string_view text) override;
    bool confirm(std::string_view text) override;
    bool askYesNo(std::string_view text) override;
    std::optional<std::string> askText(std::string_view prompt, std::string_view initial) override;
    std::optional<std::string> chooseFile(std::string_view title, std::string_view filter,
                                          bool forSaving) override;
    void beginProgress(std::string_view text, long total) override;
    void setProgressText(std::string_view text) override;
    void setProgress(long) override {}
    void endProgress() override;
    bool cancelled() override { return false; }

    // Every message shown so far, in order.
    const std::vector<std::string>& messages() const { return messages_; }

private:
    std::optional<std::string> answerFor(std::string_view question) const;
    bool decide(std::string_view question, bool fallback);

    std::vector<std::pair<std::string, std::string>> answers_;
    std::vector<std::string> messages_;
    bool progressLine_ = false;
};

} // namespace kvtool
