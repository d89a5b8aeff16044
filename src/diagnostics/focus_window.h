// The focus target window from the camera: "Z6;N,left,top" makes the camera capture an N x N
// window of its sensor; after its "OK\r\n" the camera sends the N x N bytes (8 bits a pixel,
// in its interleaved column order, see subtractDarkAndReorder), which are read in blocks of
// 8192 bytes with the operator's messages pumped between blocks. Pings are held throughout.
#pragma once

#include "base/bytes.h"
#include "base/operator.h"
#include "base/result.h"

namespace kv::camera {
class CameraLink;
}

namespace kv::diagnostics {

// 0 with `raw` holding N x N bytes; 0xFFFF for a side the measures do not take (see
// validWindowSide) or a refusal, else the link's code.
Status captureWindow(camera::CameraLink& link, int n, long left, long top, Bytes& raw,
                     Operator& op);

} // namespace kv::diagnostics
