// Capturing the focus target window.

#include "diagnostics/focus_window.h"

#include "camera/camera_link.h"
#include "camera/command_table.h"
#include "diagnostics/focus_measures.h"

#include <algorithm>

namespace kv::diagnostics {

namespace {
constexpr std::size_t kBlock = 8192;
// Reads of a block that may time out before its first byte (the camera may still be busy
// capturing); once bytes flow, one time-out ends the block.
constexpr int kBlockRetries = 10;
} // namespace

Status captureWindow(camera::CameraLink& link, int n, long left, long top, Bytes& raw,
                     Operator& op) {
    raw.clear();
    if (!validWindowSide(n) || left < 0 || top < 0)
        return status::Failed;
    if (link.linkState() == camera::LinkState::Lost)
        return status::LinkLost;
    camera::CameraLink::PingHold hold(link);
    camera::CommandText text;
    Status st = camera::formatCommand(camera::cmd::FocusZ6, {long(n), left, top}, text);
    if (st != status::Ok)
        return st;
    Bytes reply;
    st = link.sendCommand(text.view(), reply, camera::cmd::FocusZ6);
    if (st != status::Ok)
        return st;
    if (!camera::isOkReply(reply))
        return status::Failed;

    const std::size_t size = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
    raw.assign(size, 0);
    for (std::size_t pos = 0; pos < size; pos += kBlock) {
        const std::size_t length = std::min(kBlock, size - pos);
        std::size_t got = 0;
        for (int attempt = 0; got < length; ++attempt) {
            st = link.port().read(raw.data() + pos + got, length - got);
            const std::size_t arrived = std::min(link.port().lastReadCount(), length - got);
            got += arrived;
            if (st == status::Ok)
                break;
            if (st != status::TimedOut || arrived > 0 || attempt + 1 >= kBlockRetries) {
                raw.clear();
                return st;
            }
        }
        op.pumpMessages();
    }
    return status::Ok;
}

} // namespace kv::diagnostics
