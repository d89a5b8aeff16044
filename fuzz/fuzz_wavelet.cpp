// The wavelet decoder on arbitrary bytes: the first byte picks the mode (quality 0-3), the rest
// is the stream. Whatever the bytes, decoding stays inside the stream and the planes, succeeds
// or fails with one of the codec's codes, and a failure leaves a black picture. Build with
// KV_FUZZ_NO_CHECKSUM so that mutations get past the checksums into the symbol decoder.

#include "imaging/codec/wavelet_codec.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One codec for the process, as the program keeps one: state must not leak between inputs.
    static kv::codec::WaveletCodec codec;
    static std::vector<std::uint8_t> out(kv::codec::kRgbBytes);
    if (size == 0)
        return 0;
    const int mode = data[0] & 3;
    const kv::ByteSpan stream(data + 1, size - 1);
    const kv::Status result = codec.DecodePicture(stream, out, mode);
    const auto code = static_cast<int>(codec.lastError());
    if (result == kv::status::Ok) {
        if (code != 0)
            std::abort();
    } else {
        if (result != kv::status::Failed || (code != 1 && code != 2 && (code < 4 || code > 9)))
            std::abort();
        if (!std::all_of(out.begin(), out.end(), [](std::uint8_t v) { return v == 0; }))
            std::abort();
    }
    return 0;
}
