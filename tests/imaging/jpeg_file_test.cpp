#include "file_test_support.h"
#include "imaging/enlarge.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <sstream>

namespace {

using namespace kv::imaging;
using kv::Bytes;
using kvtest::ScratchDir;

// The payloads of a JPEG file's APP1 segments, in order (scanning markers up to the scan).
std::vector<std::string> app1Payloads(const Bytes& f) {
    std::vector<std::string> out;
    std::size_t at = 2;
    while (at + 4 <= f.size() && f[at] == 0xFF) {
        const std::uint8_t marker = f[at + 1];
        const std::size_t length = kv::loadBe16(f, at + 2);
        if (marker == 0xE1)
            out.emplace_back(f.begin() + at + 4, f.begin() + at + 2 + length);
        if (marker == 0xDA)
            break;
        at += 2 + length;
    }
    return out;
}

// A grey-scale (one component) JPEG, which the reader converts to RGB.
void writeGreyJpeg(const std::filesystem::path& p, int width, int height) {
    std::FILE* f = std::fopen(p.c_str(), "wb");
    ASSERT_TRUE(f);
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = static_cast<JDIMENSION>(width);
    c.image_height = static_cast<JDIMENSION>(height);
    c.input_components = 1;
    c.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width), 128);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

TEST_F(ScratchDir, CameraMarkersRoundTripInTheirOrder) {
    const Bytes pixels = kvtest::testPicture(64, 48);
    const std::string note = "\x03\x03 camera note \x04\x04";
    ASSERT_EQ(WriteJpeg(pixels, path("a.jpg"), 64, 48, 90, 5, 1, note, 2), kv::status::Ok);
    const Bytes f = kvtest::readFile(path("a.jpg"));
    EXPECT_EQ(app1Payloads(f), (std::vector<std::string>{
                                   "KVI Exposure Index: 5", "KVI Flash: 1", "KVI JPEG Quality: 90",
                                   "KVI Wavelet Compression: 2", "REZ_IZIDU: " + note}));
    int w = 0;
    int h = 0;
    JpegMarkers m;
    ASSERT_EQ(ReadJpegSize(path("a.jpg"), w, h, &m), kv::status::Ok);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
    EXPECT_EQ(m.quality, 90);
    EXPECT_EQ(m.exposureIndex, 5);
    EXPECT_EQ(m.flash, 1);
    EXPECT_EQ(m.waveletCompression, 2);
    EXPECT_EQ(m.note, note + "\r\n");

    // No wavelet compression: four markers. No note: none at all, and the reader gives zeros.
    ASSERT_EQ(WriteJpeg(pixels, path("b.jpg"), 64, 48, 75, 3, 0, note, 0), kv::status::Ok);
    EXPECT_EQ(app1Payloads(kvtest::readFile(path("b.jpg"))).size(), 4u);
    ASSERT_EQ(WriteJpeg(pixels, path("c.jpg"), 64, 48, 75, 3, 1, std::nullopt, 4), kv::status::Ok);
    EXPECT_TRUE(app1Payloads(kvtest::readFile(path("c.jpg"))).empty());
    JpegMarkers none;
    Bytes box(64 * 48 * 3);
    ASSERT_EQ(ReadJpeg(path("c.jpg"), box, 64, 48, false, &none), kv::status::Ok);
    EXPECT_EQ(none.quality, 0);
    EXPECT_EQ(none.exposureIndex, 0);
    EXPECT_EQ(none.flash, 0);
    EXPECT_EQ(none.waveletCompression, 0);
    EXPECT_TRUE(none.note.empty());
}

