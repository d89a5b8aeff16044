#include "imaging/process/gain_file.h"

#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"

#include <algorithm>
#include <fstream>

namespace kv::process {
namespace {

constexpr std::size_t kStartValuesOffset = 0;
constexpr std::size_t kStreamsOffset = 3968;

} // namespace

void DecodeGainStream(std::uint16_t start, const std::uint8_t* words, std::uint16_t* gains) {
    int value = start;
    for (int i = 0; i < kGainStreamValues; ++i) {
        const unsigned word = words[2 * (i / 4)] | (unsigned(words[2 * (i / 4) + 1]) << 8);
        int nibble = (word >> (4 * (i % 4))) & 0xF;
        if (nibble >= 8)
            nibble -= 16;
        value += nibble;
        // A hostile start value can walk outside 0..8191; keep the gain a valid u16.
        gains[i] = static_cast<std::uint16_t>(std::clamp(value, 0, 8191) * 8);
    }
}

bool DecodeGainImage(ByteSpan encoded, std::vector<std::uint16_t>& gains) {
    if (encoded.size() != kEncodedGainBytes)
        return false;
    gains.assign(kMosaicSamples, kGainUnity);
    std::uint16_t decoded[kGainStreamValues];
    for (int column = 0; column < kMosaicWidth; ++column) {
        for (int p = 0; p < 2; ++p) {
            const std::size_t stream = 2 * std::size_t(column) + p;
            DecodeGainStream(loadLe16(encoded, kStartValuesOffset + 2 * stream),
                             encoded.data() + kStreamsOffset + stream * kGainStreamBytes, decoded);
            for (int i = 0; i < kGainStreamValues; ++i) {
                const int line = kMosaicHeight - 1 - p - 2 * i;
                gains[std::size_t(line) * kMosaicWidth + column] = decoded[i];
            }
        }
    }
    return true;
}

bool LoadGainFile(const std::filesystem::path& path, std::vector<std::uint16_t>& gains,
                  std::string* error, Operator* op) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        if (op)
            op->message(imaging::kFileErrorMessage);
        if (error)
            *error = "cannot open gain file " + path.string();
        return false;
    }
    if (size == kEncodedGainBytes) {
        std::ifstream in(path, std::ios::binary);
        Bytes bytes(kEncodedGainBytes);
        in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
        if (in.gcount() == std::streamsize(bytes.size()) && DecodeGainImage(bytes, gains))
            return true;
        if (error)
            *error = "cannot read gain file " + path.string();
        return false;
    }
    imaging::WorkingPicture picture;
    if (imaging::ReadWorkingTiff(path, picture, 0, op) != status::Ok) {
        if (error)
            *error = "cannot read gain file " + path.string();
        return false;
    }
    if (picture.ifd.width != kMosaicWidth || picture.ifd.height != kMosaicHeight ||
        picture.ifd.bitsPerSample != 16 || picture.data.size() < kMosaicSamples * 2) {
        if (error)
            *error = path.string() + " is not a 960 x 800 16-bit gain file";
        return false;
    }
    gains = imaging::samples16(picture);
    gains.resize(kMosaicSamples);
    return true;
}

void ApplyGains(std::uint16_t* mosaic, const std::uint16_t* gains, std::size_t count,
                std::uint16_t limit) {
    for (std::size_t i = 0; i < count; ++i) {
        if (gains[i] == kGainNotFormed)
            continue;
        const std::uint32_t v = (std::uint32_t(mosaic[i]) * gains[i]) >> 10;
        mosaic[i] = static_cast<std::uint16_t>(std::min<std::uint32_t>(v, limit));
    }
}

} // namespace kv::process
