// The bench lens cradle.

#include "camsim/bench_cradle.h"

#include "platform/pseudo_terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kv::camsim {

namespace {
using namespace std::chrono_literals;
constexpr std::size_t kMaxLine = 256;
// The start-up lines in their order; the last one (MH) homes the cradle.
constexpr const char* kStartup[] = {"MED", "MFE", "VI", "VF", "AC", "MH"};
} // namespace

BenchCradle::BenchCradle(BenchCradleOptions options)
    : options_(options), clock_(options.clock ? *options.clock : realClock()),
      faults_(options.faults) {
    pty_ = std::make_unique<platform::PseudoTerminal>();
    if (!pty_->isOpen())
        return;
    devicePath_ = pty_->slavePath();
    ok_ = true;
    thread_ = std::thread([this] { run(); });
}

BenchCradle::~BenchCradle() {
    stop_ = true;
    if (pty_)
        pty_->wake();
    if (thread_.joinable())
        thread_.join();
}

void BenchCradle::setFaults(const CradleFaults& faults) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_ = faults;
}

std::vector<std::string> BenchCradle::commandLog() {
    std::lock_guard<std::mutex> guard(mutex_);
    return log_;
}

void BenchCradle::run() {
    std::string line;
    std::uint8_t chunk[512];
    while (!stop_.load()) {
        const long n = pty_->read(chunk, sizeof chunk, 200ms);
        if (n < 0) {
            std::this_thread::sleep_for(50ms);
            continue;
        }
        for (long i = 0; i < n; ++i) {
            line.push_back(static_cast<char>(chunk[i]));
            if (line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n') {
                line.resize(line.size() - 2);
                handle(line);
                line.clear();
            } else if (line.size() > kMaxLine) {
                line.clear();
            }
        }
    }
}

void BenchCradle::reply(const std::string& text) {
    CradleFaults faults;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        faults = faults_;
    }
    if (faults.silent)
        return;
    const std::string out = faults.overlong ? std::string(300, 'x') : text;
    pty_->write(reinterpret_cast<const std::uint8_t*>(out.data()), out.size());
}

void BenchCradle::moveTo(long target) {
    target = std::clamp(target, 0L, options_.travel);
    const long from = position_.load();
    const long v = std::max(1L, speed_.load());
    clock_.sleep(std::chrono::milliseconds(std::abs(target - from) * 1000 / v));
    long slip = 0;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        slip = faults_.slipSteps;
    }
    if (target < from && slip != 0)
        slipped_ += slip;
    position_ = target;
}

void BenchCradle::handle(const std::string& line) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        log_.push_back(line);
    }
    const std::size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const long value =
        space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);

    // MED starts the sequence afresh; the others are taken only in their turn.
    const int stage = stage_.load();
    if (word == "MED") {
        stage_ = 1;
    } else if (stage < kReady) {
        if (word != kStartup[stage]) {
            ++orderErrors_;
            return;
        }
        stage_ = stage + 1;
    }

    if (word == "VF") {
        speed_ = value;
        reply("VF*");
    } else if (word == "MH") {
        reply("MH*");
        moveTo(0);
        slipped_ = 0; // the home switch sets the lens right again
        reply("F");
    } else if (word == "MA") {
        reply("MA*");
        moveTo(value);
        reply("F");
    } else if (word == "RP") {
        char text[32];
        std::snprintf(text, sizeof text, "RP%04ld*", position_.load());
        reply(text);
    } else if (word == "MED" || word == "MFE" || word == "VI" || word == "AC") {
        reply(word + "*");
    }
    // Anything else is not the controller's: no answer.
}

} // namespace kv::camsim
