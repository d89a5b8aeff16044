// TransferNoticeQueue: receives the transfer worker's notices on the worker thread and hands
// them, in order, to the thread that waits for the transfer (a retrieval, a frontend's start).
// Kept alive by a shared pointer as long as the worker's job may still post to it.
#pragma once

#include "camera/camera_events.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace kv::camera {

class TransferNoticeQueue : public CameraEvents {
public:
    struct Notice {
        int code;
        std::shared_ptr<TransferItem> item;
        long value;
    };

    void transferNotice(int code, std::shared_ptr<TransferItem> item, long value) override {
        std::lock_guard<std::mutex> guard(mutex_);
        queue_.push_back({code, std::move(item), value});
        changed_.notify_all();
    }
    // The oldest notice, or nothing when none came within `limit`.
    std::optional<Notice> take(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return !queue_.empty(); }))
            return std::nullopt;
        Notice notice = std::move(queue_.front());
        queue_.pop_front();
        return notice;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Notice> queue_;
};

} // namespace kv::camera
