#include "twain_source/velkit/ui_dialog.h"

namespace Velkit {

CTWAINUIDialog::CTWAINUIDialog(std::chrono::milliseconds period) : period_(period) {}

CTWAINUIDialog::~CTWAINUIDialog() {
    destroy();
}

void CTWAINUIDialog::create() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable())
        return;
    stop_ = false;
    timer_ = true;
    thread_ = std::thread([this] { run(); });
}

void CTWAINUIDialog::requestStop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        tasks_.clear();
    }
    wake_.notify_all();
}

void CTWAINUIDialog::destroy() {
    requestStop();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool CTWAINUIDialog::stopping() const {
    std::lock_guard lock(mutex_);
    return stop_;
}

void CTWAINUIDialog::startTimer() {
    std::lock_guard lock(mutex_);
    timer_ = true;
}

void CTWAINUIDialog::stopTimer() {
    std::lock_guard lock(mutex_);
    timer_ = false;
}

bool CTWAINUIDialog::timerRunning() const {
    std::lock_guard lock(mutex_);
    return timer_;
}

void CTWAINUIDialog::postCommand(int id) {
    post([this, id] { onCommand(id); });
}

void CTWAINUIDialog::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stop_)
            return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void CTWAINUIDialog::run() {
    auto nextTick = std::chrono::steady_clock::now() + period_;
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (!tasks_.empty()) {
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (wake_.wait_until(lock, nextTick, [&] { return stop_ || !tasks_.empty(); }))
            continue;
        nextTick = std::chrono::steady_clock::now() + period_;
        if (timer_) {
            lock.unlock();
            onTimer();
            lock.lock();
        }
    }
}

} // namespace Velkit
