// The program's command line: "/TWAIN" anywhere in the arguments (a case-sensitive
// substring), picture files to open, and our own switches (--no-splash, --diagnostics,
// --simulate with the bench camera's options).
#pragma once

#include <string>
#include <vector>

namespace kv::shell {

struct CommandLine {
    bool twainMode = false;
    bool noSplash = false;
    bool diagnostics = false; // as if the diagnostics chord had been held
    bool simulate = false;    // an in-process bench camera on COM1 for this run
    // The bench camera's options as given ("--camera=card", ...), for --simulate.
    std::vector<std::string> benchOptions;
    std::vector<std::string> files;
    // --screenshot=FILE: once started (and connected), save a picture of the main window to
    // FILE and quit. For headless runs on the offscreen platform.
    std::string screenshot;
};

// `args` without the program name (argv[1..]); a program path that happens to contain
// "/TWAIN" does not switch the mode on.
CommandLine parseCommandLine(const std::vector<std::string>& args);

bool hasTwainSwitch(const std::vector<std::string>& args);

} // namespace kv::shell
