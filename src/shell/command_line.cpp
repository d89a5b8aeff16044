#include "shell/command_line.h"

namespace kv::shell {

bool hasTwainSwitch(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a.find("/TWAIN") != std::string::npos)
            return true;
    return false;
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine c;
    c.twainMode = hasTwainSwitch(args);
    for (const std::string& a : args) {
        if (a == "/TWAIN")
            continue;
        if (a == "--no-splash")
            c.noSplash = true;
        else if (a == "--diagnostics")
            c.diagnostics = true;
        else if (a == "--simulate")
            c.simulate = true;
        else if (a.rfind("--screenshot=", 0) == 0)
            c.screenshot = a.substr(13);
        else if (a.rfind("--", 0) == 0)
            c.benchOptions.push_back(a);
        else if (a.rfind("-", 0) != 0 || a.size() == 1)
            c.files.push_back(a);
        // Single-dash arguments are the toolkit's own (-platform, -style, ...).
    }
    return c;
}

} // namespace kv::shell