TEST_F(ScratchDir, LongNotesAreCutToTheMarkerAndNoteBuffers) {
    const Bytes pixels = kvtest::testPicture(16, 16);
    const std::string note(20000, 'n');
    ASSERT_EQ(WriteJpeg(pixels, path("n.jpg"), 16, 16, 90, 1, 1, note, 0), kv::status::Ok);
    const auto payloads = app1Payloads(kvtest::readFile(path("n.jpg")));
    ASSERT_EQ(payloads.size(), 4u);
    EXPECT_EQ(payloads.back().size(), kJpegMarkerTextBytes - 1);
    int w = 0;
    int h = 0;
    JpegMarkers m;
    ASSERT_EQ(ReadJpegSize(path("n.jpg"), w, h, &m), kv::status::Ok);
    EXPECT_EQ(m.note.size(), kJpegNoteBufferBytes - 1);
    EXPECT_EQ(m.note, std::string(kJpegNoteBufferBytes - 1, 'n'));

    // Zero bytes are part of the note.
    ASSERT_EQ(WriteJpeg(pixels, path("z.jpg"), 16, 16, 90, 1, 1, std::string("ab\0cd", 5), 0),
              kv::status::Ok);
    EXPECT_EQ(app1Payloads(kvtest::readFile(path("z.jpg"))).back(),
              std::string("REZ_IZIDU: ab\0cd", 16));
}

