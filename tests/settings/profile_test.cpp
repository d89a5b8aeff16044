// The private-profile service: lookups, defaults, number conversion and edits that keep the
// rest of the file.

#include "platform/atomic_file.h"
#include "settings/ini_document.h"
#include "settings/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using kv::settings::IniDocument;
using kv::settings::Profile;

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kv_profile_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        file_ = dir_ / "kvmini.INI";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void writeFile(const std::string& text) {
        std::ofstream(file_, std::ios::binary) << text;
    }
    std::string readFile() {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir_;
    fs::path file_;
};

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
    Profile profile(file_);
    EXPECT_EQ(profile.getString("PATHS", "OPEN_PATH", "dflt"), "dflt");
    EXPECT_EQ(profile.getInt("CONNECT_PARAMS", "BAUD_RATE", 7), 7);

    writeFile("[PATHS]\nOTHER=1\n");
    EXPECT_EQ(profile.getString("PATHS", "OPEN_PATH", "dflt"), "dflt");
    EXPECT_EQ(profile.getString("NOPE", "OTHER", "dflt"), "dflt");
    EXPECT_EQ(profile.getString("PATHS", "OTHER", "dflt"), "1");
}

TEST_F(ProfileTest, SectionsAndKeysIgnoreCaseAndBlanks) {
    writeFile("; comment\n[Connect_Params]\n  baud_rate =  57600  \n");
    Profile profile(file_);
    EXPECT_EQ(profile.getInt("CONNECT_PARAMS", "BAUD_RATE", 0), 57600);
    EXPECT_EQ(profile.getString("connect_params", "Baud_Rate"), "57600");
}

TEST_F(ProfileTest, NumbersStopAtTheFirstNonDigit) {
    writeFile("[S]\njunk=12abc\nword=abc\nempty=\nneg=-42\nspace= 7 8\nhuge=99999999999999999999\n");
    Profile profile(file_);
    struct Row {
        const char* key;
        int expected;
    } rows[] = {{"junk", 12}, {"word", 0}, {"empty", 5}, {"neg", -42}, {"space", 7}};
    for (const Row& row : rows)
        EXPECT_EQ(profile.getInt("S", row.key, 5), row.expected) << row.key;
    EXPECT_EQ(profile.getTextInt("S", "junk", 3), 12);
    EXPECT_EQ(profile.getTextInt("S", "missing", 3), 3);
    // An empty value is present as a string, but gives the default as a number.
    EXPECT_EQ(profile.getString("S", "empty", "x"), "");
    // Out-of-range text saturates rather than wrapping into something plausible.
    EXPECT_NE(profile.getInt("S", "huge", 0), 0);
}

TEST_F(ProfileTest, WritesKeepCommentsOrderAndOtherSections) {
    const std::string original = "; station file\n"
                                 "[FIRST]\n"
                                 "A = 1\n"
                                 "; about B\n"
                                 "B=2\n"
                                 "\n"
                                 "[SECOND]\n"
                                 "C=3\n";
    writeFile(original);
    Profile profile(file_);
    ASSERT_TRUE(profile.writeString("first", "b", "20"));
    EXPECT_EQ(readFile(), "; station file\n[FIRST]\nA = 1\n; about B\nb=20\n\n[SECOND]\nC=3\n");

    ASSERT_TRUE(profile.writeInt("FIRST", "NEW", 5));
    EXPECT_EQ(readFile(),
              "; station file\n[FIRST]\nA = 1\n; about B\nb=20\nNEW=5\n\n[SECOND]\nC=3\n");

    ASSERT_TRUE(profile.writeString("THIRD", "D", "x y"));
    EXPECT_EQ(profile.getString("THIRD", "D"), "x y");
    EXPECT_EQ(profile.getString("SECOND", "C"), "3");
    EXPECT_EQ(profile.getString("FIRST", "A"), "1");
}

TEST_F(ProfileTest, TwoWritersOfDifferentKeysBothKept) {
    Profile first(file_);
    Profile second(file_);
    ASSERT_TRUE(first.writeString("S", "ONE", "1"));
    ASSERT_TRUE(second.writeString("S", "TWO", "2"));
    EXPECT_EQ(first.getString("S", "ONE"), "1");
    EXPECT_EQ(first.getString("S", "TWO"), "2");
}

TEST_F(ProfileTest, WriteCreatesMissingFileAndDirectory) {
    Profile profile(dir_ / "new" / "deeper" / "x.INI");
    ASSERT_TRUE(profile.writeInt("S", "K", 1));
    EXPECT_EQ(profile.getInt("S", "K", 0), 1);
}

TEST_F(ProfileTest, FailedWriteLeavesTheOldFile) {
    writeFile("[S]\nK=old\n");
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    Profile profile(file_);
    const bool wrote = profile.writeString("S", "K", "new");
    fs::permissions(dir_, fs::perms::owner_all);
    if (wrote)
        GTEST_SKIP() << "running as a user who may write anywhere";
    EXPECT_EQ(readFile(), "[S]\nK=old\n");
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename(), "kvmini.INI") << "temporary file left behind";
}

TEST_F(ProfileTest, RenameFailureReportsAndCleansUp) {
    // A directory squats on the file's name: the replace cannot happen.
    fs::create_directories(file_ / "inside");
    Profile profile(file_);
    EXPECT_FALSE(profile.writeString("S", "K", "v"));
    EXPECT_TRUE(fs::is_directory(file_ / "inside"));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename(), "kvmini.INI") << "temporary file left behind";
}

TEST(IniDocument, CrLfFilesQuotesAndFirstMatch) {
    IniDocument doc("[S]\r\nK=\"quoted value\"\r\nK=second\r\n[S]\r\nK=third\r\n");
    EXPECT_EQ(doc.find("S", "K"), "quoted value");
    doc.set("S", "K", "v");
    EXPECT_EQ(doc.find("S", "K"), "v");
    EXPECT_EQ(doc.keys("S").size(), 2u);
}

TEST(IniDocument, TextRoundTripsUnchanged) {
    const char* texts[] = {"", "no newline at end", "[A]\nx=1", "[A]\n\n\n;c\nx=1\n\n",
                           "garbage ] [ = = \n[unterminated\nk=v\n"};
    for (const char* text : texts)
        EXPECT_EQ(IniDocument(text).text(), text);
}

TEST(IniDocument, KeyAddedToSectionWithoutTrailingNewline) {
    IniDocument doc("[A]\nx=1");
    doc.set("A", "y", "2");
    EXPECT_EQ(doc.text(), "[A]\nx=1\ny=2\n");
}

} // namespace
