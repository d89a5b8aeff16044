// The bitmap reader on arbitrary bytes: never reads outside the file; a picture it returns has
// exactly the pixels its size says.

#include "imaging/bitmap_reader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kv::imaging::RgbPicture picture = kv::imaging::ReadBitmap(kv::ByteSpan(data, size));
    if (!picture.pixels.empty() && !picture.valid())
        std::abort();
    return 0;
}
