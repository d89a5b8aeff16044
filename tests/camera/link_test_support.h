// Helpers of the camera link tests: short waits, a scripted far end on a bare
// pseudo-terminal, and recording fakes of the operator and the events receiver.
#pragma once

#include "base/operator.h"
#include "camera/camera_events.h"
#include "camera/camera_link.h"
#include "camsim/bench_camera.h"
#include "platform/pseudo_terminal.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kv::camera::test {

using namespace std::chrono_literals;

// Waits a tight link would use; the serial time-out stays long enough for a loaded machine
// wherever a test expects an answer.
inline LinkTiming quickTiming(std::chrono::milliseconds serialTimeout = 400ms) {
    LinkTiming t;
    t.serialTimeout = serialTimeout;
    t.pingInterval = 20ms;
    t.handshakePoll = 2ms;
    t.busyPoll = 20ms;
    t.shutdownPoll = 5ms;
    t.longWaitSleep = 1ms;
    t.statusRetrySleep = 5ms;
    return t;
}

inline LinkOptions linkOptions(const std::string& device, LinkTiming timing = quickTiming(),
                               CameraEvents* events = nullptr) {
    LinkOptions o;
    o.devicePath = device;
    o.timing = timing;
    o.events = events;
    return o;
}

// Fault options built by a function: `faults([](auto& f) { f.silent = true; })`.
inline camsim::FaultOptions faults(const std::function<void(camsim::FaultOptions&)>& set) {
    camsim::FaultOptions f;
    set(f);
    return f;
}

// Polls `condition` until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// The far end as a test script: reads what the host sent, writes what the test says.
class ScriptedPeer {
public:
    ScriptedPeer() = default;
    ~ScriptedPeer() {
        if (answerer_.joinable())
            answerer_.join();
    }
    // Answers the host's next line (read up to its LF) with `bytes`, from a thread of its own:
    // the host drops what waits on the line before a command, so answers must come after it.
    void answerNextLine(std::string bytes, std::chrono::milliseconds delay = 0ms) {
        if (answerer_.joinable())
            answerer_.join();
        answerer_ = std::thread([this, bytes = std::move(bytes), delay] {
            std::string line;
            const auto end = std::chrono::steady_clock::now() + 5s;
            while ((line.empty() || line.back() != '\n') && std::chrono::steady_clock::now() < end)
                line += receive(1, 100ms);
            answered_ = line;
            std::this_thread::sleep_for(delay);
            send(bytes);
        });
    }
    // The line the last answerNextLine answered (waits for it).
    std::string answeredLine() {
        if (answerer_.joinable())
            answerer_.join();
        return answered_;
    }
    const std::string& path() const { return pty_.slavePath(); }
    bool ok() const { return pty_.isOpen(); }
    void send(std::string_view bytes) {
        pty_.write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    void send(const Bytes& bytes) { pty_.write(bytes.data(), bytes.size()); }
    // Reads until `count` bytes came or `limit` passed.
    std::string receive(std::size_t count, std::chrono::milliseconds limit = 5s) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            std::uint8_t buf[4096];
            const long n = pty_.read(buf, std::min(sizeof buf, count - got.size()), 50ms);
            if (n < 0)
                break;
            got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
        }
        return got;
    }
    // Everything that arrives within `quiet` of silence.
    std::string drain(std::chrono::milliseconds quiet = 100ms) {
        std::string got;
        for (;;) {
            std::uint8_t buf[4096];
            const long n = pty_.read(buf, sizeof buf, quiet);
            if (n <= 0)
                return got;
            got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
        }
    }
    void hangUp() { pty_.closeMaster(); }
    platform::PseudoTerminal& pty() { return pty_; }

private:
    platform::PseudoTerminal pty_;
    std::thread answerer_;
    std::string answered_;
};

class RecordingEvents : public CameraEvents {
public:
    void idleKick() override { ++kicks; }
    void transferNotice(int code, std::shared_ptr<TransferItem>, long) override {
        std::lock_guard<std::mutex> g(mutex);
        notices.push_back(code);
    }
    std::atomic<int> kicks{0};
    std::mutex mutex;
    std::vector<int> notices;
};

class RecordingOperator : public SilentOperator {
public:
    void message(std::string_view text) override { messages.emplace_back(text); }
    void setProgressText(std::string_view text) override { progress.emplace_back(text); }
    void beginProgress(std::string_view text, long) override { boxes.emplace_back(text); }
    void endProgress() override { ++closed; }
    bool cancelled() override { return cancelAfterChecks >= 0 && ++checks > cancelAfterChecks; }
    std::vector<std::string> messages, progress, boxes;
    int closed = 0;
    int checks = 0;
    int cancelAfterChecks = -1;
};

} // namespace kv::camera::test
