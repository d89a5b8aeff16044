// What the bench camera keeps for the transfers: its stored pictures and sound notes (or, for
// the memory-card variant, the card's files), its DRAM, FRAM and PC-card memory, the
// parameter record and every block that was downloaded to it. Plain data: the command
// handlers in transfer_commands.cpp serve it over the wire, tests fill and examine it.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv::camsim {

// One item of a camera without a memory card. Items are numbered from 1 in storage order.
struct StoredItem {
    std::int16_t kind = 0; // 0 = picture, 1 = sound note
    std::int16_t exposure = 4;
    std::int16_t flash = 0;
    std::int16_t quality = 0; // 0 Best, 1 Standard, 2 Cine, 3 uncompressed
    std::int32_t attribute = 0;
    Bytes data;
    // The size the item line announces instead of data.size() (fault tests: a lying camera).
    std::optional<std::int64_t> statedSize;
    // Fault tests: every read of the item spoils one byte of one block, a different block on
    // each read, so that no single read is whole but every block comes right in most reads.
    bool flakyBlocks = false;
    // Fault tests: the item line comes out different on every read (a failing memory cell in
    // the camera's item table), so no two readings of it agree.
    bool flakyLine = false;
};

// One file on the memory card.
struct CardFile {
    std::string name;      // at most 8 characters
    std::string extension; // "JPG" or "WAV"
    Bytes data;
    std::optional<std::int64_t> statedSize;
};

// One block the host wrote with rows D1, D2, D3, U1 or D4.
struct DownloadBlock {
    int row = 0; // command row: 7 gain, 8 blemish, 9 gamma, 34 DRAM, 10 parameter record
    long start = 0;
    long length = 0;
    long checksum = 0;
    bool accepted = false; // the checksum matched and the bytes were kept
};

inline constexpr std::size_t kDramSize = 1u << 20;
inline constexpr std::size_t kFramSize = 1u << 20;
inline constexpr std::size_t kPcCardSize = 4u << 20;
inline constexpr std::size_t kParameterRecordSize = 1024;

// A version-1 parameter record with sixteen calibration values at bytes 36-67.
Bytes makeParameterRecord();

struct TransferStore {
    std::vector<StoredItem> items;
    std::vector<CardFile> cardFiles;
    Bytes dram = Bytes(kDramSize);
    Bytes fram = Bytes(kFramSize);
    Bytes pcCard = Bytes(kPcCardSize);
    Bytes parameterRecord = makeParameterRecord();
    // Images of the downloads, grown to the highest address written.
    Bytes gain;
    Bytes blemish;
    Bytes gamma;
    std::vector<DownloadBlock> downloads;
    // Fault tests: a count and listing sent instead of the true ones (row B5).
    std::optional<int> countOverride;
    std::optional<Bytes> listingOverride;
    // ... and the count line after every block request (B1, no card): this number added to the
    // block length, or this text instead of the number (the block itself is sent as asked).
    std::optional<long> blockCountShift;
    std::optional<std::string> blockCountText;

    // Number of stored pictures ("Pix:" of the status line).
    int pictureCount(bool memoryCard) const;
    // B4: every stored item (and card file) is gone.
    void eraseAll();
    // B6: the card is empty.
    void formatCard();
    // The listing (row B5 mode 1) of the card files matching "*<*.ext>" (case-insensitive).
    std::vector<const CardFile*> matchingFiles(const std::string& pattern) const;
    Bytes listingOf(const std::vector<const CardFile*>& files) const;
    // The card file named by "*<A:NAME.EXT>"; nothing when there is none.
    const CardFile* findCardFile(const std::string& cardName) const;
};

// Content made for the bench: deterministic from `seed`.
// A raw frame as the camera delivers an uncompressed picture: a 1 MiB frame-memory image
// whose 480 lines at 64 KiB hold a smooth test pattern.
Bytes makeRawFrame(std::uint32_t seed);
// An IMA ADPCM sound note of `length` bytes (a warbling tone).
Bytes makeSoundNote(std::size_t length, std::uint32_t seed);
// A 480 x 400 RGB test picture.
Bytes makeTestRgb(std::uint32_t seed);
// A baseline JPEG of a 480 x 400 test picture, as a memory-card camera stores it.
Bytes makeCardJpeg(std::uint32_t seed);
// A note section followed by a wavelet stream of the test picture at `quality` (0-2).
Bytes makeCompressedPicture(std::int16_t quality, std::uint32_t seed);
// The item with its check word appended (word sum of the whole = 0xFFFF; odd content is
// padded with a zero byte first).
Bytes appendCheckWord(Bytes content);
// Compressed picture data with its check word inside the camera note section (before its
// 0x04 0x04 end), so that the wavelet stream after it stays as the encoder made it.
Bytes embedCheckWord(Bytes pictureData);
// A raw frame with its check word in bytes 0-1 (which hold no samples).
Bytes frameWithCheckWord(Bytes frame);
// A wave file as newer memory-card firmware stores its notes.
Bytes makeCardWave(std::size_t noteLength, std::uint32_t seed);

// The bench camera's standard content.
// Without a card: a sound note that belongs to the picture after it, then one picture of each
// quality 0-3 (0-2 only when the wavelet encoder is built), the quality-2 picture with a sound
// note too. Every item ends in its check word.
void fillStandardItems(TransferStore& store);
// The second variant without a card: JPEG pictures, the first with a note stored as a wave
// file before it.
void fillVariantBItems(TransferStore& store);
// With a card: three JPEG files, the first and third with a wave note.
void fillStandardCard(TransferStore& store);

} // namespace kv::camsim
