// The data source's side of the hand-off files: finding the bitmap that the program left in
// the temporary directory, and loading it as the block the transfers deliver from.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace kvsource {

// A file as the file system knows it, so that a file that could not be deleted is recognised
// (and skipped) while a new file written under the same name is not.
using FileKey = std::pair<dev_t, ino_t>;

struct HandoffFile {
    std::filesystem::path path;
    FileKey key{};
};

// The hand-off bitmap to take from `directory`: among the regular files (symbolic links are
// never taken) owned by this user whose name matches "KVimage*.bmp" without regard to letter
// case, and that are not in `skip`, the one with the lowest number after "KVimage" (names
// without a number come after every numbered one, in name order).
std::optional<HandoffFile> FindHandoffBitmap(const std::filesystem::path& directory,
                                             const std::set<FileKey>& skip);

// The loaded bitmap: the file without its 14-byte file header, converted in place so that the
// rows run top-down with red, green, blue bytes.
struct LoadedBitmap {
    std::vector<std::uint8_t> block; // info header, colour table, rows
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bitsPerPixel = 0;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
    std::size_t rowsOffset = 0; // info header + colour table
    std::size_t stride = 0;     // width x bits / 8, rounded up to a multiple of 4

    const std::uint8_t* row(std::int32_t y) const {
        return block.data() + rowsOffset + std::size_t(y) * stride;
    }
};

// Loader messages; each ends the load. The message sink shows them (a message box titled
// "Twain" in a program with windows; the data source writes them to standard error).
inline constexpr std::string_view kErrorOpening = "Error opening .BMP file.";
inline constexpr std::string_view kErrorFileHeader = "Error reading bitmap file header.";
inline constexpr std::string_view kNotABitmap = "Not a .BMP file.";
inline constexpr std::string_view kErrorInfoHeader = "Error reading bitmap info header.";
inline constexpr std::string_view kErrorSeeking = "Error seeking to beginning of file.";
inline constexpr std::string_view kNotEnoughMemory = "Not enough memory.";
inline constexpr std::string_view kErrorReading = "Error reading bitmap.";
inline constexpr std::string_view kNotSupported = "This .BMP file not supported.";

using MessageSink = std::function<void(std::string_view)>;

// Blocks larger than this are refused with "Not enough memory." (a 16384 x 16384 32-bit
// picture fits).
inline constexpr std::uint64_t kMaxBitmapBlock = std::uint64_t(1) << 30;

// Loads the hand-off bitmap at `path` (never through a symbolic link). Sizes in the headers
// are checked against the file before anything is allocated or indexed: a file shorter than
// its headers say is refused ("Error reading bitmap."). Only uncompressed 24-bit bottom-up
// bitmaps are converted; others are refused with "This .BMP file not supported.".
std::optional<LoadedBitmap> LoadHandoffBitmap(const std::filesystem::path& path,
                                              const MessageSink& message);

// The same over the bytes of a whole file (for the fuzz target and the tests).
std::optional<LoadedBitmap> ParseHandoffBitmap(std::span<const std::uint8_t> file,
                                               const MessageSink& message);

// The in-place row exchange and byte swap: bottom-up BGR rows become top-down RGB rows (the
// conversion is its own inverse). The middle row of an odd height gets the byte swap alone.
void FlipAndSwapRows(std::uint8_t* rows, std::size_t stride, std::int32_t width,
                     std::int32_t height);

// A baseline little-endian TIFF (uncompressed RGB, 8 bits per sample, one strip) of the loaded
// bitmap's pixels: what a native transfer hands over on this platform.
std::vector<std::uint8_t> MakeNativeTiff(const LoadedBitmap& bitmap);

} // namespace kvsource
