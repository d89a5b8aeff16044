// Faults of the picture files found in use: JPEG files the reader could not open, camera
// notes cut at a zero byte, large pictures refused instead of scaled, TIFF strips running past
// the file, capture times restamped on rewrites, manufacturing words written as "-1", bitmap
// allocations past the pixel limit and the encoder's scale.

#include "file_test_support.h"
#include "imaging/bitmap_reader.h"
#include "imaging/codec/wavelet_codec.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "imaging/tiff.h"

#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

using kv::Bytes;
using namespace kv::imaging;
using kvtest::ScratchDir;

void writePpm(const std::filesystem::path& p, const Bytes& rgb, int width, int height) {
    const std::string header =
        "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    Bytes file(header.begin(), header.end());
    file.insert(file.end(), rgb.begin(), rgb.end());
    kvtest::writeFile(p, file);
}

// The pixels of a binary PPM as djpeg writes it.
Bytes readPpmPixels(const std::filesystem::path& p) {
    const Bytes f = kvtest::readFile(p);
    std::size_t at = 0;
    for (int fields = 0; fields < 4 && at < f.size(); ++fields) {
        while (at < f.size() && std::isspace(f[at]))
            ++at;
        while (at < f.size() && !std::isspace(f[at]))
            ++at;
    }
    return Bytes(f.begin() + std::ptrdiff_t(std::min(at + 1, f.size())), f.end());
}

// A CMYK JPEG as Adobe's programs write it (inks stored inverted), every pixel `inverted`.
void writeCmykJpeg(const std::filesystem::path& p, int width, int height,
                   const std::uint8_t (&inverted)[4]) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    std::FILE* f = std::fopen(p.c_str(), "wb");
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    Bytes row(std::size_t(width) * 4);
    for (std::size_t i = 0; i < row.size(); ++i)
        row[i] = inverted[i % 4];
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

TEST_F(ScratchDir, EveryJpegTheLibraryDecodesIsRead) {
    if (!kvtest::toolPresent("cjpeg"))
        GTEST_SKIP() << "cjpeg is not installed";
    const Bytes source = kvtest::testPicture(960, 800);
    writePpm(path("src.ppm"), source, 960, 800);
    struct Row {
        const char* options;
        bool grey;
    } rows[] = {
        {"-progressive", false},
        {"-progressive -optimize -quality 95", false},
        {"-restart 1", false},
        {"-restart 3B -progressive", false},
        {"-grayscale", true},
        {"-grayscale -progressive", true},
        {"-sample 1x1 -progressive", false},
    };
    for (const Row& row : rows) {
        int status = 0;
        kvtest::runTool("cjpeg " + std::string(row.options) + " -outfile " +
                            kvtest::quoted(path("p.jpg")) + " " + kvtest::quoted(path("src.ppm")),
                        &status);
        ASSERT_EQ(status, 0) << row.options;
        kvtest::runTool("djpeg -rgb -pnm -outfile " + kvtest::quoted(path("d.ppm")) + " " +
                            kvtest::quoted(path("p.jpg")),
                        &status);
        ASSERT_EQ(status, 0) << row.options;
        Bytes full(960 * 800 * 3, 0);
        ASSERT_EQ(ReadJpeg(path("p.jpg"), full, 960, 800, false), kv::status::Ok) << row.options;
        EXPECT_EQ(full, readPpmPixels(path("d.ppm"))) << row.options << ": as djpeg reads it";
        Bytes thumb(120 * 100 * 3, 0);
        EXPECT_EQ(ReadJpeg(path("p.jpg"), thumb, 120, 100, false), kv::status::Ok) << row.options;
    }

    // CMYK, as stored by Adobe's programs: pure red and pure blue.
    struct Cmyk {
        std::uint8_t inverted[4];
        std::uint8_t rgb[3];
    } inks[] = {{{255, 0, 0, 255}, {255, 0, 0}}, {{0, 0, 255, 255}, {0, 0, 255}}};
    for (const Cmyk& ink : inks) {
        writeCmykJpeg(path("cmyk.jpg"), 64, 48, ink.inverted);
        Bytes box(64 * 48 * 3, 0);
        ASSERT_EQ(ReadJpeg(path("cmyk.jpg"), box, 64, 48, false), kv::status::Ok);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(box[std::size_t(32 * 24 * 3 + c)], ink.rgb[c], 6) << c;
    }
}

