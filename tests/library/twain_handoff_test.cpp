#include "imaging/bitmap_file.h"
#include "imaging/file_test_support.h"
#include "library/twain_handoff.h"
#include "platform/atomic_file.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace kv::library {
namespace {
namespace fs = std::filesystem;

using kv::testing::ScratchDir;

class MessageLog : public SilentOperator {
public:
    void message(std::string_view text) override { messages.emplace_back(text); }
    void setWaitCursor(bool on) override { waitCursorChanges += on ? 1 : 0; }
    std::vector<std::string> messages;
    int waitCursorChanges = 0;
};

struct Handoff {
    ScratchDir dir;
    HandoffPlaces places{dir.path() / "temp", dir.path() / "KVTwain.ini"};
    MessageLog op;
    std::vector<int> rendered;

    Handoff() { fs::create_directory(places.directory); }

    Status transfer(std::vector<PictureRecord> pictures, int width = 5, int height = 3) {
        return TransferToApplication(
            pictures,
            [&](std::size_t position) {
                rendered.push_back(int(position));
                imaging::RgbPicture p;
                p.width = width;
                p.height = height;
                p.pixels = kvtest::testPicture(width, height, int(position));
                return p;
            },
            op, places);
    }
    std::string pending() const {
        return settings::Profile(places.iniFile).getString("Source", "PendingImages", "<none>");
    }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(places.directory))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

std::vector<PictureRecord> list(std::initializer_list<bool> highlights) {
    std::vector<PictureRecord> out;
    for (bool h : highlights) {
        PictureRecord r;
        r.path = "/pictures/Image" + std::to_string(out.size()) + ".jpg";
        r.highlighted = h;
        out.push_back(r);
    }
    return out;
}

TEST(TwainHandoff, WritesTheHighlightedPositionAndTheCount) {
    struct Case {
        const char* name;
        std::initializer_list<bool> highlights;
        Status result;
        std::vector<std::string> files;
        const char* pending;
        bool multipleMessage;
    } cases[] = {
        {"first", {true, false, false}, status::Ok, {"KVImage0.bmp"}, "1", false},
        {"fourth place gets number 3",
         {false, false, false, true},
         status::Ok,
         {"KVImage3.bmp"},
         "1",
         false},
        {"nothing highlighted", {false, false}, status::Ok, {}, "0", false},
        {"empty list", {}, status::Ok, {}, "0", false},
        {"two highlighted", {true, false, true}, status::Failed, {}, "7", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handoff h;
        settings::Profile(h.places.iniFile).writeString("Source", "PendingImages", "7");
        EXPECT_EQ(h.transfer(list(c.highlights)), c.result);
        EXPECT_EQ(h.files(), c.files);
        EXPECT_EQ(h.pending(), c.pending);
        const std::vector<std::string> messages =
            c.multipleMessage ? std::vector<std::string>{std::string(kMultipleTransfersMessage)}
                              : std::vector<std::string>{};
        EXPECT_EQ(h.op.messages, messages);
        EXPECT_EQ(h.rendered.size(), c.files.size()) << "only what is written is rendered";
    }
}

TEST(TwainHandoff, NothingHighlightedLeavesEarlierBitmapsAlone) {
    Handoff h;
    ASSERT_EQ(h.transfer(list({false, true})), status::Ok);
    const fs::path earlier = h.places.directory / "KVImage1.bmp";
    const auto before = fs::last_write_time(earlier);
    ASSERT_EQ(h.transfer(list({false, false})), status::Ok);
    EXPECT_EQ(h.pending(), "0");
    EXPECT_TRUE(fs::exists(earlier));
    EXPECT_EQ(fs::last_write_time(earlier), before);
}

// The written file read back by netpbm's reader, and its header fields, for widths with and
// without row padding.
TEST(TwainHandoff, BitmapReadsBackWithAnIndependentReader) {
    if (!kvtest::toolPresent("bmptopnm"))
        GTEST_SKIP() << "netpbm not installed";
    for (auto [width, height] : {std::pair{5, 3}, {4, 2}, {101, 50}, {1, 1}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        Handoff h;
        ASSERT_EQ(h.transfer(list({true}), width, height), status::Ok);
        const fs::path bmp = h.places.directory / "KVImage0.bmp";
        Bytes file;
        ASSERT_TRUE(platform::readWholeFile(bmp, file));
        const std::size_t stride = (std::size_t(width) * 3 + 3) / 4 * 4;
        ASSERT_EQ(file.size(), 54 + stride * height);
        EXPECT_EQ(loadLe32(file, 2), file.size());
        EXPECT_EQ(loadLe32(file, 10), 54u);
        EXPECT_EQ(loadLe32(file, 14), 40u);
        EXPECT_EQ(loadLe32(file, 34), stride * height);
        EXPECT_EQ(loadLe16(file, 28), 24u);
        for (int y = 0; y < height; ++y) // padding bytes are zero
            for (std::size_t x = std::size_t(width) * 3; x < stride; ++x) {
                EXPECT_EQ(file[54 + y * stride + x], 0);
            }

        int rc = -1;
        const std::string ppm =
            kvtest::runTool("bmptopnm " + kvtest::quoted(bmp) + " 2>/dev/null", &rc);
        ASSERT_EQ(rc, 0);
        const std::string header =
            "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
        ASSERT_EQ(ppm.substr(0, header.size()), header);
        const Bytes want = kvtest::testPicture(width, height, 0);
        EXPECT_EQ(Bytes(ppm.begin() + header.size(), ppm.end()), want);
    }
}

TEST(TwainHandoff, RefusesUnusableDirectoriesAndForeignFiles) {
    struct Case {
        const char* name;
        std::function<void(Handoff&)> prepare;
    } cases[] = {
        {"missing directory", [](Handoff& h) { fs::remove(h.places.directory); }},
        {"directory is a file",
         [](Handoff& h) {
             fs::remove(h.places.directory);
             std::ofstream(h.places.directory) << "x";
         }},
        {"empty directory name", [](Handoff& h) { h.places.directory.clear(); }},
        {"bitmap name is a directory",
         [](Handoff& h) { fs::create_directory(h.places.directory / "KVImage0.bmp"); }},
        {"bitmap of another user",
         [](Handoff& h) {
             const fs::path p = h.places.directory / "KVImage0.bmp";
             std::ofstream(p) << "theirs";
             if (::geteuid() != 0 || ::chown(p.c_str(), 65534, 65534) != 0)
                 fs::remove(p); // cannot give it away: the case then expects a write
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handoff h;
        c.prepare(h);
        const bool foreignCase = std::string(c.name) == "bitmap of another user";
        if (foreignCase && !fs::exists(h.places.directory / "KVImage0.bmp"))
            continue;
        EXPECT_EQ(h.transfer(list({true})), status::Failed);
        EXPECT_EQ(h.op.messages.size(), 1u);
        EXPECT_EQ(h.pending(), "<none>") << "the count is not written";
        if (foreignCase) {
            std::ifstream in(h.places.directory / "KVImage0.bmp");
            std::string text;
            in >> text;
            EXPECT_EQ(text, "theirs");
        }
    }
}

TEST(TwainHandoff, ReplacesASymbolicLinkInsteadOfWritingThroughIt) {
    Handoff h;
    const fs::path victim = h.dir.path() / "victim.txt";
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, h.places.directory / "KVImage0.bmp");
    ASSERT_EQ(h.transfer(list({true})), status::Ok);
    EXPECT_FALSE(fs::is_symlink(h.places.directory / "KVImage0.bmp"));
    EXPECT_EQ(fs::file_size(h.places.directory / "KVImage0.bmp"), 54u + 16 * 3);
    std::ifstream in(victim);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(h.files(), std::vector<std::string>{"KVImage0.bmp"}) << "no temporary file left";
}

TEST(TwainHandoff, DefaultPlacesFollowTempAndTheConfigDirectory) {
    ScratchDir dir;
    const char* oldTemp = std::getenv("TEMP");
    const char* oldConfig = std::getenv("KVMINI_CONFIG_DIR");
    const std::string savedTemp = oldTemp ? oldTemp : "";
    const std::string savedConfig = oldConfig ? oldConfig : "";
    ::setenv("TEMP", (dir.path().string() + "/").c_str(), 1);
    ::setenv("KVMINI_CONFIG_DIR", dir.path().c_str(), 1);
    std::ofstream(dir.path() / "KVTWAIN.INI") << "[Korvane]\nLocation=/usr/bin/kvmini\n";
    const HandoffPlaces places = defaultHandoffPlaces();
    EXPECT_EQ(handoffBitmapPath(places.directory, 2).string(),
              dir.path().string() + "/KVImage2.bmp");
    EXPECT_EQ(places.iniFile, dir.path() / "KVTWAIN.INI") << "one file whatever its case";
    oldTemp ? ::setenv("TEMP", savedTemp.c_str(), 1) : ::unsetenv("TEMP");
    oldConfig ? ::setenv("KVMINI_CONFIG_DIR", savedConfig.c_str(), 1)
              : ::unsetenv("KVMINI_CONFIG_DIR");
}

} // namespace
} // namespace kv::library
