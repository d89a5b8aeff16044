#include "camera/wave.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "library/retrieve_pictures.h"
#include "platform/atomic_file.h"
#include "support/scratch_dir.h"
#include "transfers/transfer_rig.h"

#include <filesystem>
#include <fstream>

namespace kv::library {
namespace {
namespace fs = std::filesystem;
using kv::testing::benchOptions;
using kv::testing::Rig;
using namespace std::chrono_literals;

Bytes readAll(const fs::path& p) {
    Bytes out;
    EXPECT_TRUE(platform::readWholeFile(p, out));
    return out;
}

RetrieveOptions optionsFor(const kv::testing::ScratchDir& dir) {
    RetrieveOptions options;
    options.base = dir / "Image";
    options.timing = kv::testing::fastTransferTiming();
    options.noticeTimeout = 60s;
    return options;
}

TEST(RetrievePictures, EveryPictureOfThePlainCameraBecomesAFile) {
    Rig rig;
    kv::testing::ScratchDir dir;
    std::ofstream(dir / "Image2.jpg") << "taken"; // numbers in use are skipped
    int progressCalls = 0;
    RetrieveOptions options = optionsFor(dir);
    options.progress = [&](const RetrieveProgress&) { ++progressCalls; };
    const RetrieveReport report = retrievePictures(*rig.link, options);
    EXPECT_TRUE(report.complete());
    EXPECT_FALSE(report.transferError);
    ASSERT_EQ(report.stored.size(), 4u);
    // Items: 1 note, 2 Best, 3 Standard, 4 note, 5 Cine, 6 uncompressed.
    EXPECT_EQ(dir.names(),
              (std::vector<std::string>{"Image2.jpg", "Image3.jpg", "Image3.wav", "Image4.jpg",
                                        "Image5.jpg", "Image5.wav", "Image6.kvi"}));
    for (const StoredItem& stored : report.stored) {
        if (stored.picture.extension() == ".jpg") {
            int width = 0, height = 0;
            EXPECT_EQ(imaging::ReadJpegSize(stored.picture, width, height), status::Ok);
            EXPECT_EQ(width, 960);
        }
    }
    EXPECT_TRUE(camera::isWaveFile(readAll(dir / "Image3.wav")));
    imaging::PictureAttributes info;
    ASSERT_EQ(imaging::ReadPictureFile(dir / "Image6.kvi", info), status::Ok);
    EXPECT_EQ(info.quality, 3);
    EXPECT_GT(progressCalls, 100); // the 1 MiB frame alone gives 128 steps
    EXPECT_EQ(report.progress.picturesDone, 4);
    // The flash is back and the background ping runs again.
    EXPECT_EQ(rig.commands("F0;1").size(), 1u);
    EXPECT_TRUE(rig.link->pingsAllowed());
    EXPECT_EQ(rig.link->requestStatus(), status::Ok);
}

TEST(RetrievePictures, CardCameraFilesAreStoredAsReceived) {
    Rig rig(benchOptions(camsim::CameraKind::MemoryCard, "2.03"));
    kv::testing::ScratchDir dir;
    const RetrieveReport report = retrievePictures(*rig.link, optionsFor(dir));
    EXPECT_TRUE(report.complete());
    const auto files = rig.store([](camsim::TransferStore& s) { return s.cardFiles; });
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"Image1.jpg", "Image1.wav", "Image2.jpg",
                                                     "Image3.jpg", "Image3.wav"}));
    EXPECT_EQ(readAll(dir / "Image1.jpg"), files[0].data);
    EXPECT_EQ(readAll(dir / "Image1.wav"), files[2].data);
    EXPECT_EQ(readAll(dir / "Image3.wav"), files[4].data);
}

// The second variant delivers JPEG pictures through the item commands: they are written as
// received, and its notes, already wave files, too. Programs we did not write open them.
TEST(RetrievePictures, SecondVariantPicturesAreJpegFilesAsReceived) {
    Rig rig(benchOptions(camsim::CameraKind::VariantB, "2.10"));
    kv::testing::ScratchDir dir;
    const RetrieveReport report = retrievePictures(*rig.link, optionsFor(dir));
    EXPECT_TRUE(report.complete());
    const auto items = rig.store([](camsim::TransferStore& s) { return s.items; });
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"Image2.jpg", "Image2.wav", "Image3.jpg"}));
    EXPECT_EQ(readAll(dir / "Image2.jpg"), items[1].data);
    EXPECT_EQ(readAll(dir / "Image2.wav"), items[0].data);
    if (fs::exists("/usr/bin/djpeg")) {
        const std::string command =
            "/usr/bin/djpeg -outfile /dev/null '" + (dir / "Image3.jpg").string() + "' 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
}

