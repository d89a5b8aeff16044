// The message a later start hands to the first instance over a local socket.
#include "shell/hand_over.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const kv::shell::HandOver h = kv::shell::parseHandOver(bytes);
    if (h.state == kv::shell::HandOverState::Complete &&
        kv::shell::parseHandOver(kv::shell::formatHandOver(h.files)).files != h.files)
        __builtin_trap();
    return 0;
}
