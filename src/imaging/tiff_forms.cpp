#include "imaging/tiff_forms.h"

#include <algorithm>
#include <ctime>
#include <string>

namespace kv::imaging {
namespace {

Status writeSingleIfd(const std::filesystem::path& path, const IfdDescription& d, ByteSpan data,
                      Operator* op) {
    auto file = CreateTiff(path, 1, false, op);
    if (!file)
        return status::Failed;
    if (WriteIfd(*file, d) != 0 || !WriteData(*file, data))
        return status::Failed;
    return CloseTiff(*file);
}

Bytes leSamples(const std::uint16_t* samples, std::size_t count) {
    Bytes b;
    b.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i)
        appendLe16(b, samples[i]);
    return b;
}

} // namespace

Status WriteRamConversionTiff(const std::filesystem::path& path, std::uint32_t width,
                              std::uint32_t height, ByteSpan data, std::int16_t bitsPerSample,
                              std::uint16_t photometric, Operator* op) {
    IfdDescription d;
    d.width = width;
    d.height = height;
    d.subfileType = 0;
    d.bitsPerSample = bitsPerSample;
    d.photometric = photometric;
    d.time = 0;
    const Status rc = writeSingleIfd(path, d, data, op);
    if (rc == status::Ok && op)
        op->message("Finished writing file: " + path.string());
    return rc;
}

Status WriteDebugPicture(const std::filesystem::path& path, std::uint32_t width,
                         std::uint32_t height, int channels, std::int16_t bitsPerSample,
                         ByteSpan data, bool planes, Operator* op) {
    IfdDescription d;
    d.width = width;
    d.height = height;
    d.subfileType = 1;
    d.bitsPerSample = bitsPerSample;
    d.photometric = channels == 4 ? 5 : channels == 3 ? 2 : 1;
    d.planarSeparate = planes && channels > 1;
    d.time = static_cast<std::uint32_t>(std::time(nullptr));
    const std::uint64_t bytes = std::uint64_t(width) * height * std::uint64_t(channels) *
                                std::uint64_t(bitsPerSample > 0 ? bitsPerSample : 8) / 8;
    if (data.size() < bytes)
        return status::Failed;
    return writeSingleIfd(path, d, data.first(static_cast<std::size_t>(bytes)), op);
}

Status WriteMono8Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                      ByteSpan data) {
    return WriteDebugPicture(path, width, height, 1, 8, data);
}

Status WriteMono16Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                       const std::uint16_t* samples) {
    const Bytes b = leSamples(samples, std::size_t(width) * height);
    return WriteDebugPicture(path, width, height, 1, 16, b);
}

Status WriteRgb8Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                     ByteSpan data) {
    return WriteDebugPicture(path, width, height, 3, 8, data);
}

Status WriteRgbt8Tiff(const std::filesystem::path& path, std::uint32_t width, std::uint32_t height,
                      ByteSpan data) {
    return WriteDebugPicture(path, width, height, 4, 8, data);
}

Status WriteRgb16PlanesTiff(const std::filesystem::path& path, std::uint32_t width,
                            std::uint32_t height, const std::uint16_t* planes) {
    const Bytes b = leSamples(planes, std::size_t(width) * height * 3);
    return WriteDebugPicture(path, width, height, 3, 16, b, true);
}

Status ReadWorkingTiff(const std::filesystem::path& path, WorkingPicture& out, int plane,
                       Operator* op) {
    auto file = OpenTiff(path, op);
    if (!file)
        return status::Failed;
    const IfdDescription& d = file->ifd();
    const bool separate = d.planarSeparate || d.tiled;
    const int samples = separate ? 1 : std::max<int>(1, d.samplesPerPixel);
    const int bits = d.bitsPerSample > 0 ? d.bitsPerSample : 8;
    const std::uint64_t want =
        (std::uint64_t(d.width) * std::uint64_t(bits) * std::uint64_t(samples) + 7) / 8 * d.height;
    // Never more than the file holds.
    if (want == 0 || want > file->fileSize())
        return status::Failed;
    out.ifd = d;
    out.bigEndian = file->bigEndian();
    out.data.assign(static_cast<std::size_t>(want), 0);
    std::uint32_t count = static_cast<std::uint32_t>(want);
    std::uint32_t position = 0;
    if (ReadData(*file, plane, out.data.data(), count, position) != status::Ok || count != want) {
        out.data.clear();
        return status::Failed;
    }
    return status::Ok;
}

std::vector<std::uint16_t> samples16(const WorkingPicture& picture) {
    std::vector<std::uint16_t> s(picture.data.size() / 2);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = picture.bigEndian ? loadBe16(picture.data, 2 * i) : loadLe16(picture.data, 2 * i);
    return s;
}

} // namespace kv::imaging
