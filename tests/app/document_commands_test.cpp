// The document's commands inside the running program: opening from the command line and by
// drop, and the menu's update rules following the picture list.
#include "app/document_commands.h"
#include "app/main_frame.h"
#include "app_fixture.h"
#include "library/picture_files_support.h"
#include "shell/command_table.h"

#include <QAction>
#include <filesystem>

namespace kv::testing {
namespace {

namespace cmd = shell::cmd;
using DocumentCommandsTest = AppTest;

TEST_F(DocumentCommandsTest, FilesOpenAndTheMenusFollowTheList) {
    auto& a = start();
    app::DocumentCommands* commands = app::documentCommandsOf(a);
    ASSERT_NE(commands, nullptr);
    ASSERT_EQ(a.frame()->view(), commands->view());
    app::Document& document = commands->document();
    auto enabled = [&](int id) {
        a.frame()->updateActions();
        return a.frame()->commands().action(id)->isEnabled();
    };
    EXPECT_FALSE(enabled(cmd::Close));
    EXPECT_TRUE(enabled(cmd::Open));

    const std::string one = library::testing::writeJpegPicture(dir / "one.jpg");
    const std::string two = library::testing::writeKviPicture(dir / "two.kvi", 4000);
    a.openFiles({QString::fromStdString(one), QString::fromStdString(two)});
    ASSERT_EQ(document.list().count(), 2);
    EXPECT_TRUE(enabled(cmd::Close));
    EXPECT_TRUE(enabled(cmd::Copy));
    EXPECT_TRUE(enabled(cmd::Rename));
    EXPECT_FALSE(enabled(cmd::Save));
    EXPECT_FALSE(enabled(cmd::Revert));

    a.router().run(cmd::SelectAll);
    EXPECT_EQ(document.list().highlightedCount(), 2);
    EXPECT_FALSE(enabled(cmd::Copy)); // only with exactly one highlighted

    document.highlightOnly(0);
    a.router().run(cmd::RotateCW);
    EXPECT_TRUE(enabled(cmd::Save));
    EXPECT_TRUE(enabled(cmd::Revert));
    EXPECT_FALSE(enabled(cmd::Rename));
    a.router().run(cmd::Save);
    EXPECT_FALSE(enabled(cmd::Save));
    EXPECT_EQ(document.list()[0].edits.rotation, 1);

    // View Large opens a zoom window on the current picture.
    a.router().run(cmd::ViewLarge);
    EXPECT_TRUE(a.frame()->largeMode());
    EXPECT_EQ(commands->zoomWindows().openCount(), 1);
    a.router().run(cmd::ViewThumbnails);
    EXPECT_FALSE(a.frame()->largeMode());
    commands->zoomWindows().closeAll();
}

TEST_F(DocumentCommandsTest, SaveAsInTwainModeLeavesTheHandoffBitmap) {
    const std::filesystem::path temp = dir.path() / "temp";
    std::filesystem::create_directories(temp);
    setenv("TEMP", temp.c_str(), 1);
    auto& a = start(QStringLiteral("/usr/bin/kvmini"),
                    {QStringLiteral("--no-splash"), QStringLiteral("/TWAIN")});
    app::Document& document = *app::documentOf(a);
    library::testing::ScriptedOperator op;
    document.setOperator(op);
    document.setOutputSize(1);
    a.openFiles({QString::fromStdString(library::testing::writeJpegPicture(dir / "a.jpg")),
                 QString::fromStdString(library::testing::writeJpegPicture(dir / "b.jpg"))});
    document.highlightOnly(1);
    a.router().run(cmd::SaveAs);
    unsetenv("TEMP");
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(std::filesystem::file_size(temp / "KVImage1.bmp"), 54u + 360u * 100u);
    // Two highlighted pictures are refused.
    document.selectAll();
    a.router().run(cmd::SaveAs);
    EXPECT_EQ(op.messages,
              std::vector<std::string>{
                  "Multiple transfers are not supported, highlight a single image only."});
}

} // namespace
} // namespace kv::testing
