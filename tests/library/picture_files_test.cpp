// The File menu's operations on real files in a scratch directory.
#include "library/picture_files.h"
#include "library/picture_names.h"
#include "picture_files_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kv::library {
namespace {

namespace fs = std::filesystem;
using kv::library::testing::ScriptedOperator;
using kv::library::testing::writeJpegPicture;
using kv::library::testing::writeKviPicture;

class PictureFiles : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return (dir / name).string(); }
    bool exists(const std::string& name) const { return fs::exists(dir / name); }

    kv::testing::ScratchDir dir;
    PictureList list;
    ScriptedOperator op;
};

TEST_F(PictureFiles, OpenRefusesUnknownExtensionsAndNeverOpensTwice) {
    const std::string older = writeKviPicture(dir / "old.KVI", 1000);
    const std::string newer = writeKviPicture(dir / "new.kvi", 2000);
    dir.touch("note.kv");
    const OpenReport report = openFiles(list, {path("note.kv"), older, newer, older}, op);
    EXPECT_EQ(report.opened, 2);
    EXPECT_EQ(report.alreadyOpen, 1);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0],
              "File " + path("note.kv") + " is not compatible with this version of software.");
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list[0].path, newer);
    EXPECT_EQ(list.current(), 0);
    EXPECT_EQ(list.highlightedIndices(), std::vector<int>{0});
    // The record carries what the file says.
    EXPECT_EQ(list[0].quality, imaging::kQualityUncompressed);
    EXPECT_EQ(list[0].exposureIndex, 3);
    EXPECT_EQ(list[0].flashState, 0);
    EXPECT_EQ(list[0].sortKey, 2000);
    EXPECT_EQ(list[0].fileSize, fs::file_size(newer));
}

TEST_F(PictureFiles, OpenReadsJpegFieldsAndRefusesUnreadableFiles) {
    const std::string jpeg = writeJpegPicture(dir / "shot.JPG", 64, 48);
    std::ofstream(dir / "shot.wav") << "RIFF";
    std::ofstream(dir / "broken.jpg") << "not a picture";
    EXPECT_EQ(openOneFile(list, path("broken.jpg")), OpenOutcome::Refused);
    EXPECT_EQ(openOneFile(list, jpeg), OpenOutcome::Opened);
    EXPECT_EQ(openOneFile(list, jpeg), OpenOutcome::AlreadyOpen);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list[0].isJpeg, 1);
    EXPECT_EQ(list[0].storedWidth, 64);
    EXPECT_EQ(list[0].storedHeight, 48);
    EXPECT_EQ(list[0].exposureIndex, 5);
    EXPECT_EQ(list[0].jpegLevel, 90);
    EXPECT_NE(list[0].hasSound, 0);
}

TEST_F(PictureFiles, DeleteAsksByCountAndTakesTheSoundAlong) {
    EXPECT_EQ(deleteQuestion(0), "Delete the highlighted image?");
    EXPECT_EQ(deleteQuestion(1), "Delete the highlighted image?");
    EXPECT_EQ(deleteQuestion(3), "Delete the 3 highlighted images?");

    for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"})
        openOneFile(list, writeJpegPicture(dir / name));
    std::ofstream(dir / "a.wav") << "RIFF";
    const int a = list.find(path("a.jpg"));
    list[a].hasSound = 1;
    list.highlightOnly(a);
    list.setHighlighted(list.find(path("b.jpg")), true);
    list.setHighlighted(list.find(path("c.jpg")), true);

    op.answers = {false};
    EXPECT_FALSE(deleteHighlighted(list, op).has_value());
    EXPECT_EQ(list.count(), 4);
    EXPECT_TRUE(exists("a.jpg"));

    const auto map = deleteHighlighted(list, op);
    ASSERT_TRUE(map.has_value());
    EXPECT_EQ(op.questions.back(), "Delete the 3 highlighted images?");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"d.jpg"});
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list[0].path, path("d.jpg"));
}

