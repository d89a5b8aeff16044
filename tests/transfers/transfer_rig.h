// A bench camera on a pseudo-terminal and a connected CameraLink with short waits, shared by
// the transfer tests.
#pragma once

#include "camera/camera_link.h"
#include "camera/transfer_item.h"
#include "camera/transfers.h"
#include "camsim/bench_camera.h"
#include "camsim/transfer_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace kv::testing {

using namespace std::chrono_literals;

struct Notice {
    int code;
    std::shared_ptr<camera::TransferItem> item;
    long value;
};

class RecordingEvents : public camera::CameraEvents {
public:
    void transferNotice(int code, std::shared_ptr<camera::TransferItem> item, long value) override {
        std::lock_guard<std::mutex> guard(mutex_);
        notices_.push_back({code, std::move(item), value});
        changed_.notify_all();
    }
    std::vector<Notice> notices() {
        std::lock_guard<std::mutex> guard(mutex_);
        return notices_;
    }
    int count(int code) {
        int n = 0;
        for (const Notice& notice : notices())
            n += notice.code == code;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        notices_.clear();
    }
    // Waits until `n` notices with code 2 or 6 have come.
    bool waitForEnds(int n, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            int ends = 0;
            for (const Notice& notice : notices_)
                ends += notice.code == camera::notice::ItemReceived ||
                        notice.code == camera::notice::ItemFailed;
            return ends >= n;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notice> notices_;
};

inline camera::LinkTiming fastLinkTiming() {
    camera::LinkTiming timing;
    timing.serialTimeout = 80ms;
    timing.pingInterval = 40ms;
    timing.handshakePoll = 2ms;
    timing.busyPoll = 20ms;
    timing.shutdownPoll = 10ms;
    timing.longWaitSleep = 2ms;
    timing.statusRetrySleep = 5ms;
    return timing;
}

inline camera::TransferTiming fastTransferTiming() {
    camera::TransferTiming timing;
    timing.resendDelay = 20ms;
    timing.rawRetrySleep = 1ms;
    timing.rawReadRetries = 6;
    timing.parameterWait = 20ms;
    timing.plainUploadDelay = 5ms;
    timing.flashPoll = 10ms;
    return timing;
}

inline camsim::BenchCameraOptions benchOptions(camsim::CameraKind kind = camsim::CameraKind::Plain,
                                               std::string firmware = "3.01") {
    camsim::BenchCameraOptions options;
    options.kind = kind;
    options.firmware = std::move(firmware);
    options.initialRate = 115200;
    return options;
}

class Rig {
public:
    explicit Rig(camsim::BenchCameraOptions options = benchOptions(),
                 camera::LinkTiming timing = fastLinkTiming())
        : camera(options) {
        EXPECT_TRUE(camera.ok());
        camera::LinkOptions linkOptions;
        linkOptions.devicePath = camera.devicePath();
        linkOptions.timing = timing;
        linkOptions.events = &events;
        link = std::make_unique<camera::CameraLink>("COM1", camera::kLineRS232, linkOptions);
        connected = link->connect(115200) == camera::LinkState::Connected;
        EXPECT_TRUE(connected);
        link->setLinkState(camera::LinkState::Ready);
        // The ping thread is up once the camera heard its first ping.
        EXPECT_TRUE(camera.waitForPings(1, 5s));
        transfers = std::make_unique<camera::CameraTransfers>(*link, fastTransferTiming());
    }
    ~Rig() {
        transfers.reset();
        link.reset();
    }

    template <class F>
    auto store(F f) {
        return camsim::withTransferStore(camera, f);
    }
    // Commands the camera received that start with `prefix`.
    std::vector<std::string> commands(std::string_view prefix) {
        std::vector<std::string> out;
        for (const std::string& line : camera.commandLog())
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }

    RecordingEvents events;
    camsim::BenchCamera camera;
    std::unique_ptr<camera::CameraLink> link;
    std::unique_ptr<camera::CameraTransfers> transfers;
    bool connected = false;
};

inline Bytes patternBytes(std::size_t size, std::uint32_t seed) {
    Bytes out(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& b : out) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
}

// An item as the camera stores it: content whose word sum (with its check word) is 0xFFFF.
inline camsim::StoredItem pictureItem(std::size_t size, std::int16_t quality, std::uint32_t seed) {
    camsim::StoredItem item;
    item.kind = 0;
    item.quality = quality;
    item.data = camsim::appendCheckWord(patternBytes(size - 2, seed));
    return item;
}
inline camsim::StoredItem noteItem(std::size_t size, std::uint32_t seed) {
    camsim::StoredItem item;
    item.kind = 1;
    item.data = camsim::appendCheckWord(patternBytes(size - 2, seed));
    return item;
}

inline camsim::CardFile cardFileOf(std::string name, std::string ext, std::size_t size,
                                   std::uint32_t seed) {
    return {std::move(name), std::move(ext), patternBytes(size, seed), std::nullopt};
}

} // namespace kv::testing
