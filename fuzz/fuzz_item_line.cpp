// The item line parser on arbitrary camera output.

#include "camera/item_line.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kv::camera::ItemLine item = kv::camera::parseItemLine(kv::ByteSpan(data, size));
    if (item.fieldsRead < 0 || item.fieldsRead > 8)
        __builtin_trap();
    return 0;
}
