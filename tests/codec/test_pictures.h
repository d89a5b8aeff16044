// Test pictures and picture comparison.
#pragma once

#include "base/bytes.h"
#include "imaging/codec/synthetic_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kv::codec::test {

inline Bytes naturalPicture(std::uint32_t seed, double noise = 4.0) {
    return syntheticPicture(seed, noise);
}

inline double psnr(ByteSpan a, ByteSpan b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace kv::codec::test
