// The data source's hand-off bitmap loader over arbitrary file bytes.
#include "twain_source/handoff_bitmap.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto bmp = kvsource::ParseHandoffBitmap({data, size}, nullptr)) {
        volatile std::uint8_t sink = bmp->row(bmp->height - 1)[0];
        (void)sink;
        (void)kvsource::MakeNativeTiff(*bmp);
    }
    return 0;
}
