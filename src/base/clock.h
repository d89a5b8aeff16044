// Time as the station procedures and the long camera commands see it. Every wait of a
// procedure (the 500 ms .. 10 000 ms settling waits, the once-a-second status polls) goes
// through a Clock, so a real station really waits while the tests and the bench station run
// the same procedure in virtual time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace kv {

class Clock {
public:
    virtual ~Clock() = default;
    // Waits `d` (nothing for zero or less). A real clock sleeps; a virtual one moves on.
    virtual void sleep(std::chrono::milliseconds d) = 0;
    // Time since the clock's own start.
    virtual std::chrono::milliseconds now() const = 0;
};

// The steady clock. With `betweenSlices`, a long sleep is cut into slices of at most 50 ms
// and the function runs after each (the program pumps its window messages there).
// Thread-safe; `betweenSlices` runs on the sleeping thread.
class RealClock final : public Clock {
public:
    RealClock();
    explicit RealClock(std::function<void()> betweenSlices);
    void sleep(std::chrono::milliseconds d) override;
    std::chrono::milliseconds now() const override;

private:
    std::chrono::steady_clock::time_point start_;
    std::function<void()> betweenSlices_;
};

// One real clock for the whole process (no slices).
Clock& realClock();

// Virtual time: sleep() returns at once and moves the time on. Observers (the bench
// station's devices) are told the new time after every move, on the thread that slept.
// now() and sleep() are thread-safe; add observers before the clock is shared.
class VirtualClock final : public Clock {
public:
    using Observer = std::function<void(std::chrono::milliseconds now)>;

    void sleep(std::chrono::milliseconds d) override;
    std::chrono::milliseconds now() const override;
    // The same as sleep(): for tests that let time pass outside a procedure.
    void advance(std::chrono::milliseconds d) { sleep(d); }
    void addObserver(Observer observer);
    // Sum of every wait so far (equals now() unless the clock was started late).
    std::chrono::milliseconds slept() const { return std::chrono::milliseconds(slept_.load()); }

private:
    std::atomic<std::int64_t> now_{0};
    std::atomic<std::int64_t> slept_{0};
    std::mutex observersLock_;
    std::vector<Observer> observers_;
};

} // namespace kv
