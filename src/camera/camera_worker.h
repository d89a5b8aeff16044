// CameraWorker: the transfer worker of a camera, a thread with its own request queue. Action
// 1 retrieves the item a request carries; 3, 4 or any other action ends the thread with exit
// code 0x101, 0x102 or 0x103; closing the queue ends it with 0x101.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace kv::camera {

struct TransferItem;

namespace worker {
inline constexpr int Retrieve = 1;
inline constexpr int End3 = 3;
inline constexpr int End4 = 4;
inline constexpr int ExitClosed = 0x101; // also the exit of action 3
inline constexpr int ExitEnd4 = 0x102;
inline constexpr int ExitOther = 0x103;
} // namespace worker

struct WorkerRequest {
    int action = worker::End4;
    std::shared_ptr<TransferItem> item; // for action 1
};

class CameraWorker {
public:
    // Runs on the worker thread for each action-1 request.
    using Job = std::function<void(CameraWorker&, const std::shared_ptr<TransferItem>&)>;

    explicit CameraWorker(Job job);
    // Closes the queue and waits for the thread to end (a running job finishes first).
    ~CameraWorker();
    CameraWorker(const CameraWorker&) = delete;
    CameraWorker& operator=(const CameraWorker&) = delete;

    // Queues a request; false once the worker has ended or its queue is closed.
    bool post(WorkerRequest request);
    // Closes the queue: the thread ends with 0x101 after the requests posted before.
    void close();

    std::thread::id threadId() const { return id_; }
    bool finished() const { return exitCode_.load() != 0; }
    // 0 while running, else the exit code.
    int exitCode() const { return exitCode_.load(); }
    // Waits up to `limit` for the thread to end; true when it has.
    bool waitFinished(std::chrono::milliseconds limit);

    // For the job, between blocks: takes a waiting request off the queue. A stop request
    // makes stopRequested() true (the thread ends once the job returns) and is returned too.
    std::optional<WorkerRequest> takeWaiting();
    bool stopRequested() const { return stopCode_.load() != 0; }

    // The worker whose thread is calling, or nullptr.
    static CameraWorker* current();

private:
    void run();
    static int exitCodeOf(int action);

    Job job_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<WorkerRequest> queue_;
    bool closed_ = false;
    std::atomic<int> stopCode_{0};
    std::atomic<int> exitCode_{0};
    std::thread thread_;
    std::thread::id id_;
};

} // namespace kv::camera
