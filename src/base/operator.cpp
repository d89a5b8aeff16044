#include "base/operator.h"

#include <cerrno>
#include <cstdlib>

namespace kv {

std::optional<long> askNumber(Operator& op, std::string_view prompt, long initial) {
    const std::string start = std::to_string(initial);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::optional<std::string> answer = op.askText(prompt, start);
        if (!answer)
            return std::nullopt;
        const char* begin = answer->c_str();
        while (*begin == ' ' || *begin == '\t')
            ++begin;
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(begin, &end, 10);
        while (end && (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n'))
            ++end;
        if (end != begin && end && *end == '\0' && errno == 0)
            return value;
        op.message("Please enter an integer.");
    }
    return std::nullopt;
}

} // namespace kv
