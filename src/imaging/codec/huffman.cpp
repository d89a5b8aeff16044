#include "imaging/codec/huffman.h"

#include <cstring>

namespace kv::codec::detail {

HuffmanTable buildOptimalCode(const std::array<std::uint32_t, 256>& frequency) {
    // Figure K.1: code sizes, with symbol 256 as the reserved code point so that no code is
    // all ones.
    std::int64_t freq[257];
    int codeSize[257];
    int others[257];
    for (int i = 0; i < 256; ++i)
        freq[i] = frequency[i];
    freq[256] = 1;
    for (int i = 0; i < 257; ++i) {
        codeSize[i] = 0;
        others[i] = -1;
    }
    // Symbols still in play, in increasing value (keeps the tie rule of the loop below).
    int active[257];
    int activeCount = 0;
    for (int i = 0; i < 257; ++i)
        if (freq[i] > 0)
            active[activeCount++] = i;
    for (;;) {
        // The least frequent symbol, the higher value on ties, then the next least.
        int c1 = -1, at1 = -1;
        std::int64_t v = INT64_MAX;
        for (int a = 0; a < activeCount; ++a)
            if (freq[active[a]] <= v) {
                v = freq[active[a]];
                c1 = active[a];
                at1 = a;
            }
        int c2 = -1, at2 = -1;
        v = INT64_MAX;
        for (int a = 0; a < activeCount; ++a)
            if (a != at1 && freq[active[a]] <= v) {
                v = freq[active[a]];
                c2 = active[a];
                at2 = a;
            }
        if (c2 < 0)
            break;
        for (int a = at2; a + 1 < activeCount; ++a)
            active[a] = active[a + 1];
        --activeCount;
        freq[c1] += freq[c2];
        freq[c2] = 0;
        ++codeSize[c1];
        while (others[c1] >= 0) {
            c1 = others[c1];
            ++codeSize[c1];
        }
        others[c1] = c2;
        ++codeSize[c2];
        while (others[c2] >= 0) {
            c2 = others[c2];
            ++codeSize[c2];
        }
    }
    // Figure K.2: number of codes of each size (a tree of 257 leaves is at most 256 deep).
    int bits[258] = {};
    for (int i = 0; i < 257; ++i)
        if (codeSize[i] > 0)
            ++bits[codeSize[i]];
    // Figure K.3: limit code lengths to 16 bits.
    for (int i = 257; i > 16; --i) {
        while (bits[i] > 0) {
            int j = i - 2;
            while (bits[j] == 0)
                --j;
            bits[i] -= 2;
            bits[i - 1] += 1;
            bits[j + 1] += 2;
            bits[j] -= 1;
        }
    }
    // Remove the reserved code point from the longest length.
    int longest = 16;
    while (longest > 0 && bits[longest] == 0)
        --longest;
    if (longest > 0)
        --bits[longest];

    HuffmanTable table;
    for (int i = 1; i <= 16; ++i)
        table.counts[i - 1] = static_cast<std::uint8_t>(bits[i]);
    // Figure K.4: symbols by increasing code size, then value; the counts give their lengths.
    std::uint8_t order[256];
    int count = 0;
    for (int size = 1; size <= 256 && count < 256; ++size)
        for (int s = 0; s < 256; ++s)
            if (codeSize[s] == size)
                order[count++] = static_cast<std::uint8_t>(s);
    std::uint8_t lengthOf[256] = {};
    for (int length = 1, k = 0; length <= 16; ++length)
        for (int i = 0; i < table.counts[length - 1] && k < count; ++i)
            lengthOf[order[k++]] = static_cast<std::uint8_t>(length);
    // The length limit can move symbols of different code sizes into one length: list them by
    // length and, within a length, by value.
    for (int length = 1; length <= 16; ++length)
        for (int s = 0; s < 256; ++s)
            if (lengthOf[s] == length)
                table.symbols[table.symbolCount++] = static_cast<std::uint8_t>(s);
    return table;
}

void assignCodes(const std::uint8_t* counts, const std::uint8_t* symbols, int symbolCount,
                 std::array<std::uint16_t, 256>& codes, std::array<std::uint8_t, 256>& lengths) {
    codes.fill(0);
    lengths.fill(0);
    // Annex C: consecutive codes within a length, one bit longer on each step of length.
    std::uint32_t code = 0;
    int k = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < counts[length - 1] && k < symbolCount; ++i, ++k) {
            if (code < (1u << length)) {
                codes[symbols[k]] = static_cast<std::uint16_t>(code);
                lengths[symbols[k]] = static_cast<std::uint8_t>(length);
            }
            ++code;
        }
        code <<= 1;
    }
}

void buildLookup(const std::uint8_t* counts, const std::uint8_t* symbols, int symbolCount,
                 std::uint8_t* lookup, std::array<std::uint8_t, 256>& lengths) {
    lengths.fill(0);
    // Canonical codes lead consecutive runs of windows from 0 upwards, so the windows with a
    // symbol form one range [0, covered); the rest get 0xFF.
    std::uint32_t covered = 0;
    std::uint32_t code = 0;
    int k = 0;
    for (int length = 1; length <= 16; ++length) {
        for (int i = 0; i < counts[length - 1] && k < symbolCount; ++i, ++k) {
            const std::uint8_t symbol = symbols[k];
            lengths[symbol] = static_cast<std::uint8_t>(length);
            // A code that does not fit its length (counts that overfill the code space)
            // leads no window.
            if (code < (1u << length)) {
                const std::uint32_t first = code << (16 - length);
                const std::uint32_t count = 1u << (16 - length);
                std::memset(lookup + first, symbol, count);
                covered = first + count;
            }
            ++code;
        }
        code <<= 1;
    }
    std::memset(lookup + covered, 0xFF, 65536 - covered);
}

void buildFastLookup(const std::uint8_t* lookup, const std::array<std::uint8_t, 256>& lengths,
                     std::uint16_t* fast) {
    constexpr int span = 1 << (16 - kFastBits);
    for (int prefix = 0; prefix < (1 << kFastBits); ++prefix) {
        const std::uint8_t* windows = lookup + prefix * span;
        const std::uint8_t symbol = windows[0];
        const int length = lengths[symbol];
        bool uniform = length >= 1 && length <= kFastBits;
        const std::uint64_t same = symbol * 0x0101010101010101ull;
        for (int i = 0; uniform && i < span; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, windows + i, 8);
            uniform = word == same;
        }
        fast[prefix] = uniform ? static_cast<std::uint16_t>((length << 8) | symbol) : 0;
    }
}

} // namespace kv::codec::detail
