// Repainting a full page of the thumbnail grid (6 x 4 cells) whose thumbnails are all cached:
// what every scroll step, selection change and arriving thumbnail costs the GUI thread.
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include "app/document.h"
#include "app/thumbnail_view.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>

namespace {

void BM_RepaintCachedPage(benchmark::State& state) {
    kv::SilentOperator op;
    kv::app::Document document(op, 1);
    std::vector<kv::library::PictureRecord> records(24);
    auto thumbnail = std::make_shared<kv::imaging::RgbPicture>();
    thumbnail->width = 120;
    thumbnail->height = 100;
    thumbnail->pixels.resize(120 * 100 * 3);
    for (std::size_t i = 0; i < thumbnail->pixels.size(); ++i)
        thumbnail->pixels[i] = static_cast<std::uint8_t>(i * 13);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].path = "/pictures/Image" + std::to_string(i + 1) + ".jpg";
        records[i].sortKey = static_cast<std::int32_t>(1000 - i);
        records[i].hasSound = i % 3 == 0;
    }
    document.appendRecords(std::move(records));
    for (auto& r : document.list().records())
        r.thumbnail = thumbnail;
    document.list().highlightRange(2, 9);

    kv::app::ThumbnailView view(document);
    view.setGridSource([] { return QSize(6, 4); });
    view.resize(6 * 130 + 20, 4 * 150 + 10);
    view.show();
    QApplication::processEvents();
    for (auto _ : state)
        view.viewport()->repaint();
}
BENCHMARK(BM_RepaintCachedPage)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
