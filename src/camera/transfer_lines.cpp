#include "camera/transfer_lines.h"

#include <algorithm>
#include <cstdint>

namespace kv::camera {

std::optional<long> parseCountLine(ByteSpan line) {
    line = line.first(std::min<std::size_t>(line.size(), 8));
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '-' || line[i] == '+'))
        negative = line[i++] == '-';
    long value = 0;
    int digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits)
        value = value * 10 + (line[i] - '0'); // at most 8 digits: no overflow
    if (digits == 0)
        return std::nullopt;
    return negative ? -value : value;
}

} // namespace kv::camera
