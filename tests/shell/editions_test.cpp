#include "shell/command_line.h"
#include "shell/editions.h"

#include <gtest/gtest.h>

#include <map>

namespace kv::shell {
namespace {

struct EditionCase {
    const char* program;
    int edition;
};

TEST(Editions, ChosenByProgramNameIgnoringCase) {
    const EditionCase cases[] = {
        {"/usr/bin/kvmini", 0},
        {"build/bin/zelvz3", 1},
        {"/opt/ZELVZ3", 1},
        {"/opt/Px-80", 2},
        {"PX-80.exe", 2},
        {"/usr/bin/unknown", 0},
        {"/home/x/zelvz3.d/kvmini", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chooseEdition(moduleName(c.program), baseStrings()).number, c.edition)
            << c.program;
}

TEST(Editions, TranslationRenamingTheNamesReachesEditionThree) {
    // In the base strings 135 and 140 are equal, so edition 1 wins; a translation that renames
    // 135 lets 140 match.
    const std::map<int, std::string> renamed{{135, "zelvio"}, {139, "Zelvio Z3 Pro"}};
    const StringLookup lookup = [&](int id) {
        const auto it = renamed.find(id);
        return it != renamed.end() ? it->second : std::string(baseEditionString(id));
    };
    const Edition& e = chooseEdition("ZelvZ3", lookup);
    EXPECT_EQ(e.number, 3);
    EXPECT_EQ(productName(e, lookup), "Zelvio Z3 Pro");
    EXPECT_EQ(e.aboutCommand, 0);
    EXPECT_EQ(chooseEdition("zelvio", lookup).number, 1);
}

TEST(Editions, TableRows) {
    const auto strings = baseStrings();
    EXPECT_EQ(productName(editionByNumber(0), strings), "Korvane Mini");
    EXPECT_EQ(productName(editionByNumber(1), strings), "Zelvio Z3");
    EXPECT_EQ(productName(editionByNumber(2), strings), "Parnel PX-80");
    EXPECT_EQ(openFilter(editionByNumber(2), strings),
              "JPEG Files(*.jpg)|*.jpg|Parnel PX-80 Files(*.kvi)|*.kvi||");
    EXPECT_TRUE(editionByNumber(1).twainCredit);
    EXPECT_FALSE(editionByNumber(2).twainCredit);
    EXPECT_EQ(aboutTitle("Zelvio Z3"), "About Zelvio Z3");
}

TEST(CommandLine, TwainSwitchIsACaseSensitiveSubstringOfTheArguments) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"/TWAIN"}, true},  {{"x/TWAINy"}, true}, {{"--no-splash", "a.jpg", "-x/TWAIN"}, true},
        {{"/twain"}, false}, {{"/Twain"}, false},  {{}, false},
    };
    for (const auto& [args, twain] : cases)
        EXPECT_EQ(parseCommandLine(args).twainMode, twain) << (args.empty() ? "" : args[0]);
}

TEST(CommandLine, FilesAndSwitches) {
    const CommandLine c = parseCommandLine({"--simulate", "--camera=card", "a.jpg", "/TWAIN",
                                            "--no-splash", "--diagnostics", "b.kvi"});
    EXPECT_TRUE(c.simulate);
    EXPECT_TRUE(c.noSplash);
    EXPECT_TRUE(c.diagnostics);
    EXPECT_TRUE(c.twainMode);
    EXPECT_EQ(c.files, (std::vector<std::string>{"a.jpg", "b.kvi"}));
    EXPECT_EQ(c.benchOptions, (std::vector<std::string>{"--camera=card"}));
}

} // namespace
} // namespace kv::shell
