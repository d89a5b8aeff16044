// Rendering pictures on worker threads, for views that must never decode on the GUI thread:
// thumbnails for the grid and stored-size pictures for the zoom windows. Each worker owns its
// own wavelet codec. Requests wait in one queue; urgent ones (the visible page) go in front.
// Results are handed to the `deliver` callback ON THE WORKER THREAD; the GUI forwards them
// to its own thread (a queued signal) and matches them to records by id and revision.
#pragma once

#include "library/output_renderer.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kv::library {

struct RenderJob {
    std::uint64_t id = 0;       // the record's id
    std::uint32_t revision = 0; // the record's revision when asked
    RenderSource source;
    RenderMode mode = RenderMode::Thumbnail;
    int outputSize = kDefaultOutputSize;
};

struct RenderResult {
    std::uint64_t id = 0;
    std::uint32_t revision = 0;
    RenderMode mode = RenderMode::Thumbnail;
    // Null when the file could not be read or decoded (the view shows a placeholder).
    std::shared_ptr<const imaging::RgbPicture> picture;
};

class PictureLoader {
public:
    using Deliver = std::function<void(RenderResult)>;

    // Starts `threads` workers (at least 1).
    PictureLoader(int threads, Deliver deliver);
    // Drops what waits, lets running jobs finish and joins the workers; `deliver` is not called
    // after the destructor returns.
    ~PictureLoader();
    PictureLoader(const PictureLoader&) = delete;
    PictureLoader& operator=(const PictureLoader&) = delete;

    // Queues a job; `urgent` puts it in front. A job for the same id and mode that still
    // waits is replaced.
    void request(RenderJob job, bool urgent = false);
    // Drops every waiting job (running ones still deliver).
    void clearPending();
    // Waiting plus running jobs.
    std::size_t busy() const;

private:
    void run();

    Deliver deliver_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<RenderJob> queue_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

} // namespace kv::library
