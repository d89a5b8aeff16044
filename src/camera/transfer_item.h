// TransferItem: one retrieval request of the transfer worker (a picture record as the
// camera link sees it).
#pragma once

#include <cstdint>

namespace kv::camera {

struct TransferItem {
    std::int16_t pictureNumber = 0; // the picture's item number in the camera
    // The transfers code fills in the rest (sound item, sizes, buffers, card file names).
};

} // namespace kv::camera
