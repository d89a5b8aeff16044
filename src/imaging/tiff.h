// The program's own TIFF writer and reader (TIFF 6.0 baseline structure, uncompressed strips
// or tiles). They also carry the .kvi picture file (header version 138, see picture_file.h) and
// the working files of the diagnostics and simulations (tiff_forms.h).
//
// Writing: CreateTiff announces how many IFDs follow; each WriteIfd is followed by WriteData
// with that IFD's strip data; CloseTiff commits. The file is written under a temporary name
// and renamed only by a successful CloseTiff, so a failed write never leaves a half file and
// never destroys an earlier file of the same name.
//
// Reading: OpenTiff reads the whole file (up to kTiffFileLimit bytes) and its first IFD;
// NextIfd moves on; ReadData reads a plane's strip data. Every count, offset and length taken
// from the file is checked against the file's size before it is used, so truncated or hostile
// files give kv::status::Failed, never a read outside the file or a large allocation.
//
// Objects are not shared between threads; distinct objects may be used on distinct threads.
#pragma once

#include "base/bytes.h"
#include "base/operator.h"
#include "base/result.h"
#include "imaging/picture_attributes.h"
#include "platform/atomic_file.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::imaging {

inline constexpr std::uint16_t kTiffVersion = 42;
inline constexpr std::uint16_t kKviVersion = 138;
// The writer's IFD entry buffer: a 2-byte count and at most 249 entries of 12 bytes.
inline constexpr std::size_t kTiffEntryBufferBytes = 3000;
// The largest file the reader takes (the largest working form is a few MB).
inline constexpr std::uint64_t kTiffFileLimit = std::uint64_t(64) << 20;
// The message callers show when a TIFF file cannot be created or opened.
inline constexpr std::string_view kFileErrorMessage = "FileError!";

enum TiffType : std::uint16_t {
    kTiffByte = 1,
    kTiffAscii = 2,
    kTiffShort = 3,
    kTiffLong = 4,
    kTiffRational = 5,
};

namespace tifftag {
inline constexpr std::uint16_t NewSubfileType = 254;
inline constexpr std::uint16_t ImageWidth = 256;
inline constexpr std::uint16_t ImageLength = 257;
inline constexpr std::uint16_t BitsPerSample = 258;
inline constexpr std::uint16_t Compression = 259;
inline constexpr std::uint16_t Photometric = 262;
inline constexpr std::uint16_t ImageDescription = 270;
inline constexpr std::uint16_t StripOffsets = 273;
inline constexpr std::uint16_t Orientation = 274;
inline constexpr std::uint16_t SamplesPerPixel = 277;
inline constexpr std::uint16_t RowsPerStrip = 278;
inline constexpr std::uint16_t StripByteCounts = 279;
inline constexpr std::uint16_t XResolution = 282;
inline constexpr std::uint16_t YResolution = 283;
inline constexpr std::uint16_t PlanarConfiguration = 284;
inline constexpr std::uint16_t ResolutionUnit = 296;
inline constexpr std::uint16_t Software = 305;
inline constexpr std::uint16_t DateTime = 306;
inline constexpr std::uint16_t TileWidth = 322;
inline constexpr std::uint16_t TileLength = 323;
inline constexpr std::uint16_t TileOffsets = 324;
inline constexpr std::uint16_t TileByteCounts = 325;
inline constexpr std::uint16_t PictureDataLength = 514;
inline constexpr std::uint16_t SoundClip = 515;
inline constexpr std::uint16_t PictureQuality = 516;
inline constexpr std::uint16_t FlashSetting = 517;
inline constexpr std::uint16_t ExposureIndex = 518;
inline constexpr std::uint16_t CameraIdText = 519;
inline constexpr std::uint16_t ManufacturingWord = 522;
inline constexpr std::uint16_t WhiteBalanceState = 523;
inline constexpr std::uint16_t PrivateData = 33723;
} // namespace tifftag

// A name for a tag ("ImageWidth"), or an empty view for tags this program does not know.
std::string_view tiffTagName(std::uint16_t tag);

