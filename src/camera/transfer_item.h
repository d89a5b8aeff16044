// TransferItem: one retrieval request of the transfer worker — the camera side of a picture
// record. The picture list fills in what the camera said about the item; the worker fills the
// buffers; whoever receives the "item received" notice owns the buffers from then on.
#pragma once

#include "base/bytes.h"
#include "base/result.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace kv::camera {

// Quality code of an uncompressed picture: the receiver reserves a whole frame for it.
inline constexpr std::int16_t kQualityUncompressed = 3;
// The camera's frame memory: an uncompressed picture is at most this large.
inline constexpr std::uint32_t kFrameBufferSize = 1u << 20;
// Upper bounds of what the camera may announce, checked before anything is allocated.
inline constexpr std::uint32_t kMaxPictureSize = 4u << 20;
inline constexpr std::uint32_t kMaxSoundSize = 1u << 20;

struct TransferItem {
    std::int16_t pictureNumber = 0; // the picture's item number in the camera
    std::int16_t soundNumber = 0;   // its sound note's item number (when soundSize > 0)
    std::int16_t kind = 0;          // of the item line: 0 picture, 1 sound note, other
    std::int16_t quality = 0;       // 0 Best, 1 Standard, 2 Cine, 3 uncompressed
    std::int16_t exposure = 0;
    std::int16_t flash = 0;
    std::int32_t attribute = 0;
    std::uint32_t pictureSize = 0; // bytes; 0 = no picture
    std::uint32_t soundSize = 0;   // bytes; 0 = no sound note
    // Memory-card cameras: "*<A:NAME.EXT>" of the picture and of its note.
    std::string pictureFile;
    std::string soundFile;

    // Filled by the worker: the picture (pictureSize bytes; the buffer of an uncompressed
    // picture is a whole frame, kFrameBufferSize) and the sound note (soundSize bytes).
    Bytes picture;
    Bytes sound;
    // The result of the retrieval (0 = both parts arrived and passed their checks).
    Status result = status::Failed;

    // The picture bytes as received (without the reserve of an uncompressed frame).
    ByteSpan pictureData() const {
        return ByteSpan(picture).first(std::min<std::size_t>(picture.size(), pictureSize));
    }
    bool isSoundOnly() const { return pictureSize == 0 && soundSize > 0; }
};

} // namespace kv::camera