TEST_F(ScratchDir, CameraNotesAreStoredAndReadWhole) {
    const Bytes rgb = kvtest::testPicture(480, 400);
    struct Row {
        Bytes note;
    } rows[] = {
        {{0x03, 0x03, 'K', 0, 0, 'V', 0x04, 0x04}},
        {{0x03, 0x03, 0, 0x04, 0x04}},
        {{0x03, 0x03, 'n', 'o', 't', 'e', 0x04, 0x04}},
    };
    for (const Row& row : rows) {
        PictureAttributes a;
        ASSERT_EQ(StorePictureJpeg(rgb, path("n.jpg"), a, 0, row.note), kv::status::Ok);
        int w = 0;
        int h = 0;
        JpegMarkers m;
        ASSERT_EQ(ReadJpegSize(path("n.jpg"), w, h, &m), kv::status::Ok);
        EXPECT_EQ(m.note, std::string(row.note.begin(), row.note.end()) + "\r\n");
    }
}

TEST_F(ScratchDir, LargePicturesAreScaledNotRefused) {
    struct Row {
        int width, height, boxWidth, boxHeight;
    } rows[] = {
        {2000, 1536, 960, 800}, // within the pixel limit, wider than twice the box
        {2000, 1536, 120, 100}, // 1/8 is still more than twice the box
        {1920, 1600, 60, 50},   // the smallest output size
        {1536, 2000, 960, 800}, // portrait
    };
    for (const Row& row : rows) {
        const Bytes pixels = kvtest::testPicture(row.width, row.height);
        ASSERT_EQ(
            WriteJpeg(pixels, path("l.jpg"), row.width, row.height, 80, 0, 0, std::nullopt, 0),
            kv::status::Ok);
        Bytes box(std::size_t(row.boxWidth) * std::size_t(row.boxHeight) * 3, 0);
        JpegPlacement p;
        ASSERT_EQ(ReadJpeg(path("l.jpg"), box, row.boxWidth, row.boxHeight, true, nullptr, &p),
                  kv::status::Ok)
            << row.width << " into " << row.boxWidth;
        EXPECT_LE(p.x + p.width, row.boxWidth);
        EXPECT_LE(p.y + p.height, row.boxHeight);
        // It fills the box on one side, give or take the scaling's rounding.
        EXPECT_TRUE(p.width * 10 >= row.boxWidth * 6 || p.height * 10 >= row.boxHeight * 6)
            << p.width << " x " << p.height;
        // The left edge is dark in red, the right edge bright.
        const std::size_t mid = (std::size_t(p.y + p.height / 2) * std::size_t(row.boxWidth));
        EXPECT_LT(box[(mid + std::size_t(p.x)) * 3], 60);
        EXPECT_GT(box[(mid + std::size_t(p.x + p.width - 1)) * 3], 190);
    }
}

TEST_F(ScratchDir, TiffLastStripMatchesTheDataWritten) {
    struct Row {
        std::size_t bytes;
        bool planar;
        std::uint32_t pictureDataLength; // tag 514: the .kvi form's true length
        bool ok;
    } rows[] = {
        {1000, false, 0, false},   // short: the strip would run past the end of the file
        {30001, false, 0, false},  // longer than its strip
        {1000, true, 0, false},    // short strips of three planes
        {30000, false, 0, true},   // exact
        {1000, false, 1000, true}, // a .kvi picture's data, its length in tag 514
    };
    for (const Row& row : rows) {
        std::filesystem::remove(path("s.tif"));
        auto w = CreateTiff(path("s.tif"), 1, false);
        ASSERT_TRUE(w);
        IfdDescription d;
        d.width = 100;
        d.height = 100;
        d.photometric = 2;
        d.planarSeparate = row.planar;
        d.pictureDataLength = row.pictureDataLength;
        ASSERT_EQ(WriteIfd(*w, d), 0);
        ASSERT_TRUE(WriteData(*w, Bytes(row.bytes, 7)));
        EXPECT_EQ(CloseTiff(*w) == kv::status::Ok, row.ok) << row.bytes;
        EXPECT_EQ(std::filesystem::exists(path("s.tif")), row.ok) << row.bytes;
    }
}

