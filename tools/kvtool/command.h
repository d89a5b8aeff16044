// kvtool's sub-commands. Each cmd_*.cpp registers its commands with a static Registrar, so a
// new group of commands needs no edit elsewhere.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvtool {

// The command line after the sub-command's name, with helpers for options. Options may stand
// anywhere; "--name value" and "--name=value" are the same.
class Args {
public:
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {}

    // Takes a flag ("--simulate") out of the list; true when it was there.
    bool flag(std::string_view name);
    // Takes an option with a value out of the list.
    std::optional<std::string> option(std::string_view name);
    // The remaining words (after flags and options were taken).
    const std::vector<std::string>& positional() const { return words_; }
    std::size_t size() const { return words_.size(); }
    const std::string& operator[](std::size_t i) const { return words_[i]; }

private:
    std::vector<std::string> words_;
};

struct Command {
    std::string name;    // e.g. "settings" or "connect"
    std::string usage;   // e.g. "settings get SECTION KEY | settings set SECTION KEY VALUE"
    std::string summary; // one line for the help text
    std::function<int(Args&)> run;
};

void registerCommand(Command command);
const std::vector<Command>& commands();

struct Registrar {
    explicit Registrar(Command command) { registerCommand(std::move(command)); }
};

// Prints "kvtool: <message>" to stderr and returns the exit status 1.
int fail(std::string_view message);
// Prints the command's usage to stderr and returns the exit status 2.
int usage(const Command& command);
int usage(std::string_view name);

} // namespace kvtool
