// CameraEvents: how the camera link tells the shell what happened. The GUI forwards each call
// to its own thread (queued signals); kvtool prints; tests record. Calls arrive on the ping
// thread, the transfer worker or the thread running a long command, so implementations must
// be safe to call from any thread and must not call back into the CameraLink synchronously.
#pragma once

#include <memory>

namespace kv::camera {

struct TransferItem;

// Codes of transferNotice.
namespace notice {
inline constexpr int ItemReceived = 2; // `item` is the record that was filled
inline constexpr int RetrievalEnd3 = 3;
inline constexpr int RetrievalEnd4 = 4;
inline constexpr int ProgressStep = 5;  // one more 8 KiB received
inline constexpr int ItemFailed = 6;    // no record
inline constexpr int TransferError = 7; // `value` = the size being read
} // namespace notice

class CameraEvents {
public:
    virtual ~CameraEvents() = default;
    // Refresh the status bar and menu states (after every ping and every search step).
    virtual void idleKick() {}
    // A notice of the transfer worker (codes in `notice`).
    virtual void transferNotice(int /*code*/, std::shared_ptr<TransferItem> /*item*/,
                                long /*value*/) {}
    // Let waiting window messages run during long work on the GUI thread.
    virtual void pumpMessages() {}
};

// Does nothing; used when no events receiver is given.
CameraEvents& noCameraEvents();

} // namespace kv::camera