TEST(HandleApp1Text, ReadsEachKindOfText) {
    struct Case {
        std::string text;
        int quality, exposure, flash, wavelet;
        std::string note;
    };
    const std::vector<Case> cases = {
        {"KVI JPEG Quality: 75", 75, 0, 0, 0, ""},
        {"KVI Exposure Index: 11", 0, 11, 0, 0, ""},
        {"KVI Exposure Index: -1", 0, -1, 0, 0, ""},
        {"KVI Flash: 2", 0, 0, 2, 0, ""},
        {"KVI Wavelet Compression: 1", 0, 0, 0, 1, ""},
        {"REZ_IZIDU: hello", 0, 0, 0, 0, "hello\r\n"},
        {"REZ_IZIDU:", 0, 0, 0, 0, "\r\n"},
        {"Exif", 0, 0, 0, 0, ""},
        {"KVI Flash:x", 0, 0, 0, 0, ""},
        {"KVI JPEG Quality: 99999999999999999999", 2147483647, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        JpegMarkers m;
        HandleApp1Text(c.text, m);
        EXPECT_EQ(m.quality, c.quality) << c.text;
        EXPECT_EQ(m.exposureIndex, c.exposure) << c.text;
        EXPECT_EQ(m.flash, c.flash) << c.text;
        EXPECT_EQ(m.waveletCompression, c.wavelet) << c.text;
        EXPECT_EQ(m.note, c.note) << c.text;
    }
    JpegMarkers m;
    HandleApp1Text("REZ_IZIDU: a", m);
    HandleApp1Text("REZ_IZIDU: b", m);
    EXPECT_EQ(m.note, "a\r\nb\r\n");
}

TEST_F(ScratchDir, ReadingIntoABoxUsesDctScalingPlacementAndHalving) {
    struct Case {
        int width, height, boxWidth, boxHeight;
        bool centre;
        int denominator;
        bool halved;
        int x, y, placedWidth, placedHeight;
    };
    const std::vector<Case> cases = {
        {960, 800, 120, 100, false, 8, false, 0, 0, 120, 100},    // thumbnail box: 1/8
        {480, 400, 120, 120, true, 4, false, 0, 10, 120, 100},    // centred vertically
        {480, 400, 960, 800, true, 1, false, 240, 200, 480, 400}, // full-size box: no scaling
        {1920, 1600, 960, 800, false, 1, true, 0, 0, 960, 800},   // full size, halved
        {1920, 1600, 120, 100, false, 8, true, 0, 0, 120, 100},   // 1/8 and halved
        {250, 200, 120, 100, false, 4, false, 0, 0, 63, 50},      // 1/2 is 125 wide: 1/4
    };
    for (const Case& c : cases) {
        const Bytes pixels = kvtest::testPicture(c.width, c.height);
        ASSERT_EQ(WriteJpeg(pixels, path("s.jpg"), c.width, c.height, 90, 0, 0, std::nullopt, 0),
                  kv::status::Ok);
        Bytes box(std::size_t(c.boxWidth) * std::size_t(c.boxHeight) * 3, 0xAB);
        JpegPlacement p;
        ASSERT_EQ(ReadJpeg(path("s.jpg"), box, c.boxWidth, c.boxHeight, c.centre, nullptr, &p),
                  kv::status::Ok)
            << c.width;
        EXPECT_EQ(p.scaleDenominator, c.denominator) << c.width << " into " << c.boxWidth;
        EXPECT_EQ(p.halved, c.halved) << c.width << " into " << c.boxWidth;
        EXPECT_EQ(p.x, c.x);
        EXPECT_EQ(p.y, c.y);
        EXPECT_EQ(p.width, c.placedWidth);
        EXPECT_EQ(p.height, c.placedHeight);
        // Outside the placed picture the box is untouched; inside, the picture's colours are
        // close to the source's at the matching place.
        if (c.y > 0) {
            EXPECT_EQ(box[0], 0xAB);
        }
        const int sx = c.placedWidth / 2;
        const int sy = c.placedHeight / 2;
        const std::uint8_t* got =
            &box[((std::size_t(c.y) + std::size_t(sy)) * std::size_t(c.boxWidth) +
                  std::size_t(c.x) + std::size_t(sx)) *
                 3];
        const std::size_t srcX = std::size_t(sx) * std::size_t(c.width) / std::size_t(p.width);
        const std::size_t srcY = std::size_t(sy) * std::size_t(c.height) / std::size_t(p.height);
        const std::uint8_t* want = &pixels[(srcY * std::size_t(c.width) + srcX) * 3];
        EXPECT_NEAR(got[0], want[0], 12) << c.width << " into " << c.boxWidth;
        EXPECT_NEAR(got[1], want[1], 12) << c.width << " into " << c.boxWidth;
    }
}

TEST_F(ScratchDir, RefusedPicturesLeaveTheBoxUntouched) {
    const Bytes big = kvtest::testPicture(2048, 1504); // 3080192 pixels
    ASSERT_EQ(WriteJpeg(big, path("big.jpg"), 2048, 1504, 50, 0, 0, std::nullopt, 0),
              kv::status::Ok);
    const Bytes large = kvtest::testPicture(1920, 1600);
    ASSERT_EQ(WriteJpeg(large, path("large.jpg"), 1920, 1600, 50, 0, 0, std::nullopt, 0),
              kv::status::Ok);
    // Grey pictures and pictures that only fit after more than halving are read now (see
    // picture_faults_test.cpp).
    kvtest::writeFile(path("junk.jpg"), Bytes(1000, 0x42));
    struct Case {
        const char* name;
        int boxWidth, boxHeight;
    };
    for (const Case c :
         {Case{"big.jpg", 960, 800}, Case{"junk.jpg", 120, 100}, Case{"missing.jpg", 120, 100}}) {
        Bytes box(std::size_t(c.boxWidth) * std::size_t(c.boxHeight) * 3, 0x5A);
        EXPECT_EQ(ReadJpeg(path(c.name), box, c.boxWidth, c.boxHeight, true), kv::status::Failed)
            << c.name;
        EXPECT_EQ(box, Bytes(box.size(), 0x5A)) << c.name;
    }
    Bytes tooSmall(10);
    EXPECT_EQ(ReadJpeg(path("large.jpg"), tooSmall, 120, 100, false), kv::status::Failed);
    writeGreyJpeg(path("grey.jpg"), 64, 48);
    Bytes grey(120 * 100 * 3, 0);
    ASSERT_EQ(ReadJpeg(path("grey.jpg"), grey, 120, 100, false), kv::status::Ok);
    EXPECT_TRUE(grey[0] == grey[1] && grey[1] == grey[2]);
}

TEST_F(ScratchDir, EveryTruncationOfAJpegReadsSafely) {
    const Bytes pixels = kvtest::testPicture(48, 40);
    ASSERT_EQ(WriteJpeg(pixels, path("t.jpg"), 48, 40, 90, 5, 1, std::string("note"), 2),
              kv::status::Ok);
    const Bytes f = kvtest::readFile(path("t.jpg"));
    Bytes box(48 * 40 * 3);
    for (std::size_t n = 0; n <= f.size(); ++n) {
        JpegMarkers m;
        (void)ReadJpegBytes(kv::ByteSpan(f).first(n), box, 48, 40, false, &m);
        int w = 0;
        int h = 0;
        int comps = 0;
        (void)ReadJpegHeaderBytes(kv::ByteSpan(f).first(n), w, h, comps, &m);
        EXPECT_LE(m.note.size(), kJpegNoteBufferBytes - 1);
    }
}

TEST_F(ScratchDir, FailedWriteKeepsTheEarlierFile) {
    kvtest::writeFile(path("keep.jpg"), Bytes{1, 2, 3});
    EXPECT_EQ(WriteJpeg(Bytes(10), path("keep.jpg"), 64, 48, 90, 0, 0, std::nullopt, 0),
              kv::status::Failed);
    EXPECT_EQ(kvtest::readFile(path("keep.jpg")), (Bytes{1, 2, 3}));
    EXPECT_EQ(WriteJpeg(Bytes(300), path("no/dir/x.jpg"), 10, 10, 90, 0, 0, std::nullopt, 0),
              kv::status::Failed);
}

TEST_F(ScratchDir, WaveletPicturesAreStoredEnlargedAndWhiteBalanced) {
    // A picture with a dim red channel: white balance must lift red to the other channels.
    Bytes rgb = kvtest::testPicture(480, 400);
    for (std::size_t i = 0; i < rgb.size(); i += 3)
        rgb[i] = static_cast<std::uint8_t>(rgb[i] / 2);
    PictureAttributes a;
    a.exposureIndex = 4;
    a.flash = 0;
    const Bytes note = {0x03, 0x03, 'K', 'V', 'Q', 0, 0x04, 0x04};
    ASSERT_EQ(StorePictureJpeg(rgb, path("w.jpg"), a, 1, note), kv::status::Ok);
    int w = 0;
    int h = 0;
    JpegMarkers m;
    ASSERT_EQ(ReadJpegSize(path("w.jpg"), w, h, &m), kv::status::Ok);
    EXPECT_EQ(w, 960);
    EXPECT_EQ(h, 800);
    EXPECT_EQ(m.quality, 90);
    EXPECT_EQ(m.exposureIndex, 4);
    EXPECT_EQ(m.flash, 0);
    EXPECT_EQ(m.waveletCompression, 1);
    EXPECT_EQ(m.note, std::string("\x03\x03KVQ\0\x04\x04\r\n", 10)); // whole, zero included
    Bytes full(960 * 800 * 3);
    ASSERT_EQ(ReadJpeg(path("w.jpg"), full, 960, 800, false), kv::status::Ok);
    int brightest = 0;
    for (std::size_t i = 0; i < full.size(); i += 3)
        brightest = std::max<int>(brightest, full[i]);
    EXPECT_GT(brightest, 200);
}

TEST(EnlargeTwice, KeepsOriginalsAndInterpolatesWithClamping) {
    // One row of four pixels, every channel the same line of samples.
    const std::vector<int> line = {0, 0, 255, 255};
    Bytes rgb;
    for (int v : line)
        rgb.insert(rgb.end(), 3, static_cast<std::uint8_t>(v));
    const Bytes big = EnlargeTwice(rgb, 4, 1);
    ASSERT_EQ(big.size(), 8u * 2u * 3u);
    // Between 0 and 0 with 0 before and 255 after: (0 - 255 + 8) / 16 < 0 -> 0.
    // Between 0 and 255: (9 * 255 - (0 + 255) + 8) / 16 = 128.
    // Between 255 and 255 with 0 before: (9 * 510 - 255 + 8) / 16 = 271 -> 255.
    const std::vector<int> want = {0, 0, 0, 128, 255, 255, 255, 255};
    for (int row = 0; row < 2; ++row) {
        for (int x = 0; x < 8; ++x) {
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(big[(std::size_t(row) * 8 + std::size_t(x)) * 3 + std::size_t(c)],
                          want[std::size_t(x)])
                    << "row " << row << " x " << x;
        }
    }
    // Every position against the formula with edge samples repeated.
    const int n = 11;
    Bytes noisy(std::size_t(n) * 3);
    for (std::size_t i = 0; i < noisy.size(); ++i)
        noisy[i] = static_cast<std::uint8_t>((i * 97 + 13) % 256);
    const Bytes wide = EnlargeTwice(noisy, n, 1);
    auto s = [&noisy](int i, int c) {
        return int(noisy[std::size_t(std::clamp(i, 0, n - 1)) * 3 + std::size_t(c)]);
    };
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c) {
            const int mid = std::clamp(
                (9 * (s(i, c) + s(i + 1, c)) - (s(i - 1, c) + s(i + 2, c)) + 8) / 16, 0, 255);
            EXPECT_EQ(wide[std::size_t(2 * i) * 3 + std::size_t(c)], s(i, c));
            EXPECT_EQ(wide[std::size_t(2 * i + 1) * 3 + std::size_t(c)], mid) << i;
        }
    }
    const Bytes flat(5 * 7 * 3, 77);
    EXPECT_EQ(EnlargeTwice(flat, 5, 7), Bytes(10 * 14 * 3, 77));
    EXPECT_TRUE(EnlargeTwice(Bytes(5), 4, 4).empty());
}

