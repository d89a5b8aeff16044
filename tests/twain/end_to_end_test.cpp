// The test application, kvsource and a stand-in kvmini together: the application loads the
// source, the source starts the stand-in with /TWAIN, the stand-in writes a hand-off after a
// moment, and the picture arrives natively and in memory strips.
#include "imaging/bitmap_reader.h"
#include "imaging/file_test_support.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {
namespace fs = std::filesystem;

// The stand-in's picture.
kv::Bytes standinPicture(int width, int height) {
    kv::Bytes p;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            p.push_back(std::uint8_t(x * 7 + y));
            p.push_back(std::uint8_t(y * 5));
            p.push_back(std::uint8_t(x ^ y));
        }
    return p;
}

TEST(TwainEndToEnd, AcquiresThroughTheSourceInBothModes) {
    struct Case {
        const char* mode;
        const char* size;
        int width, height;
        std::vector<int> states;
    } cases[] = {
        {"--native", "101x50", 101, 50, {1, 2, 3, 4, 5, 6, 7, 5, 4, 3, 1}},
        {"--memory", "320x240", 320, 240, {1, 2, 3, 4, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 5, 4, 3, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        kv::testing::ScratchDir dir;
        fs::create_directories(dir.path() / "temp");
        std::ofstream(dir.path() / "KVTWAIN.ini")
            << "[Korvane]\nLocation=" << STANDIN_KVMINI_PATH << "\n";
        const fs::path out = dir.path() / "out.bmp";
        int rc = -1;
        const std::string log = kvtest::runTool(
            "TEMP=" + kvtest::quoted(dir.path() / "temp") +
                " KVMINI_CONFIG_DIR=" + kvtest::quoted(dir.path()) + " KV_STANDIN_SIZE=" + c.size +
                " KV_STANDIN_POSITION=2 " + KVTWAIN_PATH + " --source=" + KVSOURCE_PATH + " " +
                c.mode + " --timeout=20 " + kvtest::quoted(out),
            &rc);
        ASSERT_EQ(rc, 0) << log;
        std::vector<int> states;
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("state ", 0) == 0)
                states.push_back(std::stoi(line.substr(6)));
        EXPECT_EQ(states, c.states) << log;
        EXPECT_EQ(log.find("no close request"), std::string::npos) << log;

        kv::imaging::RgbPicture picture;
        ASSERT_EQ(kv::imaging::ReadBitmapFile(out, picture), kv::status::Ok);
        EXPECT_EQ(picture.width, c.width);
        EXPECT_EQ(picture.height, c.height);
        EXPECT_EQ(picture.pixels, standinPicture(c.width, c.height));
        // The hand-off is consumed: the bitmap deleted, the count back at 0.
        EXPECT_FALSE(fs::exists(dir.path() / "temp" / "KVImage2.bmp"));
        std::ifstream ini(dir.path() / "KVTWAIN.ini");
        std::stringstream text;
        text << ini.rdbuf();
        EXPECT_NE(text.str().find("PendingImages=0"), std::string::npos) << text.str();
    }
}

} // namespace
