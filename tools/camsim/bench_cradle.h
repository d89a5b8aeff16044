// BenchCradle: the lens cradle's stepper-motor controller seen from the other end of its own
// pseudo-terminal. It insists on the start-up order (MED, MFE, VI, VF, AC, then MH homes it),
// ends replies with '*' and motions with a later 'F', answers "RP" with its position, clamps
// positions to its travel, and takes |distance| / speed to move, on the clock it is given (a
// virtual clock makes that instant). Faults: silence, a lens that slips in its holder by N
// steps on every move towards home, and replies that never end.
//
// Threads: one controller thread reads the line and answers; the accessors may be called
// from any thread.
#pragma once

#include "base/clock.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::platform {
class PseudoTerminal;
}

namespace kv::camsim {

struct CradleFaults {
    bool silent = false;   // reads everything, answers nothing
    long slipSteps = 0;    // the lens falls behind by this much on every move towards home
    bool overlong = false; // every reply is 300 bytes without an end
};

struct BenchCradleOptions {
    long travel = 70000;    // positions are clamped to 0..travel
    Clock* clock = nullptr; // time to move; nullptr = the real clock
    CradleFaults faults;
};

class BenchCradle {
public:
    explicit BenchCradle(BenchCradleOptions options = {});
    ~BenchCradle();
    BenchCradle(const BenchCradle&) = delete;
    BenchCradle& operator=(const BenchCradle&) = delete;

    bool ok() const { return ok_; }
    const std::string& devicePath() const { return devicePath_; }

    // The motor's position (what "RP" says).
    long position() const { return position_.load(); }
    // Where the lens really is: the motor's position less what it slipped, or where it was
    // glued.
    long lensPosition() const {
        return glued_.load() ? gluedAt_.load() : position_.load() - slipped_.load();
    }
    // The lens is glued to the board where it is now: the cradle moves without it from now
    // on, until released (the next lens is loaded).
    void glueLens() {
        gluedAt_ = lensPosition();
        glued_ = true;
    }
    void releaseLens() { glued_ = false; }
    // The start-up sequence is done and the cradle was homed.
    bool ready() const { return stage_.load() == kReady; }
    long speed() const { return speed_.load(); }
    void setFaults(const CradleFaults& faults);
    // Every line received, without CR LF.
    std::vector<std::string> commandLog();
    // Lines that came out of the start-up order (they get no answer).
    int orderErrors() const { return orderErrors_.load(); }

private:
    static constexpr int kReady = 6;
    void run();
    void handle(const std::string& line);
    void reply(const std::string& text);
    void moveTo(long target);

    BenchCradleOptions options_;
    Clock& clock_;
    std::unique_ptr<platform::PseudoTerminal> pty_;
    std::string devicePath_;
    bool ok_ = false;

    std::mutex mutex_;
    CradleFaults faults_;
    std::vector<std::string> log_;

    std::atomic<int> stage_{0}; // start-up lines taken in order so far
    std::atomic<long> position_{0};
    std::atomic<long> slipped_{0};
    std::atomic<bool> glued_{false};
    std::atomic<long> gluedAt_{0};
    std::atomic<long> speed_{4000};
    std::atomic<int> orderErrors_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace kv::camsim
