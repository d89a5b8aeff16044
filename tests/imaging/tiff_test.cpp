#include "file_test_support.h"
#include "imaging/tiff.h"
#include "imaging/tiff_forms.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>

namespace {

using namespace kv::imaging;
using kv::Bytes;
using kvtest::ScratchDir;

struct RawEntry {
    std::uint16_t type;
    std::uint32_t count;
    std::uint32_t value;
};

// The first IFD's entries as they stand in a little-endian file, by tag.
std::map<std::uint16_t, RawEntry> rawEntries(const Bytes& file, std::uint32_t ifd = 8) {
    std::map<std::uint16_t, RawEntry> m;
    const std::uint16_t n = kv::loadLe16(file, ifd);
    for (std::uint16_t i = 0; i < n; ++i) {
        const std::size_t at = ifd + 2 + 12 * i;
        m[kv::loadLe16(file, at)] = {kv::loadLe16(file, at + 2), kv::loadLe32(file, at + 4),
                                     kv::loadLe32(file, at + 8)};
    }
    return m;
}

IfdDescription fullDescription() {
    IfdDescription d;
    d.subfileType = 1;
    d.width = 10;
    d.height = 6;
    d.pictureDataLength = 1234;
    d.orientation = 8;
    d.photometric = 2;
    d.description = "a description";
    d.privateData = {1, 2, 3, 4, 5, 6, 7};
    d.soundClip = {9, 8, 7};
    d.quality = 3;
    d.flash = 0;
    d.exposureIndex = 11;
    d.cameraId = "CAM-000123";
    d.manufacturingWord = 0x41000123;
    d.whiteBalance = {{200, 190, 180}, 7, 1};
    d.compression = 1;
    d.software = "Korvane - Korvane Mini";
    d.time = 946771200 + 3600 * 12; // early January 2000
    return d;
}

TEST_F(ScratchDir, RoundTripKeepsEveryFieldAndLaysOutValuesEvenly) {
    const IfdDescription d = fullDescription();
    const Bytes data = kvtest::testPicture(10, 6);
    auto w = CreateTiff(path("a.tif"), 1, false);
    ASSERT_TRUE(w);
    ASSERT_EQ(WriteIfd(*w, d), 0);
    ASSERT_TRUE(WriteData(*w, data));
    ASSERT_EQ(CloseTiff(*w), kv::status::Ok);

    const Bytes file = kvtest::readFile(path("a.tif"));
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(file[0], 'I');
    EXPECT_EQ(kv::loadLe16(file, 2), 42);
    EXPECT_EQ(kv::loadLe32(file, 4), 8u);

    // Entries in ascending tag order; out-of-line values at even offsets; the strip follows the
    // last value and ends the file.
    const std::uint16_t n = kv::loadLe16(file, 8);
    std::uint16_t last = 0;
    for (std::uint16_t i = 0; i < n; ++i) {
        const std::size_t at = 10 + 12 * i;
        const std::uint16_t tag = kv::loadLe16(file, at);
        EXPECT_LT(last, tag);
        last = tag;
    }
    const auto e = rawEntries(file);
    for (auto [tag, entry] : e) {
        const std::size_t size = entry.type == 3   ? 2
                                 : entry.type == 4 ? 4
                                 : entry.type == 5 ? 8
                                                   : 1;
        if (size * entry.count > 4) {
            EXPECT_EQ(entry.value % 2, 0u) << "tag " << tag;
        }
    }
    EXPECT_EQ(e.at(tifftag::StripOffsets).value + data.size(), file.size());
    EXPECT_EQ(kv::loadLe32(file, 10 + 12 * n), 0u); // the only IFD: next offset 0

    auto r = OpenTiff(path("a.tif"));
    ASSERT_TRUE(r);
    const IfdDescription& g = r->ifd();
    EXPECT_EQ(g.subfileType, d.subfileType);
    EXPECT_EQ(g.width, d.width);
    EXPECT_EQ(g.height, d.height);
    EXPECT_EQ(g.pictureDataLength, d.pictureDataLength);
    EXPECT_EQ(g.orientation, d.orientation);
    EXPECT_EQ(g.photometric, d.photometric);
    EXPECT_EQ(g.samplesPerPixel, 3);
    EXPECT_EQ(g.bitsPerSampleValues, (std::vector<std::uint16_t>{8, 8, 8}));
    EXPECT_EQ(g.description, d.description);
    EXPECT_EQ(g.privateData, d.privateData);
    EXPECT_EQ(g.soundClip, d.soundClip);
    EXPECT_EQ(g.quality, d.quality);
    EXPECT_EQ(g.flash, d.flash);
    EXPECT_EQ(g.exposureIndex, d.exposureIndex);
    EXPECT_EQ(g.cameraId, d.cameraId);
    EXPECT_EQ(g.manufacturingWord, d.manufacturingWord);
    EXPECT_EQ(g.whiteBalance, d.whiteBalance);
    EXPECT_EQ(g.software, d.software);
    EXPECT_EQ(g.time, d.time);
    EXPECT_EQ(g.resolutionUnit, 2);
    EXPECT_EQ(g.xResolution, std::make_pair(720000u, 10000u));
    EXPECT_EQ(g.yResolution, std::make_pair(720000u, 10000u));

    Bytes back(data.size());
    std::uint32_t count = static_cast<std::uint32_t>(back.size());
    std::uint32_t position = 0;
    ASSERT_EQ(ReadData(*r, 0, back.data(), count, position), kv::status::Ok);
    EXPECT_EQ(count, data.size());
    EXPECT_EQ(position, data.size());
    EXPECT_EQ(back, data);
}

TEST_F(ScratchDir, AsciiOfUpToFourCharactersStandsInlineWithoutItsZero) {
    struct Case {
        std::string text;
        std::uint32_t count;
        bool inlineValue;
    };
    for (const Case& c : {Case{"A", 1, true}, Case{"ABCD", 4, true}, Case{"ABCDE", 6, false},
                          Case{"ABCDEFGHIJ", 11, false}}) {
        IfdDescription d;
        d.width = 2;
        d.height = 2;
        d.cameraId = c.text;
        auto w = CreateTiff(path("t.tif"), 1, false);
        ASSERT_EQ(WriteIfd(*w, d), 0);
        WriteData(*w, Bytes(4, 0));
        ASSERT_EQ(CloseTiff(*w), kv::status::Ok);
        const Bytes file = kvtest::readFile(path("t.tif"));
        const RawEntry e = rawEntries(file).at(tifftag::CameraIdText);
        EXPECT_EQ(e.type, kTiffAscii) << c.text;
        EXPECT_EQ(e.count, c.count) << c.text;
        if (c.inlineValue) {
            for (std::size_t i = 0; i < 4; ++i) {
                const std::uint8_t expected = i < c.text.size() ? std::uint8_t(c.text[i]) : 0;
                EXPECT_EQ((e.value >> (8 * i)) & 0xFF, expected) << c.text;
            }
        } else {
            EXPECT_EQ(file[e.value + c.text.size()], 0) << c.text;
        }
        auto r = OpenTiff(path("t.tif"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ifd().cameraId, c.text);
    }
}

TEST_F(ScratchDir, BitsPerSampleInlineForOneSampleAndAnArrayForMore) {
    struct Case {
        std::uint16_t photometric;
        std::uint32_t samples;
    };
    for (const Case c : {Case{1, 1}, Case{2, 3}, Case{5, 4}}) {
        IfdDescription d;
        d.width = 3;
        d.height = 1;
        d.photometric = c.photometric;
        d.bitsPerSample = 16;
        auto w = CreateTiff(path("b.tif"), 1, false);
        ASSERT_EQ(WriteIfd(*w, d), 0);
        WriteData(*w, Bytes(nominalDataBytes(d), 1));
        ASSERT_EQ(CloseTiff(*w), kv::status::Ok);
        const Bytes file = kvtest::readFile(path("b.tif"));
        const auto e = rawEntries(file);
        const RawEntry bits = e.at(tifftag::BitsPerSample);
        EXPECT_EQ(bits.count, c.samples);
        EXPECT_EQ(e.at(tifftag::SamplesPerPixel).value, c.samples);
        if (c.samples == 1) {
            EXPECT_EQ(bits.value, 16u);
        } else {
            for (std::uint32_t s = 0; s < c.samples; ++s)
                EXPECT_EQ(kv::loadLe16(file, bits.value + 2 * s), 16);
        }
        EXPECT_EQ(e.at(tifftag::StripByteCounts).value, 3u * 2u * c.samples);
    }
}

TEST_F(ScratchDir, ResolutionIs72DpiOrDotsPerCentimetreFromThePhysicalWidth) {
    struct Case {
        double physicalWidth;
        std::uint32_t numerator;
        std::uint16_t unit;
    };
    for (const Case c :
         {Case{0, 720000, 2}, Case{-1, 720000, 2}, Case{2.0, 500000, 3}, Case{3.0, 333333, 3}}) {
        IfdDescription d;
        d.width = 100;
        d.height = 1;
        d.physicalWidth = c.physicalWidth;
        auto w = CreateTiff(path("r.tif"), 1, false);
        ASSERT_EQ(WriteIfd(*w, d), 0);
        WriteData(*w, Bytes(100, 0));
        ASSERT_EQ(CloseTiff(*w), kv::status::Ok);
        auto r = OpenTiff(path("r.tif"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ifd().resolutionUnit, c.unit);
        EXPECT_EQ(r->ifd().xResolution, std::make_pair(c.numerator, 10000u));
        EXPECT_EQ(r->ifd().yResolution, std::make_pair(c.numerator, 10000u));
    }
}

TEST_F(ScratchDir, NextIfdOffsetIsPlannedAndShortDataIsPadded) {
    IfdDescription a;
    a.width = 4;
    a.height = 3;
    a.subfileType = 1;
    a.photometric = 2;
    IfdDescription b = a;
    b.subfileType = 0;
    b.width = 5;

    auto w = CreateTiff(path("m.tif"), 2, true);
    ASSERT_EQ(WriteIfd(*w, a), 0);
    ASSERT_TRUE(WriteData(*w, Bytes(20, 7))); // nominal 36: the rest is padded
    ASSERT_EQ(WriteIfd(*w, b), 0);
    ASSERT_TRUE(WriteData(*w, Bytes(45, 9)));
    ASSERT_EQ(CloseTiff(*w), kv::status::Ok);

    const Bytes file = kvtest::readFile(path("m.tif"));
    EXPECT_EQ(kv::loadLe16(file, 2), kKviVersion);
    const auto e0 = rawEntries(file);
    const std::uint16_t n0 = kv::loadLe16(file, 8);
    const std::uint32_t next = kv::loadLe32(file, 10 + 12 * n0);
    EXPECT_EQ(next, e0.at(tifftag::StripOffsets).value + 36);
    EXPECT_EQ(kv::loadLe32(file, next + 2 + 12 * kv::loadLe16(file, next)), 0u);

    auto r = OpenTiff(path("m.tif"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ifd().width, 4u);
    ASSERT_EQ(NextIfd(*r), kv::status::Ok);
    EXPECT_EQ(r->ifd().width, 5u);
    EXPECT_EQ(r->ifd().subfileType, 0u);
    EXPECT_NE(NextIfd(*r), kv::status::Ok);
}

TEST_F(ScratchDir, DataLongerThanNominalOrMissingIfdsFailAndKeepTheOldFile) {
    kvtest::writeFile(path("keep.tif"), Bytes{'o', 'l', 'd'});
    IfdDescription a;
    a.width = 2;
    a.height = 2;
    {
        auto w = CreateTiff(path("keep.tif"), 2, false);
        ASSERT_EQ(WriteIfd(*w, a), 0);
        WriteData(*w, Bytes(5, 0)); // nominal 4
        EXPECT_EQ(WriteIfd(*w, a), -1);
        EXPECT_NE(CloseTiff(*w), kv::status::Ok);
    }
    {
        auto w = CreateTiff(path("keep.tif"), 2, false);
        ASSERT_EQ(WriteIfd(*w, a), 0);
        WriteData(*w, Bytes(4, 0));
        EXPECT_NE(CloseTiff(*w), kv::status::Ok); // one IFD of two
    }
    {
        auto w = CreateTiff(path("keep.tif"), 1, false);
        ASSERT_EQ(WriteIfd(*w, a), 0);
        EXPECT_EQ(WriteIfd(*w, a), -1); // more than announced
        EXPECT_NE(CloseTiff(*w), kv::status::Ok);
    }
    EXPECT_EQ(kvtest::readFile(path("keep.tif")), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(CreateTiff(path("no/such/dir/x.tif"), 1, false));
}

TEST_F(ScratchDir, SeparatePlanesAndTilesReadAcrossPiecesAndPlanes) {
    const std::uint32_t width = 6;
    const std::uint32_t height = 4;
    Bytes planes(width * height * 3);
    for (std::size_t i = 0; i < planes.size(); ++i)
        planes[i] = static_cast<std::uint8_t>(i * 7 + 1);

    for (const bool tiled : {false, true}) {
        IfdDescription d;
        d.width = width;
        d.height = height;
        d.photometric = 2;
        d.planarSeparate = true;
        d.tiled = tiled;
        d.rowsPerStrip = tiled ? 2 : 0; // two tiles per plane
        auto w = CreateTiff(path("p.tif"), 1, false);
        ASSERT_EQ(WriteIfd(*w, d), 0);
        ASSERT_TRUE(WriteData(*w, planes));
        ASSERT_EQ(CloseTiff(*w), kv::status::Ok);

        auto r = OpenTiff(path("p.tif"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->ifd().planarConfiguration, 2);
        EXPECT_EQ(r->strips(0).size(), tiled ? 2u : 1u);
        for (int plane = 0; plane < 3; ++plane) {
            // Read in odd-sized pieces so that reads cross tile boundaries.
            Bytes got;
            std::uint32_t position = 0;
            while (got.size() < width * height) {
                Bytes piece(5);
                std::uint32_t count = 5;
                ASSERT_EQ(ReadData(*r, plane, piece.data(), count, position), kv::status::Ok);
                ASSERT_GT(count, 0u);
                got.insert(got.end(), piece.begin(), piece.begin() + count);
            }
            got.resize(width * height);
            const Bytes want(planes.begin() + plane * width * height,
                             planes.begin() + (plane + 1) * width * height);
            EXPECT_EQ(got, want) << "tiled " << tiled << " plane " << plane;
            std::uint32_t count = 1;
            Bytes one(1);
            EXPECT_NE(ReadData(*r, plane, one.data(), count, position), kv::status::Ok);
        }
        std::uint32_t count = 1;
        std::uint32_t position = 0;
        Bytes one(1);
        EXPECT_NE(ReadData(*r, 3, one.data(), count, position), kv::status::Ok);
    }
}

// A big-endian file built by hand: SHORT values inline in the first two bytes of the value
// field, a SHORT array and LONG strip offsets out of line.
Bytes bigEndianFile() {
    Bytes f{'M', 'M', 0, 42, 0, 0, 0, 8};
    struct E {
        std::uint16_t tag, type;
        std::uint32_t count;
        Bytes value;
    };
    const std::vector<E> entries = {
        {256, 4, 1, {0, 0, 0x01, 0x02}},       // width 258
        {257, 3, 1, {0, 3, 0, 0}},             // height 3 (SHORT)
        {258, 3, 3, {0, 0, 0, 200}},           // bits at 200: 8, 8, 8
        {259, 3, 1, {0, 1, 0, 0}},             // compression 1
        {262, 3, 1, {0, 2, 0, 0}},             // RGB
        {273, 4, 1, {0, 0, 0, 220}},           // strip at 220
        {274, 3, 1, {0, 6, 0, 0}},             // orientation 6
        {277, 3, 1, {0, 3, 0, 0}},             // 3 samples
        {279, 4, 1, {0, 0, 0x09, 0x0C}},       // 2316 bytes
        {516, 3, 1, {0, 2, 0, 0}},             // quality 2
        {522, 4, 1, {0x41, 0x00, 0x01, 0x02}}, // manufacturing word
        {523, 1, 6, {0, 0, 0, 210}},           // white balance at 210
    };
    auto be16 = [&f](std::uint16_t v) {
        f.push_back(std::uint8_t(v >> 8));
        f.push_back(std::uint8_t(v));
    };
    auto be32 = [&f](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            f.push_back(std::uint8_t(v >> s));
    };
    be16(static_cast<std::uint16_t>(entries.size()));
    for (const E& e : entries) {
        be16(e.tag);
        be16(e.type);
        be32(e.count);
        f.insert(f.end(), e.value.begin(), e.value.end());
    }
    be32(0);
    f.resize(200, 0);
    be16(8);
    be16(8);
    be16(8);
    f.resize(210, 0);
    f.insert(f.end(), {190, 180, 170, 0, 0, 1}); // enabled flag stays little-endian bytes
    f.resize(220, 0);
    for (int i = 0; i < 258 * 3 * 3; ++i)
        f.push_back(static_cast<std::uint8_t>(i));
    return f;
}

TEST(TiffReader, BigEndianValuesAreSwapped) {
    auto r = OpenTiffBytes(bigEndianFile());
    ASSERT_TRUE(r);
    const IfdDescription& d = r->ifd();
    EXPECT_TRUE(r->bigEndian());
    EXPECT_EQ(r->version(), 42);
    EXPECT_EQ(d.width, 258u);
    EXPECT_EQ(d.height, 3u);
    EXPECT_EQ(d.compression, 1);
    EXPECT_EQ(d.photometric, 2);
    EXPECT_EQ(d.orientation, 6);
    EXPECT_EQ(d.samplesPerPixel, 3);
    EXPECT_EQ(d.bitsPerSampleValues, (std::vector<std::uint16_t>{8, 8, 8}));
    EXPECT_EQ(d.quality, 2);
    EXPECT_EQ(d.manufacturingWord, 0x41000102u);
    EXPECT_EQ(d.whiteBalance.whitePoint[0], 190);
    EXPECT_EQ(d.whiteBalance.enabled, 256);
    ASSERT_EQ(r->strips(0).size(), 1u);
    EXPECT_EQ(r->strips(0)[0], std::make_pair(220u, 2316u));
    Bytes data(2316);
    std::uint32_t count = 2316;
    std::uint32_t position = 0;
    ASSERT_EQ(ReadData(*r, 0, data.data(), count, position), kv::status::Ok);
    EXPECT_EQ(count, 2316u);
    EXPECT_EQ(data[300], static_cast<std::uint8_t>(300));
}

TEST(TiffDateTime, FormatAndParseRoundTripWithTheYearsSince1900) {
    struct Case {
        int year, month, day, hour, minute, second;
        const char* text;
    };
    for (const Case c : {Case{1998, 0, 5, 7, 8, 9, "98:00:05 07:08:09"},
                         Case{2000, 11, 31, 23, 59, 58, "100:11:31 23:59:58"},
                         Case{2026, 6, 1, 0, 0, 0, "126:06:01 00:00:00"}}) {
        std::tm tm{};
        tm.tm_year = c.year - 1900;
        tm.tm_mon = c.month;
        tm.tm_mday = c.day;
        tm.tm_hour = c.hour;
        tm.tm_min = c.minute;
        tm.tm_sec = c.second;
        tm.tm_isdst = -1;
        const auto t = static_cast<std::uint32_t>(std::mktime(&tm));
        EXPECT_EQ(formatTiffDateTime(t), c.text);
        EXPECT_EQ(parseTiffDateTime(c.text), t) << c.text;
    }
    for (const char* bad :
         {"", "98:00:05", "98-00-05 07:08:09", "x8:00:05 07:08:09", "9999999999:00:05 07:08:09"})
        EXPECT_EQ(parseTiffDateTime(bad), 0u) << bad;
}

TEST_F(ScratchDir, DateTimeCountIs18Before2000And19After) {
    for (const auto& [year, count] : {std::pair{1998, 18u}, std::pair{2001, 19u}}) {
        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mday = 2;
        tm.tm_hour = 12;
        tm.tm_isdst = -1;
        IfdDescription d;
        d.width = 1;
        d.height = 1;
        d.time = static_cast<std::uint32_t>(std::mktime(&tm));
        auto w = CreateTiff(path("d.tif"), 1, false);
        ASSERT_EQ(WriteIfd(*w, d), 0);
        WriteData(*w, Bytes(1, 0));
        ASSERT_EQ(CloseTiff(*w), kv::status::Ok);
        const Bytes file = kvtest::readFile(path("d.tif"));
        EXPECT_EQ(rawEntries(file).at(tifftag::DateTime).count, count);
        auto r = OpenTiff(path("d.tif"));
        EXPECT_EQ(r->ifd().time, d.time);
    }
}

TEST_F(ScratchDir, WorkingFormsRoundTrip) {
    std::vector<std::uint16_t> mono16(960 * 800);
    for (std::size_t i = 0; i < mono16.size(); ++i)
        mono16[i] = static_cast<std::uint16_t>((i * 37) << 6);
    ASSERT_EQ(WriteMono16Tiff(path("m16.tif"), 960, 800, mono16.data()), kv::status::Ok);
    WorkingPicture p;
    ASSERT_EQ(ReadWorkingTiff(path("m16.tif"), p), kv::status::Ok);
    EXPECT_EQ(p.data.size(), 1536000u);
    EXPECT_EQ(samples16(p), mono16);
    EXPECT_EQ(p.ifd.subfileType, 1u);
    EXPECT_EQ(p.ifd.photometric, 1);
    EXPECT_NE(p.ifd.time, 0u);

    std::vector<std::uint16_t> planes(8 * 4 * 3);
    for (std::size_t i = 0; i < planes.size(); ++i)
        planes[i] = static_cast<std::uint16_t>(i * 1000);
    ASSERT_EQ(WriteRgb16PlanesTiff(path("p16.tif"), 8, 4, planes.data()), kv::status::Ok);
    for (int plane = 0; plane < 3; ++plane) {
        ASSERT_EQ(ReadWorkingTiff(path("p16.tif"), p, plane), kv::status::Ok);
        const auto s = samples16(p);
        EXPECT_EQ(s, std::vector<std::uint16_t>(planes.begin() + plane * 32,
                                                planes.begin() + (plane + 1) * 32));
    }

    const Bytes rgbt(5 * 3 * 4, 77);
    ASSERT_EQ(WriteRgbt8Tiff(path("t.tif"), 5, 3, rgbt), kv::status::Ok);
    ASSERT_EQ(ReadWorkingTiff(path("t.tif"), p), kv::status::Ok);
    EXPECT_EQ(p.ifd.photometric, 5);
    EXPECT_EQ(p.ifd.samplesPerPixel, 4);
    EXPECT_EQ(p.data, rgbt);

    // The RAM-conversion form: subfile 0, no DateTime, and the caller's photometric value.
    ASSERT_EQ(WriteRamConversionTiff(path("ram.tif"), 4, 2, Bytes(8, 3), 8, 1), kv::status::Ok);
    ASSERT_EQ(ReadWorkingTiff(path("ram.tif"), p), kv::status::Ok);
    EXPECT_EQ(p.ifd.subfileType, 0u);
    EXPECT_EQ(p.ifd.time, 0u);

    // Too little data for the debug writer's size is refused and writes nothing.
    EXPECT_NE(WriteRgb8Tiff(path("short.tif"), 480, 400, Bytes(10)), kv::status::Ok);
    EXPECT_FALSE(std::filesystem::exists(path("short.tif")));
}

// --- Hostile and truncated input -------------------------------------------------------------

void readEverything(const Bytes& bytes) {
    auto r = OpenTiffBytes(bytes);
    if (!r)
        return;
    for (int ifd = 0; ifd < 4; ++ifd) {
        for (const TiffEntry& e : r->entries()) {
            (void)r->numbers(e, 64);
            (void)r->text(e);
        }
        for (int plane = 0; plane < 4; ++plane) {
            Bytes buf(4096);
            std::uint32_t count = 4096;
            std::uint32_t position = 0;
            (void)ReadData(*r, plane, buf.data(), count, position);
            EXPECT_LE(count, 4096u);
        }
        if (NextIfd(*r) != kv::status::Ok)
            break;
    }
}

TEST_F(ScratchDir, EveryTruncationOfAWrittenFileReadsSafely) {
    const IfdDescription d = fullDescription();
    auto w = CreateTiff(path("a.tif"), 2, true);
    ASSERT_EQ(WriteIfd(*w, d), 0);
    WriteData(*w, kvtest::testPicture(10, 6));
    ASSERT_EQ(WriteIfd(*w, d), 0);
    WriteData(*w, kvtest::testPicture(10, 6));
    ASSERT_EQ(CloseTiff(*w), kv::status::Ok);
    const Bytes file = kvtest::readFile(path("a.tif"));
    for (std::size_t n = 0; n <= file.size(); ++n)
        readEverything(Bytes(file.begin(), file.begin() + n));
    const Bytes big = bigEndianFile();
    for (std::size_t n = 0; n <= big.size(); n += 3)
        readEverything(Bytes(big.begin(), big.begin() + n));
}

TEST(TiffReader, HostileCountsOffsetsAndLoopsAreRefused) {
    // Header, IFD at 8 with one entry whose count and offset point far outside the file.
    auto make = [](std::uint16_t entries, std::uint32_t count, std::uint32_t value,
                   std::uint32_t next) {
        Bytes f{'I', 'I', 42, 0, 8, 0, 0, 0};
        kv::appendLe16(f, entries);
        kv::appendLe16(f, tifftag::StripOffsets);
        kv::appendLe16(f, kTiffLong);
        kv::appendLe32(f, count);
        kv::appendLe32(f, value);
        kv::appendLe32(f, next);
        return f;
    };
    // Entry count larger than the file holds.
    EXPECT_FALSE(OpenTiffBytes(make(0xFFFF, 1, 0, 0)));
    // A huge strip table outside the file: no strips, no allocation.
    auto r = OpenTiffBytes(make(1, 0x40000000, 0xFFFFFF00, 0));
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->strips(0).empty());
    EXPECT_FALSE(r->numbers(r->entries()[0]));
    // A strip whose offset lies outside the file reads nothing.
    Bytes f = make(2, 1, 0xFFFFFFF0, 0);
    f.resize(f.size() - 4);
    kv::appendLe16(f, tifftag::StripByteCounts);
    kv::appendLe16(f, kTiffLong);
    kv::appendLe32(f, 1);
    kv::appendLe32(f, 1000);
    kv::appendLe32(f, 0);
    r = OpenTiffBytes(f);
    ASSERT_TRUE(r);
    Bytes buf(16);
    std::uint32_t count = 16;
    std::uint32_t position = 0;
    EXPECT_EQ(ReadData(*r, 0, buf.data(), count, position), kv::status::Ok);
    EXPECT_EQ(count, 0u);
    // A chain of IFDs that points back at itself ends instead of looping.
    r = OpenTiffBytes(make(1, 1, 0, 8));
    ASSERT_TRUE(r);
    EXPECT_NE(NextIfd(*r), kv::status::Ok);
    // Neither "II" nor "MM".
    EXPECT_FALSE(OpenTiffBytes(Bytes{'X', 'X', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// --- Independent readers ---------------------------------------------------------------------

TEST_F(ScratchDir, LibtiffToolsAcceptOurFilesWithTheirTagValues) {
    if (!kvtest::toolPresent("tiffinfo") || !kvtest::toolPresent("tiffdump"))
        GTEST_SKIP() << "libtiff tools not installed";
    IfdDescription d = fullDescription();
    d.width = 16;
    d.height = 8;
    d.orientation = 6;
    auto w = CreateTiff(path("x.tif"), 1, false);
    ASSERT_EQ(WriteIfd(*w, d), 0);
    WriteData(*w, kvtest::testPicture(16, 8));
    ASSERT_EQ(CloseTiff(*w), kv::status::Ok);

    int rc = 0;
    const std::string info = kvtest::runTool("tiffinfo " + kvtest::quoted(path("x.tif")), &rc);
    EXPECT_EQ(rc, 0) << info;
    EXPECT_EQ(info.find("Error"), std::string::npos) << info;
    EXPECT_NE(info.find("Image Width: 16 Image Length: 8"), std::string::npos) << info;
    EXPECT_NE(info.find("Samples/Pixel: 3"), std::string::npos) << info;
    EXPECT_NE(info.find("Photometric Interpretation: RGB color"), std::string::npos) << info;
    EXPECT_NE(info.find("Resolution: 72, 72 pixels/inch"), std::string::npos) << info;
    EXPECT_NE(info.find("Software: Korvane - Korvane Mini"), std::string::npos) << info;
    EXPECT_NE(info.find("DateTime: " + formatTiffDateTime(d.time)), std::string::npos) << info;
    EXPECT_NE(info.find("Orientation: row 0 rhs, col 0 top"), std::string::npos) << info;

    const std::string dump = kvtest::runTool("tiffdump " + kvtest::quoted(path("x.tif")), &rc);
    EXPECT_EQ(rc, 0) << dump;
    // tiffdump names some of these numbers after other (obsolete) tags; match by "(number)".
    for (const char* want :
         {"(516) SHORT (3) 1<3>", "(518) SHORT (3) 1<11>", "(522) LONG (4) 1<1090519331>",
          "(523) BYTE (1) 6<0xc8 0xbe 0xb4 0x7 0x1 00>", "(519) ASCII (2) 11<CAM-000123\\0>",
          "(514) LONG (4) 1<1234>", "(515) BYTE (1) 3<0x9 0x8 0x7>", "(517) SHORT (3) 1<0>",
          "(258) SHORT (3) 3<8 8 8>", "(33723) BYTE (1) 7<0x1 0x2 0x3 0x4 0x5 0x6 0x7>"}) {
        std::string w = want;
        const std::string number = w.substr(1, w.find(')') - 1);
        const std::string rest = w.substr(w.find(')') + 1);
        bool found = false;
        for (std::size_t at = 0; (at = dump.find(rest, at)) != std::string::npos; ++at) {
            const std::size_t line = dump.rfind('\n', at) + 1;
            const std::string head = dump.substr(line, at - line);
            if (head.find(number + " (") != std::string::npos ||
                head.find("(" + number + ")") != std::string::npos)
                found = true;
        }
        EXPECT_TRUE(found) << want << "\n" << dump;
    }
}

TEST_F(ScratchDir, LibtiffReadsTheWorkingFormsPixelForPixel) {
    if (!kvtest::toolPresent("tiffinfo"))
        GTEST_SKIP() << "libtiff tools not installed";
    const Bytes rgb = kvtest::testPicture(480, 400);
    ASSERT_EQ(WriteRgb8Tiff(path("rgb.tif"), 480, 400, rgb), kv::status::Ok);
    std::vector<std::uint16_t> planes(32 * 16 * 3, 0x1234);
    ASSERT_EQ(WriteRgb16PlanesTiff(path("p.tif"), 32, 16, planes.data()), kv::status::Ok);
    for (const char* name : {"rgb.tif", "p.tif"}) {
        int rc = 0;
        // -D reads every strip; a strip outside the file or too short is an error.
        const std::string out = kvtest::runTool("tiffinfo -D " + kvtest::quoted(path(name)), &rc);
        EXPECT_EQ(rc, 0) << out;
        EXPECT_EQ(out.find("Error"), std::string::npos) << out;
    }
}

} // namespace