// With faults on the line every stored file is what the camera holds, or its picture is
// reported failed.
TEST(RetrievePictures, FaultyLineStoresNothingCorrupted) {
    Rig rig(benchOptions(camsim::CameraKind::MemoryCard, "3.01"));
    kv::testing::ScratchDir dir;
    rig.store([](camsim::TransferStore& s) {
        s.cardFiles.clear();
        for (int i = 1; i <= 3; ++i)
            s.cardFiles.push_back({"P" + std::to_string(i), "JPG",
                                   kv::testing::patternBytes(3000 + 1500 * i, i), std::nullopt});
    });
    const auto files = rig.store([](camsim::TransferStore& s) { return s.cardFiles; });
    camsim::FaultOptions faults;
    faults.seed = 11;
    faults.corruptRate = 1.0 / 3000;
    faults.dropRate = 1.0 / 80000;
    faults.stateByteRate = 0.005;
    rig.camera.setFaults(faults);
    const RetrieveReport report = retrievePictures(*rig.link, optionsFor(dir));
    EXPECT_EQ(report.stored.size() + report.failures.size() >= 1, true);
    for (const StoredItem& stored : report.stored) {
        if (stored.result != status::Ok)
            continue;
        const std::string stem = stored.picture.stem().string(); // "Image<n>"
        const int n = std::stoi(stem.substr(5));
        EXPECT_EQ(readAll(stored.picture), files[static_cast<std::size_t>(n - 1)].data) << stem;
    }
    EXPECT_EQ(static_cast<int>(report.stored.size() + report.failures.size()) >= 3 ||
                  report.cameraLost || report.listResult != status::Ok,
              true);
}

TEST(RetrievePictures, CablePulledKeepsWhatArrivedAndTheNextConnectWorks) {
    kv::testing::ScratchDir dir;
    {
        // Not wavelet streams: a JPEG camera (the second variant) keeps them as received.
        Rig rig(kv::testing::benchOptions(camsim::CameraKind::VariantB));
        rig.store([](camsim::TransferStore& s) {
            s.items = {kv::testing::pictureItem(5000, 0, 1), kv::testing::pictureItem(5000, 0, 2),
                       kv::testing::pictureItem(40000, 0, 3), kv::testing::pictureItem(5000, 0, 4)};
        });
        std::size_t sentBefore = rig.camera.bytesSent();
        camsim::FaultOptions faults;
        faults.pullCableAfter = 14000; // counted from now: inside the third picture
        rig.camera.setFaults(faults);
        (void)sentBefore;
        const RetrieveReport report = retrievePictures(*rig.link, optionsFor(dir));
        EXPECT_FALSE(report.complete());
        EXPECT_TRUE(report.cameraLost);
        EXPECT_FALSE(report.failures.empty());
        EXPECT_GE(report.stored.size(), 1u);
        for (const StoredItem& stored : report.stored)
            EXPECT_EQ(stored.result, status::Ok);
    } // the link and the camera go away without hanging
    for (const std::string& name : dir.names())
        EXPECT_NE(name.front(), '.') << name; // no temporary files left behind
    Rig again;
    EXPECT_TRUE(again.connected);
    kv::testing::ScratchDir dir2;
    EXPECT_TRUE(retrievePictures(*again.link, optionsFor(dir2)).complete());
}

TEST(RetrievePictures, ACancelEndsTheRetrievalBetweenBlocks) {
    Rig rig;
    kv::testing::ScratchDir dir;
    RetrieveOptions options = optionsFor(dir);
    int steps = 0;
    options.progress = [&](const RetrieveProgress& p) {
        steps = static_cast<int>(p.bytesReceived / 8192);
    };
    options.cancelled = [&] { return steps >= 3; };
    const RetrieveReport report = retrievePictures(*rig.link, options);
    EXPECT_TRUE(report.cancelled);
    EXPECT_LT(report.stored.size(), 4u);
    EXPECT_EQ(rig.link->requestStatus(), status::Ok);
}

} // namespace
} // namespace kv::library
