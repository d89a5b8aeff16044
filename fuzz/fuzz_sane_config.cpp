// kvmini.conf on arbitrary text: every port it returns is one of COM1..COM4, named once, and
// there is always at least one.

#include "sane_backend/backend_config.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto config = kv::sane_backend::parseBackendConfig(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (config.ports.empty() || config.ports.size() > 4)
        std::abort();
    for (const std::string& port : config.ports)
        if (port.size() != 4 || port.compare(0, 3, "COM") != 0 || port[3] < '1' || port[3] > '4' ||
            std::count(config.ports.begin(), config.ports.end(), port) != 1)
            std::abort();
    return 0;
}
