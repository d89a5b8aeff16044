// Little- and big-endian loads and stores on byte spans. Callers check bounds first;
// these helpers never read past the span they are given (they assert in debug builds).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kv {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

inline std::uint16_t loadLe16(ByteSpan b, std::size_t at) {
    assert(at + 2 <= b.size());
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t loadLe32(ByteSpan b, std::size_t at) {
    assert(at + 4 <= b.size());
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline std::uint16_t loadBe16(ByteSpan b, std::size_t at) {
    assert(at + 2 <= b.size());
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline std::uint32_t loadBe32(ByteSpan b, std::size_t at) {
    assert(at + 4 <= b.size());
    return (static_cast<std::uint32_t>(b[at]) << 24) |
           (static_cast<std::uint32_t>(b[at + 1]) << 16) |
           (static_cast<std::uint32_t>(b[at + 2]) << 8) | static_cast<std::uint32_t>(b[at + 3]);
}

inline void appendLe16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void appendLe32(Bytes& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}
inline void storeLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    assert(at + 2 <= b.size());
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    assert(at + 4 <= b.size());
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace kv