// --- Independent readers ---------------------------------------------------------------------

// The bytes of each APP1 segment from exiftool's verbose hex dump.
std::vector<std::string> exiftoolApp1(const std::string& dump) {
    std::vector<std::string> out;
    std::istringstream in(dump);
    std::string line;
    bool inApp1 = false;
    while (std::getline(in, line)) {
        if (line.rfind("JPEG APP1", 0) == 0) {
            out.emplace_back();
            inApp1 = true;
            continue;
        }
        if (line.rfind("JPEG ", 0) == 0) {
            inApp1 = false;
            continue;
        }
        const auto colon = line.find(": ");
        if (!inApp1 || colon == std::string::npos || line.find('[') == std::string::npos)
            continue;
        std::istringstream hex(line.substr(colon + 2, line.find('[') - colon - 2));
        std::string byte;
        while (hex >> byte)
            out.back().push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
    }
    return out;
}

TEST_F(ScratchDir, DjpegDecodesOurFilesAndExiftoolReadsTheTexts) {
    if (!kvtest::toolPresent("djpeg") || !kvtest::toolPresent("exiftool"))
        GTEST_SKIP() << "djpeg or exiftool not installed";
    const Bytes pixels = kvtest::testPicture(96, 80);
    ASSERT_EQ(WriteJpeg(pixels, path("x.jpg"), 96, 80, 90, 6, 1, std::string("a note"), 1),
              kv::status::Ok);
    int rc = 0;
    const std::string ppm = kvtest::runTool(
        "djpeg -pnm " + kvtest::quoted(path("x.jpg")) + " > " + kvtest::quoted(path("x.ppm")), &rc);
    EXPECT_EQ(rc, 0) << ppm;
    const Bytes decoded = kvtest::readFile(path("x.ppm"));
    const std::string head = "P6\n96 80\n255\n";
    ASSERT_GE(decoded.size(), head.size() + pixels.size());
    EXPECT_EQ(std::string(decoded.begin(), decoded.begin() + head.size()), head);
    // djpeg's pixels agree with ours.
    Bytes ours(pixels.size());
    ASSERT_EQ(ReadJpeg(path("x.jpg"), ours, 96, 80, false), kv::status::Ok);
    EXPECT_TRUE(std::equal(ours.begin(), ours.end(), decoded.begin() + head.size()));

    const std::string dump = kvtest::runTool("exiftool -v3 " + kvtest::quoted(path("x.jpg")), &rc);
    EXPECT_EQ(rc, 0) << dump;
    EXPECT_EQ(
        exiftoolApp1(dump),
        (std::vector<std::string>{"KVI Exposure Index: 6", "KVI Flash: 1", "KVI JPEG Quality: 90",
                                  "KVI Wavelet Compression: 1", "REZ_IZIDU: a note"}))
        << dump;
}

} // namespace
