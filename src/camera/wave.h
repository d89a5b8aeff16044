// Sound notes as wave files. The camera records its notes as IMA ADPCM, 4 bits per sample at
// 8000 samples per second, high nibble first; the host turns them into 16-bit PCM wave files
// (58-byte header with a "fact" chunk) that ordinary players open.
#pragma once

#include "base/bytes.h"
#include "base/result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace kv::camera {

inline constexpr std::size_t kWaveHeaderSize = 58;
// The largest note the converter takes: the data size field (4 bytes per note byte plus the
// header) must fit 32 bits, and no camera note comes near this.
inline constexpr std::size_t kMaxNoteLength = 64u << 20;

// Decodes an IMA ADPCM note (predictor and step index start at 0) into 2 × note.size()
// signed 16-bit samples.
std::vector<std::int16_t> decodeImaAdpcm(ByteSpan note);
// The camera's side: 16-bit samples coded two to a byte, high nibble first (an odd last
// sample is padded with a silent one). decodeImaAdpcm reads them back.
Bytes encodeImaAdpcm(std::span<const std::int16_t> samples);

// The whole wave file for a note: the 58-byte header, then the samples little-endian.
// Empty when the note is longer than kMaxNoteLength.
Bytes makeWaveImage(ByteSpan note);

// True when `bytes` already is a RIFF/WAVE file (memory-card cameras with newer firmware
// store their notes that way).
bool isWaveFile(ByteSpan bytes);

// The camera's playing from memory: every byte after the header is scaled by 1.5 as a signed
// 8-bit value, saturating at +127 and -127.
void scaleForPlaying(std::span<std::uint8_t> waveImage);

// Something that plays a wave image asynchronously (the GUI's sound output; tests record).
class WavePlayer {
public:
    virtual ~WavePlayer() = default;
    virtual void playFromMemory(Bytes waveImage) = 0;
};

// makeWave with a file name: writes the wave file so that it appears complete or not at all.
// Ok, or Failed when the note is too long or the file cannot be written.
Status makeWave(ByteSpan note, const std::filesystem::path& file);
// makeWave without a file name: plays the scaled image through `player`.
Status makeWave(ByteSpan note, WavePlayer& player);

} // namespace kv::camera
