// The work behind sane_start: getting one picture from the camera (take one, or fetch a stored
// one) or from the program's hand-off, rendered as the program renders pictures that leave it.
//
// Everything runs on the calling thread except the camera's own ping thread and transfer
// worker. `cancel` may be set from any thread or a signal handler; it is looked at between
// the transfer's blocks and every 100 ms of waiting.
#pragma once

#include "camera/camera_link.h"
#include "imaging/rgb_picture.h"

#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace kv::sane_backend {

enum class Source { TakePicture = 0, Newest = 1, Stored = 2, Handoff = 3 };

struct AcquireRequest {
    Source source = Source::Newest;
    int pictureNumber = 1; // 1 = the oldest stored picture (Source::Stored)
    int outputSize = 4;    // 0..5
    bool whiteBalance = false;
    int brightness = 75; // slider position 1..150, 75 leaves the picture as it is
};

struct Acquired {
    SANE_Status status = SANE_STATUS_IO_ERROR;
    imaging::RgbPicture picture; // valid when status is SANE_STATUS_GOOD
    std::string message;         // why it failed, for the debug output
};

// One camera on one logical port, connected for as long as the object lives: the port stays
// open (and kept pinged) from open() until destruction, so no other program takes it between
// two acquisitions.
class CameraSession {
public:
    // Connects to the camera on `port` ("COM1".."COM4", the device from section "PORTS"):
    // DEVICE_BUSY when another program has the port open, INVAL when the port has no device,
    // ACCESS_DENIED when it may not be opened, IO_ERROR when no camera answers.
    static SANE_Status open(const std::string& port, std::unique_ptr<CameraSession>& session,
                            std::string& message);
    ~CameraSession();

    // Takes or fetches the picture and renders it. NO_DOCS for a camera without pictures,
    // INVAL for a stored picture number beyond the camera's count, IO_ERROR for a transfer that
    // failed (nothing of it is returned), CANCELLED when `cancel` was set.
    Acquired acquire(const AcquireRequest& request, const std::atomic<bool>& cancel);

private:
    explicit CameraSession(std::unique_ptr<camera::CameraLink> link);
    std::unique_ptr<camera::CameraLink> link_;
};

// Hand-off from kvmini: starts the program named by "Location" (section "Korvane" of the
// TWAIN INI file) with "/TWAIN" and waits until Transfer to Application leaves a picture
// ("PendingImages" and the bitmap in the temporary directory), which is taken and deleted.
// CANCELLED when the program ends without leaving one or `cancel` is set; INVAL when no
// program is configured. The program is ended afterwards.
Acquired acquireHandoff(const std::atomic<bool>& cancel,
                        std::chrono::milliseconds poll = std::chrono::milliseconds(250));

} // namespace kv::sane_backend
