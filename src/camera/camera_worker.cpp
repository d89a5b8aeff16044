#include "camera/camera_worker.h"

namespace kv::camera {

namespace {
thread_local CameraWorker* currentWorker = nullptr;
}

CameraWorker::CameraWorker(Job job) : job_(std::move(job)) {
    thread_ = std::thread([this] { run(); });
    id_ = thread_.get_id();
}

CameraWorker::~CameraWorker() {
    close();
    if (!thread_.joinable())
        return;
    if (std::this_thread::get_id() == id_)
        thread_.detach(); // a worker forgotten from its own job: it ends by itself
    else
        thread_.join();
}

int CameraWorker::exitCodeOf(int action) {
    switch (action) {
    case worker::End3:
        return worker::ExitClosed;
    case worker::End4:
        return worker::ExitEnd4;
    default:
        return worker::ExitOther;
    }
}

bool CameraWorker::post(WorkerRequest request) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_ || finished())
            return false;
        queue_.push_back(std::move(request));
    }
    wake_.notify_all();
    return true;
}

void CameraWorker::close() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
    }
    wake_.notify_all();
}

bool CameraWorker::waitFinished(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, limit, [this] { return finished(); });
}

std::optional<WorkerRequest> CameraWorker::takeWaiting() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (queue_.empty())
        return std::nullopt;
    WorkerRequest request = std::move(queue_.front());
    queue_.pop_front();
    if (request.action != worker::Retrieve)
        stopCode_ = exitCodeOf(request.action);
    return request;
}

CameraWorker* CameraWorker::current() {
    return currentWorker;
}

void CameraWorker::run() {
    currentWorker = this;
    int code = 0;
    while (code == 0) {
        WorkerRequest request;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return closed_ || !queue_.empty(); });
            if (queue_.empty()) {
                code = worker::ExitClosed;
                break;
            }
            request = std::move(queue_.front());
            queue_.pop_front();
        }
        if (request.action == worker::Retrieve) {
            if (job_)
                job_(*this, request.item);
            code = stopCode_.load();
        } else {
            code = exitCodeOf(request.action);
        }
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        exitCode_ = code;
    }
    wake_.notify_all();
    currentWorker = nullptr;
}

} // namespace kv::camera
