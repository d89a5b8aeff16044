// Storing a picture retrieved from the camera under the next free numbered name, as the
// picture list keeps it:
//   - a picture of a camera that delivers JPEG (memory card or second variant): written as
//     received, ".jpg";
//   - a wavelet picture (quality 0, 1 and also 2, Cine): decoded, enlarged to 960 x 800 and
//     written as a JPEG file with the camera markers, ".jpg";
//   - an uncompressed picture (quality 3): its raw frame developed to RGB (the gain file
//     applied when one is given) and written as a ".kvi" file with its thumbnail and the sound
//     note inside;
//   - the sound note of a JPEG picture: beside it as "<name>.wav", copied as received when it
//     already is a wave file, otherwise converted from the camera's ADPCM;
//   - a sound note that belongs to no picture: a ".wav" file of its own.
// Every file is written under a temporary name in the same directory and renamed when
// complete, so a failure leaves no partial file and never replaces an existing one.
#pragma once

#include "base/result.h"
#include "camera/transfer_item.h"
#include "library/picture_record.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kv::codec {
class WaveletCodec;
}

namespace kv::library {

// What the camera and the retrieval say about every item.
struct StoreContext {
    std::filesystem::path base; // "dir/Image": numbered names are formed from it
    bool single = false;        // only one picture is retrieved: "<base><ext>"
    bool jpegCamera = false;    // hasFileSystem or variantB: pictures arrive as JPEG files
    bool hasNewFirmware = false;
    std::string cameraId;                          // written into .kvi files
    std::uint32_t manufacturingWord = 0;           // written into .kvi files when not 0
    std::uint32_t retrievalTime = 0;               // seconds since 1970 (the record's sort key)
    std::optional<std::filesystem::path> gainFile; // applied to uncompressed pictures
};

struct StoredItem {
    Status result = status::Failed;
    std::filesystem::path picture; // the picture file (or the lone note's .wav)
    std::filesystem::path sound;   // the .wav beside a JPEG picture, when one was written
    PictureRecord record;          // the record the picture list appends
    std::string error;             // what went wrong, for the user
};

// Stores one received item. `codec` may be null (one is made for the call).
StoredItem storeRetrievedItem(const camera::TransferItem& item, const StoreContext& context,
                              codec::WaveletCodec* codec = nullptr);

} // namespace kv::library
