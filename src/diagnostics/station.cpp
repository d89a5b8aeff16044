#include "diagnostics/station.h"

namespace kv::diagnostics {

camera::CameraTransfers Station::transfers() const {
    camera::TransferTiming t = timing;
    t.clock = &clock;
    return camera::CameraTransfers(*camera, t);
}

camera::CameraLink* Station::connectedCamera() {
    if (camera && camera->linkState() != camera::LinkState::Lost)
        return camera;
    return reconnectCamera();
}

camera::CameraLink* Station::reconnectCamera() {
    camera = reconnect ? reconnect() : nullptr;
    return camera;
}

void Station::disconnectCamera() {
    if (camera && disconnect)
        disconnect();
    camera = nullptr;
}

bool Station::ledStation() const {
    return profile.getInt("DIAGNOSTICS", "LED_STATION", 0) != 0;
}

bool Station::flashStation() const {
    return profile.getInt("DIAGNOSTICS", "FLASH_STATION", 0) != 0;
}

Status stationCommand(Station& s, int number, std::initializer_list<camera::CommandArg> args) {
    if (!s.camera)
        return status::LinkLost;
    return s.camera->execute(number, args);
}

} // namespace kv::diagnostics
