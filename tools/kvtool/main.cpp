// kvtool: the project's libraries from the command line, for scripts and test stations.

#include "command.h"
#include "settings/profile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace kvtool {

namespace {
std::vector<Command>& registry() {
    static std::vector<Command> all;
    return all;
}
} // namespace

void registerCommand(Command command) {
    registry().push_back(std::move(command));
}

const std::vector<Command>& commands() {
    std::sort(registry().begin(), registry().end(),
              [](const Command& a, const Command& b) { return a.name < b.name; });
    return registry();
}

bool Args::flag(std::string_view name) {
    auto it = std::find(words_.begin(), words_.end(), name);
    if (it == words_.end())
        return false;
    words_.erase(it);
    return true;
}

std::optional<std::string> Args::option(std::string_view name) {
    for (auto it = words_.begin(); it != words_.end(); ++it) {
        if (*it == name && it + 1 != words_.end()) {
            std::string value = *(it + 1);
            words_.erase(it, it + 2);
            return value;
        }
        if (it->size() > name.size() && it->compare(0, name.size(), name) == 0 &&
            (*it)[name.size()] == '=') {
            std::string value = it->substr(name.size() + 1);
            words_.erase(it);
            return value;
        }
    }
    return std::nullopt;
}

int fail(std::string_view message) {
    std::fprintf(stderr, "kvtool: %.*s\n", static_cast<int>(message.size()), message.data());
    return 1;
}

int usage(const Command& command) {
    std::fprintf(stderr, "usage: kvtool %s\n", command.usage.c_str());
    return 2;
}

int usage(std::string_view name) {
    for (const Command& c : commands()) {
        if (c.name == name)
            return usage(c);
    }
    return 2;
}

} // namespace kvtool

namespace {

void printHelp() {
    std::printf("usage: kvtool [--ini FILE] [--simulate] COMMAND [ARGS...]\n\n"
                "Global options:\n"
                "  --ini FILE   use FILE as the settings file instead of kvmini.INI\n"
                "  --simulate   talk to an in-process bench camera (mapped to COM1)\n\n"
                "Commands:\n");
    for (const kvtool::Command& c : kvtool::commands())
        std::printf("  %-19s %s\n", c.name.c_str(), c.summary.c_str());
    std::printf(
        "\n'kvtool help COMMAND' shows a command's arguments.\n\n"
        "Environment:\n"
        "  KVTOOL_QUICK_LINK=1  with --simulate: the link pings every 20 ms and waits\n"
        "                       250 ms for a reply (for tests; the camera's own waits stay)\n");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    kvtool::Args global(words);
    kv::settings::setModuleName("kvmini");
    if (auto ini = global.option("--ini"))
        kv::settings::setAppProfilePath(*ini);

    // Global flags stand before the command name; they are passed on to the command.
    std::vector<std::string> passOn;
    std::vector<std::string> rest = global.positional();
    while (!rest.empty() && rest.front().rfind("--", 0) == 0 && rest.front() != "--help") {
        passOn.push_back(rest.front());
        rest.erase(rest.begin());
    }
    if (rest.empty() || rest.front() == "help" || rest.front() == "--help" ||
        rest.front() == "-h") {
        if (rest.size() >= 2)
            return kvtool::usage(rest[1]) == 2 ? 0 : 1;
        printHelp();
        return rest.empty() ? 2 : 0;
    }
    const std::string name = rest.front();
    rest.erase(rest.begin());
    rest.insert(rest.end(), passOn.begin(), passOn.end());
    for (const kvtool::Command& c : kvtool::commands()) {
        if (c.name == name) {
            kvtool::Args args(rest);
            return c.run(args);
        }
    }
    std::fprintf(stderr, "kvtool: unknown command '%s' (try 'kvtool help')\n", name.c_str());
    return 2;
}
