// The wavelet decoder on arbitrary bytes: the first byte picks the mode (quality 0-3), the rest
// is the stream. The stream parser (DecodeStream: markers, tables, symbols into the planes)
// runs on every input; whatever the bytes, it stays inside the stream and the planes and
// succeeds or fails with one of the codec's codes. The whole picture (transform and rendering,
// fixed work on 576000 bytes whatever the input) runs on one input in 32, chosen by the first
// byte's top bits, and checks that a failure leaves a black picture. Build with
// KV_FUZZ_NO_CHECKSUM so that mutations get past the checksums into the symbol decoder.

#include "imaging/codec/wavelet_codec.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool knownError(kv::codec::DecodeError e) {
    const auto code = static_cast<int>(e);
    return code == 1 || code == 2 || (code >= 4 && code <= 9);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One codec for the process, as the program keeps one: state must not leak between inputs.
    static kv::codec::WaveletCodec codec;
    static std::vector<std::uint8_t> out(kv::codec::kRgbBytes);
    if (size == 0 || size > 256 * 1024)
        return 0;
    const int mode = data[0] & 3;
    const kv::ByteSpan stream(data + 1, size - 1);
    int reduced = mode;
    const kv::codec::DecodeError parsed = codec.DecodeStream(stream, reduced);
    if (parsed != kv::codec::DecodeError::None && !knownError(parsed))
        std::abort();
    if ((data[0] >> 3) != 0x1F)
        return 0;
    const kv::Status result = codec.DecodePicture(stream, out, mode);
    if (codec.lastError() != parsed)
        std::abort(); // the same stream parses the same way
    if (result == kv::status::Ok) {
        if (parsed != kv::codec::DecodeError::None)
            std::abort();
    } else {
        if (result != kv::status::Failed || !knownError(parsed))
            std::abort();
        static const std::vector<std::uint8_t> black(kv::codec::kRgbBytes);
        if (std::memcmp(out.data(), black.data(), black.size()) != 0) // not an instrumented loop
            std::abort();
    }
    return 0;
}
