// The "new pictures only" index beside retrieved pictures: a text file anyone may edit.
#include "library/retrieved_index.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto entries = kv::library::parseRetrievedIndex(text);
    // What is kept must survive a round trip unchanged.
    if (kv::library::parseRetrievedIndex(kv::library::formatRetrievedIndex(entries)) != entries)
        __builtin_trap();
    return 0;
}
