#include "library/transfer_rate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kv::library {

std::optional<double> TransferRate::bytesPerSecond() const {
    const double seconds = std::chrono::duration<double>(now_ - start_).count();
    if (seconds < 1.0 || received_ == 0)
        return std::nullopt;
    return static_cast<double>(received_) / seconds;
}

std::optional<long> TransferRate::secondsLeft() const {
    const auto rate = bytesPerSecond();
    if (!rate)
        return std::nullopt;
    const std::uint64_t rest = received_ >= total_ ? 0 : total_ - received_;
    return static_cast<long>(std::ceil(static_cast<double>(rest) / *rate));
}

std::string TransferRate::text() const {
    const auto rate = bytesPerSecond();
    const auto left = secondsLeft();
    if (!rate || !left)
        return {};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f KB/s, %ld:%02ld left", *rate / 1024.0, *left / 60,
                  *left % 60);
    return buffer;
}

std::string percentText(std::uint64_t received, std::uint64_t total) {
    const std::uint64_t percent =
        total == 0 ? 0 : std::min<std::uint64_t>(100, received * 100 / total);
    return " " + std::to_string(percent) + " %";
}

} // namespace kv::library
