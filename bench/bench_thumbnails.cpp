// Opening a folder of 500 retrieved pictures (960 x 800 JPEG files as the retrieval stores
// them) the way the program does: every header read into the picture list, then the
// thumbnails rendered by two background workers, the visible page first. Reported: the time
// until the first page (kPage thumbnails) is ready and until every thumbnail is.

#include "imaging/jpeg_file.h"
#include "library/picture_files.h"
#include "library/picture_loader.h"
#include "scratch.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPictures = 500;
constexpr int kPage = 24; // a 6 x 4 grid

fs::path makeFolder() {
    const fs::path dir = kv::bench::scratchFolder("thumbs");
    kv::Bytes rgb(480 * 400 * 3);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 480; ++x) {
            std::uint8_t* p = &rgb[(std::size_t(y) * 480 + std::size_t(x)) * 3];
            p[0] = static_cast<std::uint8_t>(x * 255 / 479);
            p[1] = static_cast<std::uint8_t>(y * 255 / 399);
            p[2] = static_cast<std::uint8_t>(((x ^ y) * 7) & 0xFF);
        }
    kv::imaging::PictureAttributes a;
    a.exposureIndex = 5;
    const kv::Bytes note = {0x03, 0x03, 'K', 'V', 0x04, 0x04};
    const fs::path first = dir / "Image1.jpg";
    kv::imaging::StorePictureJpeg(rgb, first, a, 1, note);
    for (int i = 2; i <= kPictures; ++i)
        fs::copy_file(first, dir / ("Image" + std::to_string(i) + ".jpg"),
                      fs::copy_options::overwrite_existing);
    return dir;
}

void BM_OpenFolderOf500(benchmark::State& state) {
    const fs::path dir = makeFolder();
    std::vector<std::string> paths;
    for (int i = 1; i <= kPictures; ++i)
        paths.push_back((dir / ("Image" + std::to_string(i) + ".jpg")).string());
    double firstPage = 0;
    double all = 0;
    for (auto _ : state) {
        std::mutex mutex;
        std::condition_variable done;
        int ready = 0;
        int pageReady = 0;
        Clock::time_point pageAt;
        const Clock::time_point start = Clock::now();
        kv::library::PictureList list;
        kv::library::PictureLoader loader(2, [&](kv::library::RenderResult r) {
            std::lock_guard lock(mutex);
            ++ready;
            if (r.id <= std::uint64_t(kPage) && ++pageReady == kPage)
                pageAt = Clock::now();
            done.notify_all();
        });
        kv::SilentOperator op;
        kv::library::openFiles(list, paths, op);
        // The visible page first, then the rest in list order, as the view asks.
        for (int i = 0; i < list.count(); ++i) {
            kv::library::RenderJob job;
            job.id = i < kPage ? std::uint64_t(i + 1) : std::uint64_t(kPage + i + 1);
            job.source = kv::library::renderSourceOf(list[i]);
            loader.request(std::move(job));
        }
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return ready == kPictures; });
        const Clock::time_point end = Clock::now();
        firstPage += std::chrono::duration<double, std::milli>(pageAt - start).count();
        all += std::chrono::duration<double, std::milli>(end - start).count();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["first_page_ms"] = firstPage / double(state.iterations());
    state.counters["all_ms"] = all / double(state.iterations());
    fs::remove_all(dir);
}
BENCHMARK(BM_OpenFolderOf500)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

namespace {

// Only the headers: what the GUI thread does before the first paint.
void BM_OpenHeadersOf500(benchmark::State& state) {
    const fs::path dir = makeFolder();
    std::vector<std::string> paths;
    for (int i = 1; i <= kPictures; ++i)
        paths.push_back((dir / ("Image" + std::to_string(i) + ".jpg")).string());
    for (auto _ : state) {
        kv::library::PictureList list;
        kv::SilentOperator op;
        kv::library::openFiles(list, paths, op);
        benchmark::DoNotOptimize(list.count());
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_OpenHeadersOf500)->Unit(benchmark::kMillisecond);

} // namespace
