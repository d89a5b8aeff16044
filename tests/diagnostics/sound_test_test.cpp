#include "diagnostics/sound_test.h"
#include "platform/atomic_file.h"
#include "station_rig.h"

#include <cmath>
#include <numbers>

namespace kv::testing {
namespace {

using namespace diagnostics;

// 16-bit little-endian samples at 8000 Hz: tones of `high` and `low` amplitude at the
// default periods, after `skip` samples of a fake header.
Bytes recording(double high, double low, std::size_t samples, std::size_t skip = 1024) {
    Bytes out(2 * (samples + skip), 0x55);
    const double fHigh = 625000.0 / 600, fLow = 625000.0 / 800;
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = double(i) / 8000;
        const double v = high * std::sin(2 * std::numbers::pi * fHigh * t) +
                         low * std::sin(2 * std::numbers::pi * fLow * t);
        const auto s = static_cast<std::int16_t>(std::lround(v));
        out[2 * (skip + i)] = static_cast<std::uint8_t>(s & 0xFF);
        out[2 * (skip + i) + 1] = static_cast<std::uint8_t>(std::uint16_t(s) >> 8);
    }
    return out;
}

SoundParams params(const ScratchDir& dir) {
    SoundParams p;
    p.debugFile = dir / "fft_sound.txt";
    p.dumpFile = dir / "dump.txt";
    return p;
}

TEST(SoundTest, DefaultBinsAndBands) {
    std::vector<double> power(32769, 1.0);
    const SoundParams p;
    const auto high = analyzeTone(power, 65536, 600, p, 15);
    const auto low = analyzeTone(power, 65536, 800, p, 20);
    ASSERT_TRUE(high && low);
    EXPECT_EQ(high->expectedBin, 8533);
    EXPECT_EQ(high->lowBin, 7679);
    EXPECT_EQ(high->highBin, 9386);
    EXPECT_EQ(low->expectedBin, 6400);
    EXPECT_EQ(low->lowBin, 5759);
    EXPECT_EQ(low->highBin, 7040);
    // A tone above half the sampling rate has no bin.
    EXPECT_FALSE(analyzeTone(power, 65536, 10, p, 15));
}

TEST(SoundTest, Verdicts) {
    struct Row {
        const char* name;
        double high, low;
        bool pass, highPass, lowPass;
    };
    const Row rows[] = {
        {"both tones", 6000, 6000, true, true, true},
        {"high tone only", 8000, 0, false, true, false},
        {"low tone only", 0, 8000, false, false, true},
        {"too quiet", 20, 20, false, false, false}, // fractions fine, power below the threshold
        {"silence", 0, 0, false, false, false},
    };
    for (const Row& row : rows) {
        ScratchDir dir;
        SpectrumAnalyzer analyzer;
        const SoundTestResult r =
            runSoundTest(recording(row.high, row.low, 65536), params(dir), analyzer);
        EXPECT_EQ(r.pass, row.pass) << row.name;
        ASSERT_TRUE(r.high && r.low) << row.name << r.failure;
        EXPECT_EQ(r.high->pass, row.highPass) << row.name;
        EXPECT_EQ(r.low->pass, row.lowPass) << row.name;
        if (std::string(row.name) == "too quiet") {
            EXPECT_GT(r.high->fraction, 0.15);
            EXPECT_LT(r.high->totalEnergy / 1e9, 10000);
        }
    }
}

TEST(SoundTest, ShortOrEmptyRecordingsFailWithAReason) {
    ScratchDir dir;
    SpectrumAnalyzer analyzer;
    const SoundParams p = params(dir);
    struct Row {
        Bytes data;
        std::string failure;
    };
    const Row rows[] = {
        {Bytes(), "The recording is empty."},
        {Bytes(1), "The recording is empty."},
        {recording(6000, 6000, 65535),
         "The recording holds 66559 samples; the test needs 66560 (1024 skipped, 65536 "
         "analysed)."},
    };
    for (const Row& row : rows) {
        // An exact-size copy, so a read past the end is caught by the sanitizers.
        const auto copy = std::make_unique<std::uint8_t[]>(row.data.size() + 1);
        std::copy(row.data.begin(), row.data.end(), copy.get());
        const SoundTestResult r = runSoundTest(ByteSpan(copy.get(), row.data.size()), p, analyzer);
        EXPECT_FALSE(r.pass);
        EXPECT_EQ(r.failure, row.failure);
    }
    EXPECT_FALSE(std::filesystem::exists(p.debugFile));
}

TEST(SoundTest, SummaryAndDumpFormats) {
    ScratchDir dir;
    SpectrumAnalyzer analyzer;
    SoundParams p = params(dir);
    p.usedSamples = 16;
    p.badSamples = 0;
    p.printPower = true;
    // With 16 samples: the expected bin of period 312 is trunc(100*16/312*0.78125+0.5) = 4.
    p.periodHigh = 312;
    p.periodLow = 312;
    p.powerThreshold = 0;
    Bytes data(32);
    for (int i = 0; i < 16; ++i) {
        const auto v = static_cast<std::int16_t>(
            std::lround(1000 * std::cos(2 * std::numbers::pi * 4 * i / 16.0)));
        data[std::size_t(2 * i)] = std::uint8_t(v & 0xFF);
        data[std::size_t(2 * i + 1)] = std::uint8_t(std::uint16_t(v) >> 8);
    }
    const SoundTestResult r = runSoundTest(data, p, analyzer);
    ASSERT_TRUE(r.pass) << r.failure;
    EXPECT_EQ(r.high->expectedBin, 4);
    EXPECT_NEAR(r.high->fraction, 1.0, 1e-12);
    const std::string summary = soundSummary(*r.high, *r.low, p, true);
    EXPECT_NE(summary.find("High Freq:\t       0       100%\t        15% \t\tPASS\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(summary.find("Power Thresh:\t        \t\t\t\t\tPASS\n\n"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("High Freq:\t       4       100% \t           4 \t      100%\n"),
              std::string::npos)
        << summary;
    Bytes dump;
    ASSERT_TRUE(platform::readWholeFile(p.dumpFile, dump));
    EXPECT_EQ(std::string(dump.begin(), dump.end()),
              "Low Freq:          3\nHigh Freq:          4\nBandwidth Energy:   64000000\n"
              "Total Energy:   64000000\nEnergy Fraction:     1.0000\n"
              "Power Threshold Energy:          0\n");
    Bytes report;
    ASSERT_TRUE(platform::readWholeFile(p.debugFile, report));
    EXPECT_EQ(std::string(report.begin(), report.end()), summary);
}

TEST(SoundTest, BenchMicrophoneRecordsTheTestSound) {
    StationRig rig;
    rig.profile.writeString("DIAGNOSTICS", "SOUND_FILE", "/usr/share/kvmini/test.wav");
    ScratchDir dir;
    SpectrumAnalyzer analyzer;
    const SoundParams p = params(dir);
    EXPECT_FALSE(runSoundTest(rig.bench.record(9), p, analyzer).pass); // nothing playing
    ASSERT_TRUE(playTestSound(rig.station));
    EXPECT_EQ(rig.bench.volume(), 38665);
    EXPECT_EQ(rig.bench.playing(), "/usr/share/kvmini/test.wav");
    EXPECT_TRUE(runSoundTest(rig.bench.record(9), p, analyzer).pass);
}

} // namespace
} // namespace kv::testing
