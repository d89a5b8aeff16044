// The picture list's rules: names and captions, newest first, selection, removal.
#include "library/picture_list.h"
#include "library/picture_names.h"

#include <gtest/gtest.h>

namespace kv::library {
namespace {

TEST(PictureNames, TitlesCaptionsAndWorkingCopies) {
    struct Row {
        const char* path;
        const char* title;
        const char* caption;
        bool temporary;
        const char* saved;
        const char* sound;
    };
    for (const Row& r : {
             Row{"/p/Image1.jpg", "Image1", "Image1", false, "/p/Image1.jpg", "/p/Image1.wav"},
             Row{"/p/Image12345.KVI", "Image12345", "Image12345", false, "/p/Image12345.KVI",
                 "/p/Image12345.wav"},
             Row{"/p/ABCDEFGHIJK.jpg", "ABCDEFGHIJK", "ABCDEFGHIJK", false, "/p/ABCDEFGHIJK.jpg",
                 "/p/ABCDEFGHIJK.wav"},
             Row{"/p/ABCDEFGHIJKL.jpg", "ABCDEFGHIJKL", "ABCDEFGHIJ ...", false,
                 "/p/ABCDEFGHIJKL.jpg", "/p/ABCDEFGHIJKL.wav"},
             Row{"/p/~Image1.jpg", "~Image1", "~Image1", true, "/p/Image1.jpg", "/p/Image1.wav"},
             Row{"/p/.jpg", ".jpg", ".jpg", false, "/p/.jpg", "/p/.wav"},
             Row{"/~dir/a.kvi", "a", "a", false, "/~dir/a.kvi", "/~dir/a.wav"},
         }) {
        EXPECT_EQ(fileTitle(r.path), r.title) << r.path;
        EXPECT_EQ(captionForTitle(fileTitle(r.path)), r.caption) << r.path;
        EXPECT_EQ(isTemporaryPath(r.path), r.temporary) << r.path;
        EXPECT_EQ(savedPathOf(r.path), r.saved) << r.path;
        EXPECT_EQ(soundPathOf(r.path), r.sound) << r.path;
    }
    EXPECT_EQ(workingPathOf("/p/Image1.jpg"), "/p/~Image1.jpg");
    EXPECT_TRUE(hasPictureExtension("/p/x.KvI"));
    EXPECT_FALSE(hasPictureExtension("/p/x.kv"));
}

PictureRecord recordAt(const std::string& path, std::int32_t time) {
    PictureRecord r;
    r.path = path;
    r.sortKey = time;
    return r;
}

TEST(PictureList, AppendSortsNewestFirstAndSelectsTheFirst) {
    PictureList list;
    EXPECT_EQ(list.current(), -1);
    list.append({recordAt("b", 20), recordAt("a", 10)});
    list.highlightAll();
    list.setCurrent(1);
    list.append(recordAt("c", 30));
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list[0].path, "c");
    EXPECT_EQ(list[1].path, "b");
    EXPECT_EQ(list[2].path, "a");
    EXPECT_EQ(list.current(), 0);
    EXPECT_EQ(list.highlightedIndices(), std::vector<int>{0});
    // An older picture still leaves the newest current.
    list.append(recordAt("d", 5));
    EXPECT_EQ(list[3].path, "d");
    EXPECT_EQ(list.current(), 0);
    EXPECT_EQ(list.highlightedIndices(), std::vector<int>{0});
    // Ids are unique and follow the records.
    EXPECT_NE(list[0].id, list[1].id);
    EXPECT_EQ(list.findId(list[3].id), 3);
}

TEST(PictureList, FindComparesPathsExactly) {
    PictureList list;
    list.append({recordAt("/p/X.jpg", 1), recordAt("/p/x.jpg", 2)});
    EXPECT_EQ(list.find("/p/x.jpg"), 0);
    EXPECT_EQ(list.find("/p/X.jpg"), 1);
    EXPECT_EQ(list.find("/p/X.JPG"), -1);
}

TEST(PictureList, SelectionRules) {
    PictureList list;
    for (int i = 0; i < 10; ++i)
        list.append(recordAt("p" + std::to_string(i), 100 - i));
    list.highlightOnly(7);
    list.highlightRange(7, 3);
    EXPECT_EQ(list.highlightedIndices(), (std::vector<int>{3, 4, 5, 6, 7}));
    list.toggleHighlighted(5);
    EXPECT_EQ(list.highlightedIndices(), (std::vector<int>{3, 4, 6, 7}));
    list.highlightRange(8, 20); // past the end is ignored
    EXPECT_EQ(list.highlightedCount(), 6);
    list.setCurrent(42);
    EXPECT_EQ(list.current(), 9);
    list.setCurrent(-3);
    EXPECT_EQ(list.current(), 0);
}

TEST(PictureList, RemovingMapsIndicesAndKeepsCurrentInside) {
    PictureList list;
    for (int i = 0; i < 5; ++i)
        list.append(recordAt("p" + std::to_string(i), 100 - i));
    list.highlightOnly(1);
    list.setHighlighted(4, true);
    list.setCurrent(4);
    const std::vector<int> map = list.removeHighlighted();
    EXPECT_EQ(map, (std::vector<int>{0, -1, 1, 2, -1}));
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(list.current(), 2);
    list.highlightAll();
    list.removeHighlighted();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.current(), -1);
}

} // namespace
} // namespace kv::library