TEST_F(PictureFiles, EditsGoToAWorkingCopyThatCloseSavesOrDrops) {
    const std::string saved = writeKviPicture(dir / "pic.kvi", 1000, 0x50);
    const std::string other = writeKviPicture(dir / "other.kvi", 900, 0x60);
    openFiles(list, {saved, other}, op);
    list.highlightAll();
    EXPECT_FALSE(list.anyHighlightedTemporary());
    ASSERT_EQ(rotateHighlighted(list, 1), status::Ok);
    EXPECT_TRUE(list.anyHighlightedTemporary());
    EXPECT_EQ(list[0].path, path("~pic.kvi"));
    EXPECT_EQ(list[0].edits.rotation, 1);
    // The saved files are untouched; the working copies carry the turn.
    imaging::PictureAttributes a;
    ASSERT_EQ(imaging::ReadPictureFile(saved, a), status::Ok);
    EXPECT_EQ(a.rotation, 0);
    ASSERT_EQ(imaging::ReadPictureFile(path("~pic.kvi"), a), status::Ok);
    EXPECT_EQ(a.rotation, 1);
    // A second turn stays in the same working copy.
    ASSERT_EQ(rotateHighlighted(list, 1), status::Ok);
    EXPECT_EQ(list[0].edits.rotation, 2);

    // Close: Yes for the first, No for the second.
    op.answers = {true, false};
    const std::vector<int> map = closeHighlighted(list, op);
    EXPECT_EQ(op.questions,
              (std::vector<std::string>{"Save changes to file pic", "Save changes to file other"}));
    EXPECT_EQ(map, (std::vector<int>{-1, -1}));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"other.kvi", "pic.kvi"}));
    ASSERT_EQ(imaging::ReadPictureFile(saved, a), status::Ok);
    EXPECT_EQ(a.rotation, 2);
    ASSERT_EQ(imaging::ReadPictureFile(other, a), status::Ok);
    EXPECT_EQ(a.rotation, 0);
}

TEST_F(PictureFiles, SaveAndRevertWorkOnlyOnTemporaryPictures) {
    const std::string saved = writeKviPicture(dir / "pic.kvi", 1000);
    openOneFile(list, saved);
    EXPECT_TRUE(saveHighlighted(list, op).empty());
    EXPECT_TRUE(revertHighlighted(list, op).empty());

    ASSERT_EQ(whiteBalanceHighlighted(list), status::Ok);
    ASSERT_EQ(brightnessOf(list[0], 2.0f), status::Ok);
    const std::uint32_t revision = list[0].revision;
    EXPECT_EQ(revertHighlighted(list, op), std::vector<int>{0});
    EXPECT_EQ(list[0].path, saved);
    EXPECT_EQ(list[0].edits.brightness, 1.0f);
    EXPECT_EQ(list[0].edits.whiteBalance.enabled, 0);
    EXPECT_GT(list[0].revision, revision);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"pic.kvi"});

    ASSERT_EQ(noiseFilterHighlighted(list, 4), status::Ok);
    EXPECT_EQ(list[0].edits.noiseIterations, 4);
    EXPECT_EQ(saveHighlighted(list, op), std::vector<int>{0});
    EXPECT_EQ(list[0].path, saved);
    EXPECT_EQ(list[0].editMarks, (std::array<std::uint16_t, 2>{0, 0}));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"pic.kvi"});
}

TEST_F(PictureFiles, ASaveThatCannotReplaceKeepsBothFilesAndTheRecord) {
    const std::string saved = writeKviPicture(dir / "pic.kvi", 1000);
    openOneFile(list, saved);
    ASSERT_EQ(rotateHighlighted(list, 1), status::Ok);
    // The saved name now stands for a directory that is not empty: the rename must fail.
    fs::remove(saved);
    fs::create_directory(saved);
    std::ofstream(fs::path(saved) / "keep") << "x";
    EXPECT_TRUE(saveHighlighted(list, op).empty());
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(list[0].path, path("~pic.kvi"));
    EXPECT_TRUE(exists("~pic.kvi"));
    EXPECT_TRUE(fs::exists(fs::path(saved) / "keep"));
}

TEST_F(PictureFiles, RenameKeepsTheExtensionAndNeverReplaces) {
    openOneFile(list, writeJpegPicture(dir / "a.jpg"));
    writeJpegPicture(dir / "taken.jpg");
    std::ofstream(dir / "a.wav") << "RIFF";
    list[0].hasSound = 1;

    struct Row {
        const char* name;
        Status result;
    };
    for (const Row& r :
         {Row{"", status::Failed}, Row{"x/y", status::Failed}, Row{"..", status::Failed},
          Row{"taken", status::Failed}, Row{"taken.JPG", status::Failed}}) {
        op.messages.clear();
        EXPECT_EQ(renamePicture(list, 0, r.name, op), r.result) << r.name;
        EXPECT_EQ(op.messages,
                  std::vector<std::string>{"Rename failed. Invalid name or locked file."})
            << r.name;
        EXPECT_EQ(list[0].path, path("a.jpg"));
    }
    op.messages.clear();
    EXPECT_EQ(renamePicture(list, 0, "holiday.jpg", op), status::Ok);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(list[0].path, path("holiday.jpg"));
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"holiday.jpg", "holiday.wav", "taken.jpg"}));

    // The sound cannot follow when its new name is taken: the picture keeps its new name.
    std::ofstream(dir / "beach.wav") << "other";
    EXPECT_EQ(renamePicture(list, 0, "beach", op), status::Failed);
    EXPECT_EQ(op.messages, std::vector<std::string>{"Sound file could not be renamed."});
    EXPECT_EQ(list[0].path, path("beach.jpg"));
    EXPECT_TRUE(exists("holiday.wav"));
}

} // namespace
} // namespace kv::library
