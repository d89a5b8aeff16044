#include "base/bytes.h"
#include "camera/wave.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kv::camera {
namespace {

TEST(Wave, StandardNoteGivesTheDocumentedHeader) {
    const Bytes note(20500, 0x17);
    const Bytes wave = makeWaveImage(note);
    ASSERT_EQ(wave.size(), 58u + 82000u);
    EXPECT_EQ(std::string(wave.begin(), wave.begin() + 4), "RIFF");
    EXPECT_EQ(loadLe32(wave, 4), 82050u);
    EXPECT_EQ(std::string(wave.begin() + 8, wave.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(loadLe32(wave, 16), 18u);
    EXPECT_EQ(loadLe16(wave, 20), 1u);
    EXPECT_EQ(loadLe16(wave, 22), 1u);
    EXPECT_EQ(loadLe32(wave, 24), 8000u);
    EXPECT_EQ(loadLe32(wave, 28), 16000u);
    EXPECT_EQ(loadLe16(wave, 32), 2u);
    EXPECT_EQ(loadLe16(wave, 34), 16u);
    EXPECT_EQ(loadLe16(wave, 36), 0u);
    EXPECT_EQ(std::string(wave.begin() + 38, wave.begin() + 42), "fact");
    EXPECT_EQ(loadLe32(wave, 42), 4u);
    EXPECT_EQ(loadLe32(wave, 46), 41000u);
    EXPECT_EQ(std::string(wave.begin() + 50, wave.begin() + 54), "data");
    EXPECT_EQ(loadLe32(wave, 54), 82000u);
    EXPECT_TRUE(isWaveFile(wave));
}

// Known answers worked by hand from the IMA tables: step 7 at index 0.
TEST(Wave, AdpcmDecodesHighNibbleFirstAndClamps) {
    // 0x70: code 7 (diff 0+7+3+1 = 11 -> 11, index 8), then code 0 at index 8 (step 16:
    // diff 2 -> 13, index 7).
    auto samples = decodeImaAdpcm(Bytes{0x70});
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0], 11);
    EXPECT_EQ(samples[1], 13);
    // 0xF? is negative.
    samples = decodeImaAdpcm(Bytes{0xF0});
    EXPECT_EQ(samples[0], -11);
    // A long run of maximal steps saturates at the 16-bit limits instead of wrapping.
    samples = decodeImaAdpcm(Bytes(200, 0x77));
    EXPECT_EQ(samples.back(), 32767);
    samples = decodeImaAdpcm(Bytes(200, 0xFF));
    EXPECT_EQ(samples.back(), -32768);
}

// The bench camera's coder: silence and a tone (an odd count of samples) come back close to
// the input.
TEST(Wave, AdpcmEncoderFollowsTheSignal) {
    struct Case {
        const char* name;
        std::vector<std::int16_t> samples;
        int tolerance;
    };
    std::vector<std::int16_t> tone(4001);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(8000 * std::sin(0.4 * double(i)));
    const Case cases[] = {
        {"silence", std::vector<std::int16_t>(100, 0), 2},
        {"tone", tone, 1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes note = encodeImaAdpcm(c.samples);
        ASSERT_EQ(note.size(), (c.samples.size() + 1) / 2);
        const std::vector<std::int16_t> back = decodeImaAdpcm(note);
        ASSERT_EQ(back.size(), 2 * note.size());
        // After the coder has found its step size, it stays near the signal.
        for (std::size_t i = 40; i < c.samples.size(); ++i)
            EXPECT_LE(std::abs(back[i] - c.samples[i]), c.tolerance) << i;
    }
}

TEST(Wave, PlayingScaleSaturatesAndLeavesTheHeader) {
    Bytes image = makeWaveImage(Bytes(4, 0));
    const Bytes header(image.begin(), image.begin() + 58);
    const std::uint8_t in[] = {10, 0x7F, 0x80, 0xF6, 85, 0xAB, 0, 1};
    std::copy(std::begin(in), std::end(in), image.begin() + 58);
    scaleForPlaying(image);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 58), header);
    const std::uint8_t want[] = {15,
                                 127,
                                 static_cast<std::uint8_t>(-127),
                                 static_cast<std::uint8_t>(-15),
                                 127,
                                 static_cast<std::uint8_t>(-127),
                                 0,
                                 1};
    EXPECT_EQ(Bytes(image.begin() + 58, image.begin() + 66),
              Bytes(std::begin(want), std::end(want)));
}

struct RecordingPlayer : WavePlayer {
    Bytes played;
    void playFromMemory(Bytes image) override { played = std::move(image); }
};

TEST(Wave, WritesTheFileOrPlaysTheScaledImage) {
    const auto dir = std::filesystem::temp_directory_path() / "kv_wave_test";
    std::filesystem::create_directories(dir);
    const Bytes note{0x12, 0x34, 0x56};
    ASSERT_EQ(makeWave(note, dir / "note.wav"), status::Ok);
    std::ifstream in(dir / "note.wav", std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, makeWaveImage(note));

    RecordingPlayer player;
    ASSERT_EQ(makeWave(note, player), status::Ok);
    Bytes scaled = makeWaveImage(note);
    scaleForPlaying(scaled);
    EXPECT_EQ(player.played, scaled);

    EXPECT_EQ(makeWave(note, dir / "missing" / "x.wav"), status::Failed);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace kv::camera
