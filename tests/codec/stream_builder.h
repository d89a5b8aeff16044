// Hand-built wavelet streams for decoder tests: every plane uses a flat code (symbols 0-254 as
// 8-bit codes equal to their value), so a band's content is written symbol by symbol.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace kv::codec::test {

struct Symbol {
    std::uint8_t symbol;
    std::uint16_t extra = 0; // escape value (8 or 16 bits by the symbol)
};

// Symbols of one band: plane 0-2, level 4 (lowest band, band 0) or 0-3 with band 0-2.
using BandContent = std::function<std::vector<Symbol>(int plane, int level, int band)>;

// A run of n zeros as one escape (105 carries 16 bits).
inline Symbol zeroRun(int n) {
    return {105, static_cast<std::uint16_t>(n)};
}

inline int bandSize(int level) {
    return level == 4 ? 30 * 25 : (240 >> level) * (200 >> level);
}

struct StreamOptions {
    std::int16_t q[3] = {10, 10, 10};
    std::int16_t mean[3] = {0, 0, 0};
    std::uint8_t padValue = 0;
};

inline Bytes buildStream(const BandContent& content, const StreamOptions& options = {}) {
    Bytes out;
    std::uint16_t sum = 0;
    auto byte = [&](std::uint8_t v) {
        out.push_back(v);
        sum = static_cast<std::uint16_t>(sum + v);
    };
    auto u16 = [&](std::uint16_t v) {
        byte(static_cast<std::uint8_t>(v));
        byte(static_cast<std::uint8_t>(v >> 8));
    };
    auto marker = [&](std::uint16_t v) {
        appendLe16(out, v);
        sum = 0;
    };
    auto checksum = [&] { appendLe16(out, sum); };

    marker(6);
    byte(3);
    byte(0);
    checksum();
    const int order[3] = {2, 0, 1};
    const std::uint16_t letters[3] = {'Y', 'b', 'r'};
    for (int plane : order) {
        marker(5);
        u16(letters[plane]);
        for (int i = 0; i < 8; ++i)
            u16(0);
        u16(static_cast<std::uint16_t>(options.q[plane]));
        u16(static_cast<std::uint16_t>(options.mean[plane]));
        for (int length = 1; length <= 16; ++length)
            byte(length == 8 ? 255 : 0);
        for (int s = 0; s < 255; ++s)
            byte(static_cast<std::uint8_t>(s));
        checksum();
        for (int level = 4; level >= 0; --level) {
            marker(4);
            u16(static_cast<std::uint16_t>(level));
            for (int band = 0; band < (level == 4 ? 1 : 3); ++band)
                for (const Symbol& s : content(plane, level, band)) {
                    byte(s.symbol);
                    if (s.symbol >= 100 && s.symbol <= 105) {
                        if (s.symbol & 1)
                            byte(static_cast<std::uint8_t>(s.extra >> 8));
                        byte(static_cast<std::uint8_t>(s.extra));
                    }
                }
            checksum();
        }
        if (out.size() % 2 == 1)
            out.push_back(options.padValue);
    }
    return out;
}

// Every band one run of zeros.
inline std::vector<Symbol> emptyBand(int, int level, int) {
    return {zeroRun(bandSize(level))};
}

} // namespace kv::codec::test
