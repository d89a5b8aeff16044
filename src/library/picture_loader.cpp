#include "library/picture_loader.h"

#include "imaging/codec/wavelet_codec.h"

#include <algorithm>

namespace kv::library {

PictureLoader::PictureLoader(int threads, Deliver deliver) : deliver_(std::move(deliver)) {
    for (int i = 0; i < std::max(threads, 1); ++i)
        workers_.emplace_back([this] { run(); });
}

PictureLoader::~PictureLoader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void PictureLoader::request(RenderJob job, bool urgent) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(queue_, [&](const RenderJob& waiting) {
            return waiting.id == job.id && waiting.mode == job.mode;
        });
        if (urgent)
            queue_.push_front(std::move(job));
        else
            queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void PictureLoader::clearPending() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

std::size_t PictureLoader::busy() const {
    std::lock_guard lock(mutex_);
    return queue_.size() + running_;
}

void PictureLoader::run() {
    // One codec per worker: its buffers are reused for every picture this thread decodes.
    codec::WaveletCodec codec;
    for (;;) {
        RenderJob job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        RenderResult result{job.id, job.revision, job.mode, nullptr};
        imaging::RgbPicture picture = renderPicture(job.source, job.mode, job.outputSize, &codec);
        if (picture.valid())
            result.picture = std::make_shared<const imaging::RgbPicture>(std::move(picture));
        deliver_(std::move(result));
        std::lock_guard lock(mutex_);
        --running_;
    }
}

} // namespace kv::library
