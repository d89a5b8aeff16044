// The status line parser and the reply reader's byte rules on arbitrary camera output.

#include "camera/camera_status.h"
#include "camera/command_table.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kv::ByteSpan bytes(data, size);
    kv::camera::CameraStatus status;
    const int fields = kv::camera::parseStatusLine(bytes, status);
    if (fields < 0 || fields > 12 || status.firmwareText().size() > 11)
        __builtin_trap();
    (void)status.hasNewFirmware();

    // The same bytes as they would come off the wire for a 128-byte reply.
    kv::camera::ReplyAssembler reply(kv::camera::kMaxReplyLength);
    for (std::uint8_t b : bytes) {
        const auto step = reply.feed(b);
        if (step == kv::camera::ReplyAssembler::Step::Complete) {
            if (reply.reply().size() != kv::camera::kMaxReplyLength)
                __builtin_trap();
            kv::camera::CameraStatus fromWire;
            (void)kv::camera::parseStatusLine(reply.reply(), fromWire);
            break;
        }
        if (step == kv::camera::ReplyAssembler::Step::Full)
            break;
    }
    return 0;
}