// One IFD: the writer's input and the reader's output.
struct IfdDescription {
    std::uint32_t subfileType = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pictureDataLength = 0; // tag 514, written when not 0
    std::int16_t orientation = 1;        // tag 274, written only for 2..8
    double physicalWidth = 0;            // > 0: resolution in dots per centimetre, else 72 dpi
    std::uint16_t photometric = 1;
    bool planarSeparate = false;
    std::optional<std::string> description; // tag 270
    Bytes privateData;                      // tag 33723, written when not empty
    Bytes soundClip;                        // tag 515, written when not empty
    std::uint16_t quality = kAttributeUnknown;
    std::uint16_t flash = kAttributeUnknown;
    std::uint16_t exposureIndex = kAttributeUnknown;
    std::optional<std::string> cameraId; // tag 519
    std::uint32_t manufacturingWord = 0; // tag 522, written when not 0
    WhiteBalanceState whiteBalance;      // tag 523, written when whitePoint[0] or enabled is not 0
    std::uint16_t compression = 1;
    std::optional<std::string> software; // tag 305
    std::uint32_t time = 0;              // seconds since 1970; tag 306 written when not 0
    bool tiled = false;
    std::uint32_t rowsPerStrip = 0; // tile length for tiles; strips are always one per plane
    std::int16_t bitsPerSample = 8; // 0 or less counts as 8

    // Filled by the reader only.
    std::uint16_t samplesPerPixel = 1;
    std::vector<std::uint16_t> bitsPerSampleValues;
    std::uint16_t resolutionUnit = 0;
    std::pair<std::uint32_t, std::uint32_t> xResolution{0, 0};
    std::pair<std::uint32_t, std::uint32_t> yResolution{0, 0};
    std::uint16_t planarConfiguration = 1;
    std::uint32_t tileWidth = 0;
};

// Samples per pixel for a photometric value: 5 (separated) -> 4, 2 (RGB) -> 3, otherwise 1.
int samplesForPhotometric(std::uint16_t photometric);

// The strip data length the writer plans for an IFD (all planes together).
std::uint64_t nominalDataBytes(const IfdDescription& ifd);

// "%2d:%2.2d:%2.2d %2.2d:%2.2d:%2.2d" of the local time: years since 1900 (three digits from
// 2000 on), month from 0, day, hour, minute, second.
std::string formatTiffDateTime(std::uint32_t seconds);
// The reverse; the year field is read as written, whatever its number of digits. 0 when the
// text does not parse or the time cannot be represented.
std::uint32_t parseTiffDateTime(std::string_view text);

class TiffWriter {
public:
    TiffWriter(const std::filesystem::path& path, int ifdCount, bool kvi);
    bool isOpen() const { return file_.isOpen() && !failed_; }
    const std::string& error() const { return error_; }

private:
    struct Entry {
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        std::array<std::uint8_t, 4> inlineValue{};
        Bytes outOfLine; // used when the value does not fit in 4 bytes
        bool isOutOfLine = false;
        std::size_t order = 0; // position in the list of out-of-line values
    };
    friend int WriteIfd(TiffWriter&, const IfdDescription&);
    friend bool WriteData(TiffWriter&, ByteSpan);
    friend Status CloseTiff(TiffWriter&);

    int add(std::uint16_t tag, std::uint16_t type, std::uint32_t count, ByteSpan value);
    int addShort(std::uint16_t tag, std::uint16_t value);
    int addLong(std::uint16_t tag, std::uint32_t value);
    int addAscii(std::uint16_t tag, std::string_view text);
    bool writeBytes(ByteSpan bytes);
    bool padTo(std::uint64_t position);

    platform::AtomicFile file_;
    int ifdCount_;
    int ifdsWritten_ = 0;
    std::uint64_t position_ = 0;
    std::uint64_t plannedIfd_ = 8;
    std::uint64_t dataEnd_ = 0;           // where the current IFD's nominal strip data ends
    std::uint64_t dataStart_ = 0;         // where it starts
    std::uint32_t pictureDataLength_ = 0; // its tag 514
    bool failed_ = false;
    std::string error_;
    std::vector<Entry> entries_;
    std::size_t entryBytes_ = 2;
    std::size_t outOfLineCount_ = 0;
};

// A directory entry as it stands in the file (tag, type and count already in host order).
struct TiffEntry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::array<std::uint8_t, 4> valueField{}; // as in the file
};

class TiffReader {
public:
    explicit TiffReader(Bytes fileBytes);

    bool bigEndian() const { return bigEndian_; }
    std::uint16_t version() const { return version_; }
    std::uint32_t ifdOffset() const { return ifdOffset_; }
    std::uint32_t nextIfdOffset() const { return nextIfdOffset_; }
    int ifdIndex() const { return ifdIndex_; }
    const IfdDescription& ifd() const { return ifd_; }
    const std::vector<TiffEntry>& entries() const { return entries_; }
    std::uint64_t fileSize() const { return bytes_.size(); }
    // `length` bytes of the file from `offset`; nothing when they are not all inside it.
    std::optional<ByteSpan> bytesAt(std::uint64_t offset, std::uint64_t length) const {
        if (offset > bytes_.size() || length > bytes_.size() - offset)
            return std::nullopt;
        return ByteSpan(bytes_).subspan(static_cast<std::size_t>(offset),
                                        static_cast<std::size_t>(length));
    }

