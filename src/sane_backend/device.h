// One open SANE handle: the option descriptors and values a frontend shows and sets, the
// parameters, and the picture of the last sane_start handed out row by row.
//
// Threads: a frontend calls one handle from one thread, except sane_cancel, which may come
// from a signal handler or another thread while sane_start or sane_read runs; cancel() only
// stores atomics.
#pragma once

#include "sane_backend/acquisition.h"

#include <sane/sane.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace kv::sane_backend {

// Option numbers (0 is the option count, as SANE requires).
enum Option : int {
    kOptCount = 0,
    kOptSource,
    kOptPictureNumber,
    kOptOutputSize,
    kOptResolution,
    kOptWhiteBalance,
    kOptBrightness,
    kOptionCount
};

// The texts of the source option.
inline constexpr const char* kSourceTake = "Take picture";
inline constexpr const char* kSourceNewest = "Newest stored picture";
inline constexpr const char* kSourceStored = "Stored picture N";
inline constexpr const char* kSourceHandoff = "Hand-off from kvmini";

// The device name of the hand-off (after "kvmini:").
inline constexpr const char* kHandoffDevice = "handoff";
// Pictures leave the program at 72 pixels an inch at every output size.
inline constexpr int kOutputResolution = 72;

class Device {
public:
    // A camera device (with its connected session) or, with none, the hand-off device.
    explicit Device(std::unique_ptr<CameraSession> camera);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const SANE_Option_Descriptor* descriptor(int option) const;
    SANE_Status control(int option, SANE_Action action, void* value, SANE_Int* info);
    SANE_Status parameters(SANE_Parameters* params) const;
    SANE_Status start();
    SANE_Status read(SANE_Byte* data, SANE_Int maxLength, SANE_Int* length);
    void cancel();
    SANE_Status setIoMode(SANE_Bool nonBlocking);
    SANE_Status selectFd(SANE_Int* fd);

private:
    enum class State : int { Idle, Starting, Reading };
    bool isHandoff() const { return !camera_; }
    void setActive(int option, bool active);
    AcquireRequest request() const;
    void closePipe();

    std::unique_ptr<CameraSession> camera_;
    std::array<SANE_Option_Descriptor, kOptionCount> options_{};
    std::vector<SANE_String_Const> sourceList_;
    std::string source_;
    std::string outputSize_;
    SANE_Int pictureNumber_ = 1;
    SANE_Bool whiteBalance_ = SANE_FALSE;
    SANE_Int brightness_ = 75;

    std::atomic<State> state_{State::Idle};
    std::atomic<bool> cancelRequested_{false};
    imaging::RgbPicture picture_;
    std::size_t readOffset_ = 0;
    bool nonBlocking_ = false;
    std::array<int, 2> pipe_{-1, -1}; // readable once a picture is there (sane_get_select_fd)
};

} // namespace kv::sane_backend
