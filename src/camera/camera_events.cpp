#include "camera/camera_events.h"

namespace kv::camera {

CameraEvents& noCameraEvents() {
    static CameraEvents none;
    return none;
}

} // namespace kv::camera
