// The bench camera's transfer commands: stored items (B0, B1, B3, B4), the memory card (B0,
// B1, B3, B5, B6 on a card camera), memories (U0, U2), downloads (L0, D1, D2, D3, U1), and
// the parameter record (R0, D4). The camera's TransferStore lives in its state.
#pragma once

#include "camsim/transfer_store.h"

#include <memory>
#include <utility>

namespace kv::camsim {

class BenchCamera;
struct CameraState;

// Adds the transfer command handlers to `camera`. Called by the BenchCamera constructor.
void registerTransferCommands(BenchCamera& camera);

// The camera's store; the caller holds the camera's state lock. Filled with the standard
// content for the camera's kind the first time it is reached.
TransferStore& transferStore(CameraState& state);

// Runs f(store) under the camera's state lock, then brings the picture count of the status
// line up to date with what f left in the store.
template <class F>
auto withTransferStore(BenchCamera& camera, F f);

// After the store changed: the status line's picture count follows it.
void syncPictureCount(CameraState& state);

} // namespace kv::camsim

#include "camsim/bench_camera.h"

namespace kv::camsim {

template <class F>
auto withTransferStore(BenchCamera& camera, F f) {
    auto guard = camera.lock();
    TransferStore& store = transferStore(camera.state());
    struct Sync {
        CameraState& state;
        ~Sync() { syncPictureCount(state); }
    } sync{camera.state()};
    return f(store);
}

} // namespace kv::camsim
