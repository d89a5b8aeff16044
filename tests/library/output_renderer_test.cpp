// Rendering and exporting pictures, the information text and the dialogs' arithmetic.
#include "imaging/bitmap_reader.h"
#include "imaging/jpeg_file.h"
#include "library/output_renderer.h"
#include "library/output_size.h"
#include "library/picture_export.h"
#include "library/picture_files.h"
#include "library/picture_info.h"
#include "library/picture_loader.h"
#include "picture_files_support.h"
#include "platform/atomic_file.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace kv::library {
namespace {

namespace fs = std::filesystem;
using kv::library::testing::ScriptedOperator;
using kv::library::testing::writeJpegPicture;
using kv::library::testing::writeKviPicture;

TEST(OutputSize, PixelsLabelsAndUnits) {
    EXPECT_EQ(outputPixels(0), (PixelSize{60, 50}));
    EXPECT_EQ(outputPixels(5), (PixelSize{1920, 1600}));
    EXPECT_EQ(outputPixels(9), (PixelSize{960, 800}));
    EXPECT_EQ(outputPixels(-1), (PixelSize{960, 800}));
    EXPECT_EQ(outputPixels(2, 1), (PixelSize{200, 240}));
    EXPECT_EQ(outputPixels(2, 2), (PixelSize{240, 200}));
    EXPECT_EQ(thumbnailSizeFor(960, 800), (PixelSize{120, 100}));
    EXPECT_EQ(thumbnailSizeFor(800, 960), (PixelSize{100, 120}));
    EXPECT_EQ(thumbnailSizeFor(5000, 10), (PixelSize{120, 1}));

    struct Row {
        int units;
        int index;
        const char* label;
    };
    for (const Row& r :
         {Row{2, 0, "60      X   50"}, Row{2, 5, "1920   X  1600"}, Row{0, 0, "0.8    X   0.7"},
          Row{0, 3, "6.7    X   5.6"}, Row{0, 4, "13.3  X  11.1"}, Row{0, 5, "26.7  X  22.2"},
          Row{1, 2, "8.5    X   7.1"}, Row{1, 3, "16.9  X   14.1"}, Row{1, 5, "67.7  X   56.4"},
          Row{7, 1, "1.7    X   1.4"}, Row{0, 9, "13.3  X  11.1"}})
        EXPECT_EQ(outputSizeLabel(r.units, r.index), r.label) << r.units << " " << r.index;
    EXPECT_EQ(sizeUnitsName(1), "Centimeters");
    EXPECT_EQ(sizeUnitsName(3), "Inches");
}

TEST(OutputSize, CanvasFieldsFollowTheStartingAspect) {
    EXPECT_EQ(canvasPartnerText("9.6", 4.8, 4.0), "8.000");
    EXPECT_EQ(canvasPartnerText("2", 4.0, 4.8), "2.400");
    EXPECT_EQ(canvasPartnerText("12.", 4.8, 4.0), "10.000");
    EXPECT_FALSE(canvasPartnerText("x", 4.8, 4.0));
    EXPECT_FALSE(canvasPartnerText("1", 0, 4.0));
    for (const char* good : {"", "4", "4.", "4.8"})
        EXPECT_TRUE(canvasTextAcceptable(good)) << good;
    for (const char* bad : {"4a", "4.8-", "e"})
        EXPECT_FALSE(canvasTextAcceptable(bad)) << bad;
}

TEST(PictureInfo, TextLinesAndShortPaths) {
    EXPECT_EQ(shortenPath("/home/ann/pics/Image1.jpg"), "/home/ann/pics/Image1.jpg"); // 25
    EXPECT_EQ(shortenPath("/home/ann/pics2/Image1.jpg"), "/home/.../Image1.jpg");     // 26
    EXPECT_EQ(shortenPath("pictures-of-the-summer/trip/Image1.jpg"),
              "pictures-of-the-summer/.../Image1.jpg");
    EXPECT_EQ(shortenPath("a-very-long-name-without-separators.jpg"),
              "a-very-long-name-without-separators.jpg");

    PictureRecord r;
    r.path = "/p/Image1.kvi";
    r.fileSize = 5000;
    r.exposureIndex = 5;
    r.flashState = 1;
    r.quality = 1;
    r.manufacturingNumber = 12345;
    const std::string created = captureTimeText(0);
    EXPECT_EQ(pictureInformationText(r, false),
              " \t     Size: 4 KB\r\n\t      File:  /p/Image1.kvi\r\n   Created:  " + created +
                  "\r\nExposure:  1/60 second\r\nFlash:  ON     Quality:  Stnd     ");
    r.isJpeg = 1;
    r.jpegLevel = 75;
    r.flashState = 2;
    const std::string withDiagnostics = pictureInformationText(r, true);
    EXPECT_NE(withDiagnostics.find("\r\n   Mfg. No.:  12345\r\n"), std::string::npos);
    EXPECT_TRUE(withDiagnostics.ends_with("Flash:  UNUSEDCompression: 75"));
}

class Rendering : public ::testing::Test {
protected:
    kv::testing::ScratchDir dir;
};

TEST_F(Rendering, ModesSizesAndRotation) {
    PictureRecord jpeg;
    jpeg.path = writeJpegPicture(dir / "a.jpg", 960, 800);
    jpeg.isJpeg = 1;
    PictureRecord kvi;
    kvi.path = writeKviPicture(dir / "b.kvi", 1000);

    struct Row {
        PictureRecord* record;
        RenderMode mode;
        int outputSize;
        int rotation;
        int width;
        int height;
    };
    for (const Row& r : {Row{&jpeg, RenderMode::Output, 9, 0, 960, 800},
                         Row{&jpeg, RenderMode::Output, 2, 1, 200, 240},
                         Row{&jpeg, RenderMode::Thumbnail, 4, 0, 120, 100},
                         Row{&jpeg, RenderMode::Thumbnail, 4, 3, 100, 120},
                         Row{&jpeg, RenderMode::Stored, 0, 2, 960, 800},
                         Row{&kvi, RenderMode::Output, 5, 0, 1920, 1600},
                         Row{&kvi, RenderMode::Stored, 0, 1, 400, 480},
                         Row{&kvi, RenderMode::Thumbnail, 0, 0, 120, 100}}) {
        r.record->edits.rotation = static_cast<std::int16_t>(r.rotation);
        const imaging::RgbPicture p =
            renderPicture(renderSourceOf(*r.record), r.mode, r.outputSize);
        ASSERT_TRUE(p.valid()) << r.record->path << " mode " << int(r.mode);
        EXPECT_EQ(p.width, r.width) << r.record->path << " mode " << int(r.mode);
        EXPECT_EQ(p.height, r.height) << r.record->path << " mode " << int(r.mode);
    }
    // Brightness reaches the pixels; the uniform .kvi picture of 0x50 doubles.
    kvi.edits = {};
    kvi.edits.brightness = 2.0f;
    const imaging::RgbPicture bright = renderPicture(renderSourceOf(kvi), RenderMode::Stored);
    ASSERT_TRUE(bright.valid());
    EXPECT_EQ(bright.pixels[1000], 0xA0);
}

TEST_F(Rendering, DamagedFilesRenderNothing) {
    const std::string good = writeJpegPicture(dir / "good.jpg", 960, 800);
    Bytes bytes;
    ASSERT_TRUE(platform::readWholeFile(good, bytes));
    bytes.resize(bytes.size() / 3);
    std::ofstream(dir / "cut.jpg", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    std::ofstream(dir / "junk.kvi") << "II*junk";
    for (const auto& [name, isJpeg] :
         {std::pair{"junk.kvi", false}, std::pair{"missing.jpg", true}})
        for (RenderMode mode : {RenderMode::Output, RenderMode::Stored, RenderMode::Thumbnail})
            EXPECT_FALSE(renderPicture({(dir / name).string(), isJpeg, {}, {}}, mode).valid()) << name;
    // A JPEG cut short decodes as far as its data goes (libjpeg fills the rest), at its size.
    const imaging::RgbPicture cut =
        renderPicture({(dir / "cut.jpg").string(), true, {}, {}}, RenderMode::Thumbnail);
    EXPECT_TRUE(!cut.valid() || (cut.width == 120 && cut.height == 100));
}

TEST_F(Rendering, ExportWritesEachTypeAtTheOutputSizeWithItsNote) {
    ScriptedOperator op;
    PictureList list;
    openOneFile(list, writeKviPicture(dir / "one.kvi", 2000, 0x50, true));
    openOneFile(list, writeJpegPicture(dir / "two.jpg", 960, 800));
    std::ofstream(dir / "two.wav") << "RIFF-note";
    list[list.find((dir / "two.jpg").string())].hasSound = 1;
    fs::create_directory(dir / "out");

    list.highlightAll();
    EXPECT_EQ(exportHighlighted(list, dir / "out" / "ignored.bmp", 2, op), status::Ok);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_TRUE(fs::exists(dir / "out" / "one.bmp"));
    EXPECT_TRUE(fs::exists(dir / "out" / "one.wav"));
    EXPECT_EQ(fs::file_size(dir / "out" / "two.wav"), 9u);
    imaging::RgbPicture image;
    ASSERT_EQ(imaging::ReadBitmapFile(dir / "out" / "two.bmp", image), status::Ok);
    EXPECT_EQ(image.width, 240);
    EXPECT_EQ(image.height, 200);

    // One picture goes to the chosen name as it is.
    list.highlightOnly(0);
    ASSERT_EQ(exportHighlighted(list, dir / "out" / "chosen.jpg", 1, op), status::Ok);
    int w = 0;
    int h = 0;
    ASSERT_EQ(imaging::ReadJpegSize(dir / "out" / "chosen.jpg", w, h), status::Ok);
    EXPECT_EQ(w, 120);
    EXPECT_EQ(h, 100);
    EXPECT_EQ(exportHighlighted(list, dir / "out" / "x.tif", 0, op), status::Ok);
    EXPECT_EQ(exportTypeOf("a.TIFF"), ExportType::Tiff);
    EXPECT_FALSE(exportTypeOf("a.png"));
}

TEST_F(Rendering, LoaderDeliversEveryJobOnItsWorkers) {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<RenderResult> results;
    {
        PictureLoader loader(2, [&](RenderResult r) {
            std::lock_guard lock(mutex);
            results.push_back(std::move(r));
            done.notify_all();
        });
        for (int i = 0; i < 6; ++i) {
            RenderJob job;
            job.id = std::uint64_t(i + 1);
            job.revision = 7;
            job.source.isJpeg = true;
            job.source.path = i == 3
                                  ? (dir / "missing.jpg").string()
                                  : writeJpegPicture(dir / (std::to_string(i) + ".jpg"), 160, 120);
            loader.request(job, i == 5);
        }
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            done.wait_for(lock, std::chrono::seconds(20), [&] { return results.size() == 6; }));
    }
    for (const RenderResult& r : results) {
        EXPECT_EQ(r.revision, 7u);
        EXPECT_EQ(r.picture == nullptr, r.id == 4) << r.id;
        if (r.picture) {
            EXPECT_EQ(r.picture->width, 120);
            EXPECT_EQ(r.picture->height, 90);
        }
    }
}

} // namespace
} // namespace kv::library
