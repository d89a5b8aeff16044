// Save As outside TWAIN mode: the highlighted pictures rendered at the output size and
// written as TIFF, bitmap or JPEG. One picture goes to the chosen name as it is; several go to
// "<chosen directory>/<picture title>.<extension>". A picture's sound note is written beside
// its exported file ("<name>.wav").
#pragma once

#include "base/operator.h"
#include "base/result.h"
#include "library/picture_list.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace kv::codec {
class WaveletCodec;
}

namespace kv::library {

// String 61212, the Save As dialog's filter, and its default extension (61213).
inline constexpr std::string_view kSaveAsFilter61212 =
    "TIFF File (*.tif)|*.tif|Bitmap File(*.bmp)|*.bmp|JPEG File(*.jpg)|*.jpg||";
inline constexpr std::string_view kSaveAsDefaultExtension = "tif";

enum class ExportType { Tiff, Bitmap, Jpeg };

// The type a name's extension asks for (".tif"/".tiff", ".bmp", ".jpg"/".jpeg", any case).
std::optional<ExportType> exportTypeOf(const std::filesystem::path& path);
// "tif", "bmp" or "jpg".
std::string_view extensionFor(ExportType type);

// Where each highlighted picture goes, in list order.
std::vector<std::filesystem::path>
exportTargets(const PictureList& list, const std::filesystem::path& chosen, ExportType type);

// Renders one picture at output size `outputSize` and writes it as `type` (replacing the file
// atomically), then its sound note beside it. Failed when the picture cannot be rendered or a
// file cannot be written (`error` says which).
Status exportPicture(const PictureRecord& record, const std::filesystem::path& target,
                     ExportType type, int outputSize, std::string* error = nullptr,
                     codec::WaveletCodec* codec = nullptr);

// The whole command over the highlighted pictures; failures are reported through `op` and the
// rest still go. Ok when every picture was written.
Status exportHighlighted(const PictureList& list, const std::filesystem::path& chosen,
                         int outputSize, Operator& op);

} // namespace kv::library
