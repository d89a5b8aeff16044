// Canonical Huffman codes of the wavelet stream: building a code from symbol frequencies
// (ITU-T T.81 Annex K.2), assigning codes to lengths (Annex C) and the decoder's 16-bit lookup.
// Internal to the codec library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kv::codec::detail {

// A code as the stream carries it: counts of codes of length 1-16, then the symbols in code
// order.
struct HuffmanTable {
    std::array<std::uint8_t, 16> counts{};
    std::array<std::uint8_t, 256> symbols{};
    int symbolCount = 0;
};

// Code lengths from frequencies (Annex K.2, lengths limited to 16 with one reserved code
// point); symbols ordered by length, then value. Symbols with frequency 0 get no code.
HuffmanTable buildOptimalCode(const std::array<std::uint32_t, 256>& frequency);

// Code and length of every symbol of a table (length 0 = no code); codes that do not fit their
// length are left out.
void assignCodes(const std::uint8_t* counts, const std::uint8_t* symbols, int symbolCount,
                 std::array<std::uint16_t, 256>& codes, std::array<std::uint8_t, 256>& lengths);

// The decoder's tables: lookup[w] is the symbol whose code leads the 16-bit window w (0xFF when
// no code applies); lengths[s] the code length of symbol s (0 when it has none).
void buildLookup(const std::uint8_t* counts, const std::uint8_t* symbols, int symbolCount,
                 std::uint8_t* lookup, std::array<std::uint8_t, 256>& lengths);

// A small first-level table over the leading kFastBits bits, to keep the common short codes
// in the first-level cache: (length << 8) | symbol where every window with that prefix decodes
// through lookup to that symbol and its length is at most kFastBits; 0 where lookup must be
// consulted. It never changes what a window decodes to.
inline constexpr int kFastBits = 10;
void buildFastLookup(const std::uint8_t* lookup, const std::array<std::uint8_t, 256>& lengths,
                     std::uint16_t* fast);

} // namespace kv::codec::detail
