// kvtool settings get|set and mfg-number: inspecting and scripting the program's INI file.

#include "command.h"
#include "settings/app_settings.h"
#include "settings/profile.h"
#include "settings/twain_profile.h"

#include <cstdio>
#include <cstdlib>

namespace kvtool {
namespace {

int runSettings(Args& args) {
    auto& profile = kv::settings::appProfile();
    if (args.size() == 3 && args[0] == "get") {
        const std::string missing = "\x01";
        const std::string value = profile.getString(args[1], args[2], missing);
        if (value == missing)
            return fail("no key " + args[2] + " in section " + args[1] + " of " +
                        profile.path().string());
        std::printf("%s\n", value.c_str());
        return 0;
    }
    if (args.size() == 4 && args[0] == "set") {
        if (!profile.writeString(args[1], args[2], args[3]))
            return fail("cannot set " + args[2] + " in " + profile.path().string() + ": " +
                        kv::settings::Profile::lastError());
        return 0;
    }
    if (args.size() == 1 && args[0] == "path") {
        std::printf("%s\n", profile.path().c_str());
        return 0;
    }
    return usage("settings");
}

int runMfgNumber(Args& args) {
    if (args.size() == 1 && args[0] == "new") {
        const std::uint32_t number = kv::settings::AppSettings().newManufacturingNumber();
        std::printf("%u %s\n", number, kv::settings::manufacturingNumberText(number).c_str());
        return 0;
    }
    if (args.size() != 1)
        return usage("mfg-number");
    char* end = nullptr;
    const unsigned long long value = std::strtoull(args[0].c_str(), &end, 0);
    if (*end != '\0' || value > 0xFFFFFFFFull)
        return fail("not a 32-bit number: " + args[0]);
    std::printf("%s\n",
                kv::settings::manufacturingNumberText(static_cast<std::uint32_t>(value)).c_str());
    return 0;
}

// The program's path for the TWAIN data source: key "Location" of section "Korvane" in the
// shared KVTWAIN.ini of this user (what `./kv install` writes).
int runTwainLocation(Args& args) {
    kv::settings::Profile ini(kv::settings::twainProfilePath());
    if (args.size() == 0) {
        std::printf("%s\n",
                    ini.getString(kv::settings::kProgramSection, kv::settings::kProgramLocationKey)
                        .c_str());
        return 0;
    }
    if (args.size() != 1)
        return usage("twain-location");
    if (!ini.writeString(kv::settings::kProgramSection, kv::settings::kProgramLocationKey, args[0]))
        return fail("cannot write " + ini.path().string() + ": " +
                    kv::settings::Profile::lastError());
    std::printf("%s\n", ini.path().c_str());
    return 0;
}

Registrar settingsCommand{{"settings", "settings get SECTION KEY | set SECTION KEY VALUE | path",
                           "read or write a key of the settings file", runSettings}};
Registrar twainLocationCommand{{"twain-location", "twain-location [PATH]",
                                "show or set the program the TWAIN data source starts",
                                runTwainLocation}};
Registrar mfgCommand{{"mfg-number", "mfg-number VALUE | new",
                      "print the text form of a manufacturing number, or form a new one",
                      runMfgNumber}};

} // namespace
} // namespace kvtool
