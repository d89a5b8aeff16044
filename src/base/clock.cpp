#include "base/clock.h"

#include <algorithm>
#include <thread>

namespace kv {

RealClock::RealClock() : start_(std::chrono::steady_clock::now()) {}

RealClock::RealClock(std::function<void()> betweenSlices)
    : start_(std::chrono::steady_clock::now()), betweenSlices_(std::move(betweenSlices)) {}

void RealClock::sleep(std::chrono::milliseconds d) {
    if (d.count() <= 0)
        return;
    if (!betweenSlices_) {
        std::this_thread::sleep_for(d);
        return;
    }
    // Slices end at absolute times so the pumping does not stretch the wait.
    constexpr std::chrono::milliseconds kSlice{50};
    const auto end = std::chrono::steady_clock::now() + d;
    for (;;) {
        const auto left = end - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
        betweenSlices_();
    }
}

std::chrono::milliseconds RealClock::now() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start_);
}

Clock& realClock() {
    static RealClock clock;
    return clock;
}

void VirtualClock::sleep(std::chrono::milliseconds d) {
    if (d.count() <= 0)
        return;
    slept_ += d.count();
    const std::chrono::milliseconds t(now_ += d.count());
    std::vector<Observer> observers;
    {
        std::lock_guard lock(observersLock_);
        observers = observers_;
    }
    for (const Observer& o : observers)
        o(t);
}

std::chrono::milliseconds VirtualClock::now() const {
    return std::chrono::milliseconds(now_.load());
}

void VirtualClock::addObserver(Observer observer) {
    std::lock_guard lock(observersLock_);
    observers_.push_back(std::move(observer));
}

} // namespace kv
