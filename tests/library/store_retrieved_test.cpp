#include "camera/wave.h"
#include "camsim/transfer_store.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "library/numbered_name.h"
#include "library/store_retrieved.h"
#include "platform/atomic_file.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kv::library {
namespace {
namespace fs = std::filesystem;

using kv::testing::ScratchDir;

Bytes readAll(const fs::path& p) {
    Bytes out;
    EXPECT_TRUE(platform::readWholeFile(p, out));
    return out;
}

TEST(NumberedName, SkipsNamesInUseIncludingCompanions) {
    ScratchDir dir;
    const fs::path base = dir.path() / "Image";
    dir.touch("Image3.jpg");
    dir.touch("Image4.wav");
    dir.touch("Image.jpg");
    struct Case {
        const char* ext;
        int start;
        bool single;
        std::vector<std::string> companions;
        const char* want;
    } cases[] = {
        {".jpg", 3, false, {}, "Image4.jpg"}, {".jpg", 3, false, {".wav"}, "Image5.jpg"},
        {".kvi", 3, false, {}, "Image3.kvi"}, {".kvi", 1, true, {}, "Image.kvi"},
        {".jpg", 1, true, {}, "Image1.jpg"}, // the plain name is taken: never replaced
    };
    for (const Case& c : cases) {
        auto name = nextFreeName(base, c.ext, c.start, c.single, c.companions);
        ASSERT_TRUE(name);
        EXPECT_EQ(name->filename().string(), c.want);
    }
    EXPECT_EQ(baseNameOf("/x/Image.jpg"), fs::path("/x/Image"));
}

camera::TransferItem receivedItem(std::int16_t number, std::int16_t quality, Bytes picture,
                                  Bytes sound = {}) {
    camera::TransferItem item;
    item.pictureNumber = number;
    item.quality = quality;
    item.exposure = 5;
    item.flash = 1;
    item.pictureSize = static_cast<std::uint32_t>(picture.size());
    item.picture = std::move(picture);
    item.soundSize = static_cast<std::uint32_t>(sound.size());
    item.sound = std::move(sound);
    item.result = status::Ok;
    return item;
}

TEST(StoreRetrieved, EachKindOfPictureBecomesAFileOthersOpen) {
    ScratchDir dir;
    StoreContext context;
    context.base = dir.path() / "Image";
    context.retrievalTime = 1700000000;
    context.cameraId = "KV-BENCH";

    // A wavelet picture of quality 0 with an ADPCM note: 960 x 800 JPEG and a converted wave.
    const Bytes note = camsim::makeSoundNote(20500, 1);
    auto stored = storeRetrievedItem(
        receivedItem(2, 0, camsim::embedCheckWord(camsim::makeCompressedPicture(0, 1)), note),
        context);
    ASSERT_EQ(stored.result, status::Ok) << stored.error;
    EXPECT_EQ(stored.picture.filename(), "Image2.jpg");
    int width = 0, height = 0;
    imaging::JpegMarkers markers;
    ASSERT_EQ(imaging::ReadJpegSize(stored.picture, width, height, &markers), status::Ok);
    EXPECT_EQ(width, 960);
    EXPECT_EQ(height, 800);
    EXPECT_EQ(markers.exposureIndex, 5);
    EXPECT_FALSE(markers.note.empty()); // the camera note section went into the markers
    EXPECT_EQ(stored.sound.filename(), "Image2.wav");
    const Bytes wave = readAll(stored.sound);
    EXPECT_EQ(wave.size(), 58u + 82000u);
    EXPECT_EQ(loadLe32(wave, 4), 82050u);
    EXPECT_EQ(stored.record.isJpeg, 1);
    EXPECT_EQ(stored.record.hasSound, 1);
    EXPECT_EQ(stored.record.sortKey, 1700000000);

    // Quality 2 (Cine) is kept like the other wavelet pictures: a JPEG file.
    stored = storeRetrievedItem(receivedItem(3, 2, camsim::makeCompressedPicture(2, 2)), context);
    ASSERT_EQ(stored.result, status::Ok) << stored.error;
    EXPECT_EQ(stored.picture.filename(), "Image3.jpg");

    // Uncompressed: developed and stored as .kvi with the note inside.
    Bytes frame = camsim::makeRawFrame(3);
    auto item = receivedItem(4, 3, frame, note);
    item.pictureSize = 900000; // the camera may state less than the frame it reserves
    stored = storeRetrievedItem(item, context);
    ASSERT_EQ(stored.result, status::Ok) << stored.error;
    EXPECT_EQ(stored.picture.filename(), "Image4.kvi");
    EXPECT_TRUE(stored.sound.empty());
    imaging::PictureAttributes info;
    ASSERT_EQ(imaging::ReadPictureFile(stored.picture, info), status::Ok);
    EXPECT_EQ(info.quality, 3);
    EXPECT_EQ(info.soundLength, 20500u);
    Bytes thumbnail;
    std::uint32_t length = 36000;
    ASSERT_EQ(imaging::ReadPictureFile(stored.picture, imaging::PicturePart::Thumbnail, thumbnail,
                                       length),
              status::Ok);
    EXPECT_EQ(stored.record.isJpeg, 0);

    // A JPEG camera's picture is written exactly as received; a wave note is kept as it is.
    context.jpegCamera = true;
    const Bytes jpeg = camsim::makeCardJpeg(4);
    const Bytes cardWave = camsim::makeCardWave(1000, 4);
    stored = storeRetrievedItem(receivedItem(5, 0, jpeg, cardWave), context);
    ASSERT_EQ(stored.result, status::Ok) << stored.error;
    EXPECT_EQ(readAll(stored.picture), jpeg);
    EXPECT_EQ(readAll(stored.sound), cardWave);

    // A note without a picture gets a wave file of its own.
    camera::TransferItem lone;
    lone.soundNumber = 9;
    lone.soundSize = 100;
    lone.sound = camsim::makeSoundNote(100, 9);
    lone.result = status::Ok;
    stored = storeRetrievedItem(lone, context);
    ASSERT_EQ(stored.result, status::Ok);
    EXPECT_EQ(stored.picture.filename(), "Image9.wav");
    EXPECT_EQ(dir.names(),
              (std::vector<std::string>{"Image2.jpg", "Image2.wav", "Image3.jpg", "Image4.kvi",
                                        "Image5.jpg", "Image5.wav", "Image9.wav"}));
}

TEST(StoreRetrieved, NothingIsWrittenForBadItems) {
    ScratchDir dir;
    StoreContext context;
    context.base = dir.path() / "Image";
    // Not received intact; a wavelet picture that does not decode; a directory that is gone.
    auto failed = receivedItem(1, 0, camsim::makeCompressedPicture(0, 1));
    failed.result = status::Failed;
    EXPECT_NE(storeRetrievedItem(failed, context).result, status::Ok);
    EXPECT_NE(storeRetrievedItem(receivedItem(2, 1, Bytes(5000, 0x55)), context).result,
              status::Ok);
    // A picture whose note cannot be written is not left behind without it: the picture file
    // written first goes again (card JPEG and developed wavelet picture alike).
    const Bytes oversizedNote(camera::kMaxNoteLength + 1, 0x11);
    for (const bool jpegCamera : {true, false}) {
        SCOPED_TRACE(jpegCamera ? "card JPEG" : "wavelet picture");
        context.jpegCamera = jpegCamera;
        const Bytes picture =
            jpegCamera ? camsim::makeCardJpeg(2) : camsim::makeCompressedPicture(0, 2);
        const auto stored = storeRetrievedItem(receivedItem(4, 0, picture, oversizedNote), context);
        EXPECT_NE(stored.result, status::Ok);
        EXPECT_NE(stored.error.find(".wav"), std::string::npos) << stored.error;
        EXPECT_TRUE(dir.names().empty());
    }
    context.jpegCamera = false;
    context.base = dir.path() / "missing" / "Image";
    EXPECT_NE(storeRetrievedItem(receivedItem(3, 0, camsim::makeCardJpeg(1)), context).result,
              status::Ok);
    EXPECT_TRUE(dir.names().empty());
}

} // namespace
} // namespace kv::library
