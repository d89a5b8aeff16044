// Retrieval throughput over the bench camera paced like a real line: the picture payload rate
// against the line's byte rate (115200 bit/s, 10 bits a byte = 11520 bytes/s).
#include "camera/camera_link.h"
#include "camera/transfers.h"
#include "camsim/bench_camera.h"
#include "camsim/transfer_commands.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

namespace {

using namespace kv;
using namespace std::chrono_literals;

constexpr int kLineRate = 115200;
constexpr double kLineBytesPerSecond = kLineRate / 10.0;

struct PacedCamera {
    explicit PacedCamera(std::size_t pictureBytes, bool card) {
        camsim::BenchCameraOptions options;
        options.initialRate = kLineRate;
        options.kind = card ? camsim::CameraKind::MemoryCard : camsim::CameraKind::Plain;
        camera = std::make_unique<camsim::BenchCamera>(options);
        camsim::withTransferStore(*camera, [&](camsim::TransferStore& s) {
            Bytes content(pictureBytes - 2);
            for (std::size_t i = 0; i < content.size(); ++i)
                content[i] = static_cast<std::uint8_t>(i * 31 + 7);
            s.items.clear();
            s.cardFiles.clear();
            camsim::StoredItem item;
            item.data = camsim::appendCheckWord(content);
            s.items.push_back(item);
            s.cardFiles.push_back({"PICT0001", "JPG", item.data, std::nullopt});
        });
        camera::LinkOptions linkOptions;
        linkOptions.devicePath = camera->devicePath();
        link = std::make_unique<camera::CameraLink>("COM1", camera::kLineRS232, linkOptions);
        link->connect(kLineRate);
        link->setLinkState(camera::LinkState::Ready);
        camera->waitForPings(1, 5s);
        camsim::FaultOptions faults;
        faults.paceRate = kLineRate;
        camera->setFaults(faults);
        transfers = std::make_unique<camera::CameraTransfers>(*link);
        list = transfers->listPictures();
    }
    std::unique_ptr<camsim::BenchCamera> camera;
    std::unique_ptr<camera::CameraLink> link;
    std::unique_ptr<camera::CameraTransfers> transfers;
    camera::PictureList list;
};

// One picture fetched as the worker does it (select, blocks, word sum, end of read).
void retrievePicture(benchmark::State& state, bool card) {
    const auto size = static_cast<std::size_t>(state.range(0));
    PacedCamera paced(size, card);
    if (paced.list.records.empty()) {
        state.SkipWithError("the bench camera listed no picture");
        return;
    }
    std::size_t payload = 0;
    double seconds = 0;
    const std::size_t sentBefore = paced.camera->bytesSent();
    for (auto _ : state) {
        camera::TransferItem item = *paced.list.records[0];
        const auto start = std::chrono::steady_clock::now();
        const Status st = paced.transfers->fetchItem(item);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (st != status::Ok) {
            state.SkipWithError("retrieval failed");
            return;
        }
        payload += item.pictureSize;
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double rate = static_cast<double>(payload) / seconds;
    state.counters["payload_B/s"] = rate;
    state.counters["of_line_rate"] = rate / kLineBytesPerSecond;
    // Everything the camera sent (replies, item and count lines, check words) per payload byte.
    state.counters["protocol_share"] =
        static_cast<double>(paced.camera->bytesSent() - sentBefore - payload) /
        static_cast<double>(payload);
    state.SetBytesProcessed(static_cast<std::int64_t>(payload));
}

void BM_RetrievePlainCamera(benchmark::State& state) {
    retrievePicture(state, false);
}
void BM_RetrieveCardCamera(benchmark::State& state) {
    retrievePicture(state, true);
}

BENCHMARK(BM_RetrievePlainCamera)
    ->Arg(48000)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_RetrieveCardCamera)
    ->Arg(48000)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace
