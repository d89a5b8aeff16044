#include "shell/command_table.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace kv::shell {
namespace {

// Every shortcut of an edition with the command it runs.
std::map<std::string, int> accelerators(int edition) {
    std::map<std::string, int> keys;
    for (const CommandRow& row : commandTable())
        for (std::string_view k : shortcutsFor(row, edition)) {
            EXPECT_TRUE(keys.emplace(std::string(k), row.id).second) << "twice: " << k;
        }
    return keys;
}

TEST(CommandTable, AcceleratorsPerEdition) {
    const std::map<std::string, int> shared{{"Ctrl+A", cmd::SelectAll},
                                            {"Ctrl+B", cmd::UncompressedPicture},
                                            {"Ctrl+C", cmd::Copy},
                                            {"Ctrl+Ins", cmd::Copy},
                                            {"Ctrl+F", cmd::ConnectCamera},
                                            {"Ctrl+H", cmd::HomeShutter},
                                            {"Ctrl+I", cmd::ImageParameters},
                                            {"Ctrl+L", cmd::RotateCCW},
                                            {"Ctrl+O", cmd::Open},
                                            {"Ctrl+P", cmd::Print},
                                            {"Ctrl+R", cmd::RotateCW},
                                            {"Ctrl+S", cmd::Save},
                                            {"Ctrl+T", cmd::TakePicture},
                                            {"Ctrl+U", cmd::UploadDram},
                                            {"Ctrl+W", cmd::AutoWhiteBalance},
                                            {"Ctrl+X", cmd::Close},
                                            {"F3", cmd::PlaySound}};
    auto edition0 = shared;
    edition0["F2"] = cmd::FocusStation;
    edition0["F6"] = cmd::FinalTest;
    edition0["Ctrl+Z"] = cmd::ViewLarge;
    EXPECT_EQ(accelerators(0), edition0);
    for (int e : {1, 2, 3})
        EXPECT_EQ(accelerators(e), shared) << "edition " << e;
}

TEST(CommandTable, EveryMenuEntryHasARowAndIdsAreUnique) {
    std::set<int> ids;
    for (const CommandRow& row : commandTable())
        EXPECT_TRUE(ids.insert(row.id).second) << row.id;
    int depth = 0;
    for (const MenuEntry& e : menuLayout()) {
        if (e.kind == MenuKind::Popup)
            ++depth;
        if (e.kind == MenuKind::End)
            --depth;
        ASSERT_GE(depth, 0);
        if (e.kind == MenuKind::Command && e.id != kEditionAbout) {
            EXPECT_NE(findCommand(e.id), nullptr) << e.id;
        }
    }
    EXPECT_EQ(depth, 0);
    for (int id : toolbarLayout())
        if (id > 0) {
            EXPECT_NE(findCommand(id), nullptr) << id;
        }
}

TEST(CommandTable, UpdateRules) {
    AppState s;
    auto enabled = [&s](int id) {
        const CommandRow* r = findCommand(id);
        return !r->enabled || r->enabled(s, r->value);
    };
    auto checked = [&s](int id) {
        const CommandRow* r = findCommand(id);
        return r->checked && r->checked(s, r->value);
    };
    EXPECT_TRUE(enabled(cmd::ConnectCamera));
    EXPECT_FALSE(enabled(cmd::TakePicture));
    s.cameraConnected = s.linkReady = true;
    s.autoExposure = true;
    s.exposureIndex = 5;
    EXPECT_FALSE(enabled(cmd::ConnectCamera)); // connected, no diagnostics
    EXPECT_TRUE(enabled(cmd::TakePicture));
    EXPECT_FALSE(enabled(cmd::kExposure[5])); // 1/60 while Auto Expose is on
    s.autoExposure = false;
    EXPECT_TRUE(enabled(cmd::kExposure[5]));
    EXPECT_TRUE(checked(cmd::kExposure[5]));
    EXPECT_FALSE(checked(cmd::kExposure[4]));
    EXPECT_FALSE(enabled(cmd::RetrieveImages));
    s.pictures = 2;
    EXPECT_TRUE(enabled(cmd::RetrieveImages));
    s.transferRunning = true;
    EXPECT_FALSE(enabled(cmd::RetrieveImages));
    EXPECT_FALSE(enabled(cmd::TakePicture));
    s.storedBaudRate = 0;
    EXPECT_TRUE(checked(cmd::BaudAuto));
    EXPECT_FALSE(checked(cmd::Baud57600));
    s.diagnosticsShown = true;
    s.transferRunning = false;
    EXPECT_TRUE(enabled(cmd::ConnectCamera));
    s.highlightedCount = 2;
    EXPECT_FALSE(enabled(cmd::Copy));
}

} // namespace
} // namespace kv::shell
