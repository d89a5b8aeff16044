#include "scripted_operator.h"

#include "command.h"

#include <cctype>
#include <cstdio>
#include <fstream>

namespace kvtool {
namespace {

std::string flat(std::string_view text) {
    std::string out;
    for (char c : text)
        out.push_back(c == '\n' || c == '\r' ? ' ' : c);
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string trimmed(std::string_view text) {
    std::size_t a = 0, b = text.size();
    while (a < b && std::isspace(static_cast<unsigned char>(text[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(text[b - 1])))
        --b;
    return std::string(text.substr(a, b - a));
}

} // namespace

bool ScriptedOperator::addAnswer(const std::string& line) {
    const std::size_t eq = line.rfind('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    answers_.emplace_back(flat(trimmed(line.substr(0, eq))), trimmed(line.substr(eq + 1)));
    return true;
}

bool ScriptedOperator::loadAnswers(const std::string& path, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the answers file " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == '#')
            continue;
        if (!addAnswer(text)) {
            error = path + ":" + std::to_string(number) + ": expected QUESTION=ANSWER";
            return false;
        }
    }
    return true;
}

std::optional<std::string> ScriptedOperator::answerFor(std::string_view question) const {
    const std::string q = flat(question);
    for (const auto& [prefix, answer] : answers_)
        if (q.compare(0, prefix.size(), prefix) == 0)
            return answer;
    return std::nullopt;
}

bool ScriptedOperator::decide(std::string_view question, bool fallback) {
    bool yes = fallback;
    if (const auto a = answerFor(question)) {
        std::string low;
        for (char c : *a)
            low.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        yes = low == "ok" || low == "yes" || low == "y" || low == "1" || low == "true";
    }
    std::fprintf(stderr, "? %s -> %s\n", flat(question).c_str(), yes ? "yes" : "no");
    return yes;
}

void ScriptedOperator::message(std::string_view text) {
    endProgress();
    messages_.emplace_back(text);
    std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stdout);
}

bool ScriptedOperator::confirm(std::string_view text) {
    endProgress();
    return decide(text, true);
}

bool ScriptedOperator::askYesNo(std::string_view text) {
    endProgress();
    return decide(text, true);
}

std::optional<std::string> ScriptedOperator::askText(std::string_view prompt,
                                                     std::string_view initial) {
    endProgress();
    const std::string answer = answerFor(prompt).value_or(std::string(initial));
    std::fprintf(stderr, "? %s -> %s\n", flat(prompt).c_str(), answer.c_str());
    return answer;
}

std::optional<std::string> ScriptedOperator::chooseFile(std::string_view title, std::string_view,
                                                        bool) {
    endProgress();
    const auto answer = answerFor(title);
    std::fprintf(stderr, "? %s -> %s\n", flat(title).c_str(),
                 answer && !answer->empty() ? answer->c_str() : "(cancelled)");
    if (!answer || answer->empty())
        return std::nullopt;
    return answer;
}

void ScriptedOperator::beginProgress(std::string_view text, long) {
    endProgress();
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

void ScriptedOperator::setProgressText(std::string_view text) {
    std::fprintf(stderr, "\r%-70.*s", static_cast<int>(text.size()), text.data());
    progressLine_ = true;
}

void ScriptedOperator::endProgress() {
    if (progressLine_)
        std::fprintf(stderr, "\n");
    progressLine_ = false;
}

bool ScriptedOperator::takeAnswers(Args& args, std::string& error) {
    while (auto a = args.option("--answer")) {
        if (!addAnswer(*a)) {
            error = "--answer wants QUESTION=ANSWER";
            return false;
        }
    }
    if (auto file = args.option("--answers"))
        return loadAnswers(*file, error);
    return true;
}

} // namespace kvtool
