#include "camera/wave.h"

#include "platform/atomic_file.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kv::camera {
namespace {

// The IMA ADPCM tables (IMA Digital Audio Focus and Technical Working Groups, 1992).
constexpr std::array<std::int16_t, 89> kStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr std::array<int, 8> kIndexTable = {-1, -1, -1, -1, 2, 4, 6, 8};

struct AdpcmState {
    int predictor = 0;
    int index = 0;

    std::int16_t decode(unsigned code) {
        const int step = kStepTable[static_cast<std::size_t>(index)];
        int diff = step >> 3;
        if (code & 4)
            diff += step;
        if (code & 2)
            diff += step >> 1;
        if (code & 1)
            diff += step >> 2;
        predictor += (code & 8) ? -diff : diff;
        predictor = std::clamp(predictor, -32768, 32767);
        index = std::clamp(index + kIndexTable[code & 7], 0, 88);
        return static_cast<std::int16_t>(predictor);
    }
};

void appendTag(Bytes& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

} // namespace

std::vector<std::int16_t> decodeImaAdpcm(ByteSpan note) {
    std::vector<std::int16_t> samples;
    samples.reserve(note.size() * 2);
    AdpcmState state;
    for (std::uint8_t byte : note) {
        samples.push_back(state.decode(byte >> 4));
        samples.push_back(state.decode(byte & 0x0F));
    }
    return samples;
}

Bytes encodeImaAdpcm(std::span<const std::int16_t> samples) {
    Bytes note((samples.size() + 1) / 2);
    AdpcmState state;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        // The code whose decoded step comes nearest the sample; the decoder then follows.
        const int step = kStepTable[static_cast<std::size_t>(state.index)];
        int diff = samples[i] - state.predictor;
        unsigned code = 0;
        if (diff < 0) {
            code = 8;
            diff = -diff;
        }
        if (diff >= step) {
            code |= 4;
            diff -= step;
        }
        if (diff >= step >> 1) {
            code |= 2;
            diff -= step >> 1;
        }
        if (diff >= step >> 2)
            code |= 1;
        state.decode(code);
        note[i / 2] |= static_cast<std::uint8_t>(i % 2 ? code : code << 4);
    }
    return note;
}

Bytes makeWaveImage(ByteSpan note) {
    if (note.size() > kMaxNoteLength)
        return {};
    const auto dataSize = static_cast<std::uint32_t>(note.size() * 4);
    Bytes out;
    out.reserve(kWaveHeaderSize + dataSize);
    appendTag(out, "RIFF");
    appendLe32(out, 50 + dataSize);
    appendTag(out, "WAVE");
    appendTag(out, "fmt ");
    appendLe32(out, 18);
    appendLe16(out, 1);     // PCM
    appendLe16(out, 1);     // one channel
    appendLe32(out, 8000);  // samples per second
    appendLe32(out, 16000); // bytes per second
    appendLe16(out, 2);     // block alignment
    appendLe16(out, 16);    // bits per sample
    appendLe16(out, 0);     // no extra format bytes
    appendTag(out, "fact");
    appendLe32(out, 4);
    appendLe32(out, static_cast<std::uint32_t>(note.size() * 2));
    appendTag(out, "data");
    appendLe32(out, dataSize);
    for (std::int16_t sample : decodeImaAdpcm(note))
        appendLe16(out, static_cast<std::uint16_t>(sample));
    return out;
}

bool isWaveFile(ByteSpan bytes) {
    return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
           std::memcmp(bytes.data() + 8, "WAVE", 4) == 0;
}

void scaleForPlaying(std::span<std::uint8_t> waveImage) {
    for (std::size_t i = kWaveHeaderSize; i < waveImage.size(); ++i) {
        const int value = static_cast<std::int8_t>(waveImage[i]) * 3 / 2;
        waveImage[i] =
            static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(value, -127, 127)));
    }
}

Status makeWave(ByteSpan note, const std::filesystem::path& file) {
    if (note.size() > kMaxNoteLength)
        return status::Failed;
    const Bytes image = makeWaveImage(note);
    return platform::writeFileAtomically(file, image) ? status::Ok : status::Failed;
}

Status makeWave(ByteSpan note, WavePlayer& player) {
    if (note.size() > kMaxNoteLength)
        return status::Failed;
    Bytes image = makeWaveImage(note);
    scaleForPlaying(image);
    player.playFromMemory(std::move(image));
    return status::Ok;
}

} // namespace kv::camera