    // The (offset, length) strips (or tiles) of a plane 0..3, as the file lists them.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& strips(int plane) const;

    // An entry's values, read within the file's bounds (nothing when they lie outside it).
    // Numbers: BYTE, SHORT and LONG elements (RATIONAL as numerator, denominator pairs), at most
    // `limit` of them. Text: an ASCII value up to its first zero. Raw: the value's bytes.
    std::optional<std::vector<std::uint32_t>> numbers(const TiffEntry& entry,
                                                      std::size_t limit = 1u << 20) const;
    std::optional<std::string> text(const TiffEntry& entry) const;
    std::optional<ByteSpan> raw(const TiffEntry& entry) const;

private:
    friend std::unique_ptr<TiffReader> OpenTiffBytes(Bytes bytes);
    friend Status NextIfd(TiffReader&);
    friend Status ReadData(TiffReader&, int, std::uint8_t*, std::uint32_t&, std::uint32_t&);

    bool readHeader();
    bool readIfd(std::uint32_t offset);
    std::uint16_t u16(std::size_t at) const;
    std::uint32_t u32(std::size_t at) const;

    Bytes bytes_;
    bool bigEndian_ = false;
    std::uint16_t version_ = 0;
    std::uint32_t ifdOffset_ = 0;
    std::uint32_t nextIfdOffset_ = 0;
    int ifdIndex_ = -1;
    std::vector<std::uint32_t> visited_;
    IfdDescription ifd_;
    std::vector<TiffEntry> entries_;
    std::array<std::vector<std::pair<std::uint32_t, std::uint32_t>>, 4> strips_;
};

// Creates `path` (under a temporary name until CloseTiff) and writes the header: "II", version
// 138 when `kvi` is set and 42 otherwise, first IFD at 8. Null when the file cannot be created;
// the operator, when given, is shown "FileError!".
std::unique_ptr<TiffWriter> CreateTiff(const std::filesystem::path& path, int ifdCount, bool kvi,
                                       Operator* op = nullptr);

// Writes one IFD from a full description (entries sorted by tag, out-of-line values at even
// offsets after it, strip offsets just after the values). 0 on success, -1 when the entry
// buffer would pass 3000 bytes, more IFDs are written than announced, the previous IFD's data
// ran past its nominal length, or a write failed. Strip data of an IFD followed by another
// that is shorter than nominal is padded with zeros, so the next IFD lands where planned.
int WriteIfd(TiffWriter& file, const IfdDescription& ifd);

// The usual form: fills the description from the picture attributes when given (quality,
// flash, exposure index, camera id, manufacturing word, capture time, rotation, white balance,
// sound clip for subfile type 1, picture-data length), otherwise with quality, flash and
// exposure index unknown and the current time; photometric RGB (2). A picture without a
// capture time gets the current time, which is stored back into `attributes`.
int WriteIfd(TiffWriter& file, std::uint32_t width, std::uint32_t height, std::uint32_t subfileType,
             std::string_view software, std::uint16_t compression, std::int16_t bitsPerSample,
             PictureAttributes* attributes);

// Appends strip data of the IFD just written. False when the write fails.
bool WriteData(TiffWriter& file, ByteSpan bytes);

// Finishes the file and renames it into place. Failed when any write failed, fewer IFDs were
// written than announced, the last IFD's data differs from its nominal length (unless it is
// exactly its picture-data length, tag 514: the .kvi picture's data), or the rename failed;
// the real name is then left as it was.
Status CloseTiff(TiffWriter& file);

// Reads `path` and its first IFD. Null when the file cannot be read, is larger than
// kTiffFileLimit, or its header or first IFD are unreadable; the operator, when given, is
// shown "FileError!" when the file cannot be opened.
std::unique_ptr<TiffReader> OpenTiff(const std::filesystem::path& path, Operator* op = nullptr);
// The same over bytes already in memory (fuzzing, tests).
std::unique_ptr<TiffReader> OpenTiffBytes(Bytes bytes);

// Moves to the next IFD. Failed at the end of the chain, on a loop, or on an unreadable IFD.
Status NextIfd(TiffReader& file);

// Reads up to `count` bytes of the current IFD's plane (0..3) data, starting at `position` of
// the plane's strips taken one after the other. `count` returns the bytes read (fewer when the
// strips or the file end first) and `position` advances by it. Failed for a plane without
// strips or a position past its end.
Status ReadData(TiffReader& file, int plane, std::uint8_t* destination, std::uint32_t& count,
                std::uint32_t& position);

} // namespace kv::imaging
