#include "camera/transfer_checksum.h"

namespace kv::camera {

std::uint16_t addWordSum16(std::uint16_t sum, ByteSpan data) {
    std::uint32_t total = sum;
    const std::size_t words = data.size() / 2;
    for (std::size_t i = 0; i < words; ++i)
        total += static_cast<std::uint32_t>(data[2 * i]) |
                 (static_cast<std::uint32_t>(data[2 * i + 1]) << 8);
    return static_cast<std::uint16_t>(total);
}

std::uint16_t wordSum16(ByteSpan data) {
    return addWordSum16(0, data);
}

std::uint16_t byteSum16(ByteSpan data) {
    return static_cast<std::uint16_t>(byteSum32(data));
}

std::uint32_t byteSum32(ByteSpan data) {
    std::uint32_t total = 0;
    for (std::uint8_t b : data)
        total += b;
    return total;
}

} // namespace kv::camera