TEST_F(ScratchDir, RewriteKeepsTheCaptureTime) {
    PictureAttributes info;
    info.quality = kQualityUncompressed;
    info.captureTime = 1000000000;
    const Bytes rgb = kvtest::testPicture(480, 400);
    ASSERT_EQ(StorePictureFile(info, path("r.kvi"), rgb), kv::status::Ok);
    // A record that does not know the time (read from elsewhere), rewritten twice.
    for (int i = 0; i < 2; ++i) {
        PictureAttributes record;
        record.path = path("r.kvi").string();
        record.rotation = static_cast<std::int16_t>(i + 1);
        ASSERT_EQ(RewritePictureFile(record), kv::status::Ok);
        EXPECT_EQ(record.captureTime, 1000000000u);
        PictureAttributes read;
        ASSERT_EQ(ReadPictureFile(path("r.kvi"), read), kv::status::Ok);
        EXPECT_EQ(read.captureTime, 1000000000u);
    }
}

// A little-endian TIFF of one 1 x 1 grey pixel whose manufacturing word is ASCII `text`.
Bytes tiffWithManufacturingText(const std::string& text) {
    Bytes f = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto u16 = [&f](unsigned v) {
        f.push_back(std::uint8_t(v));
        f.push_back(std::uint8_t(v >> 8));
    };
    auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    const std::uint32_t textAt = 8 + 2 + 5 * 12 + 4;
    u16(5);
    for (auto [tag, value] : {std::pair{256u, 1u}, {257u, 1u}, {273u, textAt + 32}, {279u, 1u}}) {
        u16(tag);
        u16(4);
        u32(1);
        u32(value);
    }
    u16(522);
    u16(2);
    u32(std::uint32_t(text.size() + 1));
    if (text.size() + 1 <= 4) { // inline
        Bytes field(text.begin(), text.end());
        field.resize(4, 0);
        f.insert(f.end(), field.begin(), field.end());
    } else {
        u32(textAt);
    }
    u32(0);
    f.insert(f.end(), text.begin(), text.end());
    f.resize(textAt + 33, 0);
    return f;
}

TEST(TiffManufacturingWord, DecimalTextReadsAsTheWord) {
    struct Row {
        const char* text;
        std::uint32_t word;
    } rows[] = {{"-1", 0xFFFFFFFFu},         {"-2", 0xFFFFFFFEu},          {"123456", 123456u},
                {"4294967295", 0xFFFFFFFFu}, {"99999999999", 0xFFFFFFFFu}, {"x", 0u}};
    for (const Row& row : rows) {
        auto r = OpenTiffBytes(tiffWithManufacturingText(row.text));
        ASSERT_TRUE(r) << row.text;
        EXPECT_EQ(r->ifd().manufacturingWord, row.word) << row.text;
    }
}

// A 1-bit bitmap's headers for the given size; the pixel bits follow (all zero).
Bytes oneBitBitmap(int width, int height) {
    const std::size_t stride = ((std::size_t(width) + 31) / 32) * 4;
    Bytes f(14 + 40 + 8 + stride * std::size_t(height), 0);
    auto put32 = [&f](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, std::uint32_t(f.size()));
    put32(10, 14 + 40 + 8);
    put32(14, 40);
    put32(18, std::uint32_t(width));
    put32(22, std::uint32_t(height));
    f[26] = 1;
    f[28] = 1;
    put32(58, 0x00FFFFFF); // colour 1: white
    return f;
}

TEST(BitmapPixelLimit, LargerBitmapsAreRefusedBeforeAllocating) {
    struct Row {
        int width, height;
        bool read;
    } rows[] = {{1920, 1600, true}, {1921, 1600, false}, {16384, 16384, false}};
    for (const Row& row : rows) {
        const RgbPicture picture = ReadBitmap(oneBitBitmap(row.width, row.height));
        EXPECT_EQ(picture.valid(), row.read) << row.width << " x " << row.height;
    }
}

TEST(EncodeScale, StreamCarriesTheScaleItQuantisedWith) {
    // A fractional scale is rounded before quantising, so it codes as the whole one does.
    Bytes streams[2];
    const double scales[2] = {10.6, 11.0};
    for (int i = 0; i < 2; ++i) {
        kv::codec::WaveletCodec codec;
        for (int c = 0; c < 3; ++c) {
            auto plane = codec.plane(c);
            for (std::size_t v = 0; v < plane.size(); ++v)
                plane[v] = float((v * 37 + std::size_t(c) * 11) % 97) - 48.0f;
        }
        streams[i] = codec.EncodePicture({0, 0, 0}, {scales[i], scales[i], scales[i]});
    }
    EXPECT_EQ(streams[0], streams[1]);
}

} // namespace
