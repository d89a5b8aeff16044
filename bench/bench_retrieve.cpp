// Retrieval over the bench camera paced like a real line (115200 bit/s, 10 bits a byte = 11520
// bytes/s) with the link's real time-outs: the payload rate against the line's byte rate, and
// on noisy lines the time against the fault-free time and the bytes read again.
//
// Arguments: picture size, corrupted bytes per million, dropped bytes per million.
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

enum class Kind { Plain, Card, CardOldFirmware, VariantB };

struct PacedCamera {
    PacedCamera(std::size_t pictureBytes, Kind kind) {
        camsim::BenchCameraOptions options;
        options.initialRate = kLineRate;
        options.kind = kind == Kind::Plain      ? camsim::CameraKind::Plain
                       : kind == Kind::VariantB ? camsim::CameraKind::VariantB
                                                : camsim::CameraKind::MemoryCard;
        if (kind == Kind::CardOldFirmware)
            options.firmware = "2.02";
        else if (kind == Kind::VariantB)
            options.firmware = "2.10";
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
        transfers = std::make_unique<camera::CameraTransfers>(*link);
        list = transfers->listPictures();
    }
    void setLine(double corrupt, double drop, std::uint32_t seed) {
        camsim::FaultOptions faults;
        faults.paceRate = kLineRate;
        faults.corruptRate = corrupt;
        faults.dropRate = drop;
        faults.seed = seed;
        camera->setFaults(faults);
    }
    std::unique_ptr<camsim::BenchCamera> camera;
    std::unique_ptr<camera::CameraLink> link;
    std::unique_ptr<camera::CameraTransfers> transfers;
    camera::PictureList list;
};

// One picture fetched as the worker does it, on a clean line first (the reference time), then
// once per iteration on the line of the arguments. The link remembers a noisy line as a
// retrieval does from one picture to the next: the first iteration is the first picture on a
// line not yet known to be noisy, the later ones start in small blocks.
void retrievePicture(benchmark::State& state, Kind kind) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const double corrupt = static_cast<double>(state.range(1)) / 1e6;
    const double drop = static_cast<double>(state.range(2)) / 1e6;
    PacedCamera paced(size, kind);
    if (paced.list.records.empty()) {
        state.SkipWithError("the bench camera listed no picture");
        return;
    }
    const Bytes expected = camsim::withTransferStore(
        *paced.camera, [](camsim::TransferStore& s) { return s.items[0].data; });

    const auto fetch = [&](camera::TransferItem& item) {
        const auto start = std::chrono::steady_clock::now();
        const Status st = paced.transfers->fetchItem(item);
        return std::pair(
            st, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    };
    paced.setLine(0, 0, 1);
    camera::TransferItem clean = *paced.list.records[0];
    const double cleanSeconds = fetch(clean).second;

    std::size_t payload = 0;
    double seconds = 0;
    long reread = 0;
    int stored = 0;
    int wrong = 0;
    std::uint32_t seed = 1;
    for (auto _ : state) {
        paced.setLine(corrupt, drop, seed++);
        camera::CameraTransfers transfers(*paced.link);
        camera::TransferItem item = *paced.list.records[0];
        const auto start = std::chrono::steady_clock::now();
        const Status st = transfers.fetchItem(item);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        seconds += took;
        reread += transfers.retransmitCount();
        if (st == status::Ok) {
            ++stored;
            payload += item.pictureSize;
            wrong += !std::equal(expected.begin(), expected.end(), item.pictureData().begin(),
                                 item.pictureData().end());
        }
        state.SetIterationTime(took);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["stored"] = stored / n;
    state.counters["wrong_bytes_stored"] = wrong;
    state.counters["seconds"] = seconds / n;
    state.counters["x_fault_free"] = seconds / n / cleanSeconds;
    state.counters["reread_bytes"] = static_cast<double>(reread) / n;
    state.counters["of_line_rate"] =
        seconds > 0 ? static_cast<double>(payload) / seconds / kLineBytesPerSecond : 0;
}

void BM_RetrievePlainCamera(benchmark::State& state) {
    retrievePicture(state, Kind::Plain);
}
void BM_RetrieveVariantB(benchmark::State& state) {
    retrievePicture(state, Kind::VariantB);
}
void BM_RetrieveCardCamera(benchmark::State& state) {
    retrievePicture(state, Kind::Card);
}
void BM_RetrieveCardOldFirmware(benchmark::State& state) {
    retrievePicture(state, Kind::CardOldFirmware);
}

// Corruption per million: 0, 1/20000, 1/2000, 1/500; then the noisy line of 1 corrupted byte
// in 2000 and 1 lost in 5000.
void lines(benchmark::internal::Benchmark* b) {
    for (long corrupt : {0L, 50L, 500L, 2000L})
        b->Args({48000, corrupt, 0});
    b->Args({48000, 500, 200});
}

BENCHMARK(BM_RetrievePlainCamera)
    ->Apply(lines)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_RetrieveVariantB)
    ->Apply(lines)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_RetrieveCardCamera)
    ->Apply(lines)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_RetrieveCardOldFirmware)
    ->Apply(lines)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace
