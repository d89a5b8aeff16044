// Gain files: the encoded gain image's stream decoder on streams of the size it sees (a start
// value and kGainStreamBytes of differences, zero-padded), then the loader on the input as a
// file. A whole encoded image is decoded once at start-up, so the loader's choice of form and
// the image layout are covered without a 768000-value decode per input.

#include "imaging/process/gain_file.h"
#include "imaging/process/ram_file.h"
#include "memory_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using namespace kv::process;

// The loader reads a path; an in-memory file keeps the disk out of the loop.
const MemoryFile& file() {
    static const MemoryFile f("kv_fuzz_gain");
    return f;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // An encoded image of all-zero bytes: every gain is 0.
    std::vector<std::uint16_t> gains;
    std::string error;
    if (file().fill(nullptr, 0, kEncodedGainBytes) &&
        (!LoadGainFile(file().path(), gains, &error) || gains.size() != kMosaicSamples ||
         std::any_of(gains.begin(), gains.end(), [](std::uint16_t g) { return g != 0; })))
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kStream = 2 + kGainStreamBytes;
    std::uint16_t gains[kGainStreamValues];
    for (std::size_t at = 0; at < size; at += kStream) {
        std::uint8_t stream[kStream] = {};
        std::memcpy(stream, data + at, std::min(kStream, size - at));
        const auto start = static_cast<std::uint16_t>(stream[0] | (stream[1] << 8));
        DecodeGainStream(start, stream + 2, gains);
        for (std::uint16_t g : gains)
            if (g % 8 != 0 || g > 8191 * 8)
                __builtin_trap();
    }
    // Small files are not encoded images, so the loader takes them as TIFF and must refuse
    // or size-check them.
    std::vector<std::uint16_t> loaded;
    std::string error;
    if (file().fill(data, size, size) && LoadGainFile(file().path(), loaded, &error) &&
        loaded.size() != kMosaicSamples)
        __builtin_trap();
    return 0;
}
