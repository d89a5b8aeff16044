// The line rate and the time left of a retrieval, for its progress dialog: measured from the
// bytes received since the start, the time left from the bytes still to come.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kv::library {

class TransferRate {
public:
    using Clock = std::chrono::steady_clock;

    explicit TransferRate(std::uint64_t totalBytes, Clock::time_point start = Clock::now())
        : total_(totalBytes), start_(start) {}

    void update(std::uint64_t bytesReceived, Clock::time_point now = Clock::now()) {
        received_ = bytesReceived;
        now_ = now;
    }
    // Bytes per second so far; nothing before a second has passed or any byte came.
    std::optional<double> bytesPerSecond() const;
    // Seconds until the rest has come at that rate.
    std::optional<long> secondsLeft() const;
    // "11.2 KB/s, 0:42 left", or "" while nothing can be said yet.
    std::string text() const;

private:
    std::uint64_t total_;
    std::uint64_t received_ = 0;
    Clock::time_point start_;
    Clock::time_point now_{};
};

// The range of the retrieval's progress bar: the total in 8 KiB units, at least 1.
inline int progressRange(std::uint64_t totalBytes) {
    const std::uint64_t units = totalBytes / 8192;
    return units < 1 ? 1 : units > 0x7fffffff ? 0x7fffffff : static_cast<int>(units);
}

// " 42 %" of the dialog.
std::string percentText(std::uint64_t received, std::uint64_t total);

} // namespace kv::library
