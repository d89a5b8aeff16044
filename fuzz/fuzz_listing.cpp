// The memory card's listing, its count line and the block count line: all come from the camera.
#include "camera/memory_listing.h"
#include "camera/transfer_lines.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kv::ByteSpan bytes(data, size);
    // The first bytes double as the count line, the rest as the listing it announces.
    if (auto count = kv::camera::parseFileCount(bytes)) {
        if (auto entries = kv::camera::parseListing(bytes.subspan(3), *count)) {
            for (const auto& entry : *entries)
                (void)entry.cardFileName();
        }
    }
    (void)kv::camera::parseCountLine(bytes);
    (void)kv::camera::parseListingEntry(bytes);
    return 0;
}
