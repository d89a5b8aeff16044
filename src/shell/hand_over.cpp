#include "shell/hand_over.h"

namespace kv::shell {

std::string formatHandOver(const std::vector<std::string>& files) {
    std::string message;
    for (const std::string& f : files) {
        if (f.empty() || f.find_first_of(std::string_view("\n\0", 2)) != std::string::npos)
            continue;
        message += f;
        message += '\n';
    }
    message += '\n';
    return message;
}

HandOver parseHandOver(std::string_view bytes) {
    HandOver result;
    if (bytes.size() > kMaxHandOverBytes || bytes.find('\0') != std::string_view::npos) {
        result.state = HandOverState::Invalid;
        return result;
    }
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos)
            return {}; // a line not yet ended
        if (end == pos) {
            // The empty line ends the list; nothing may follow it.
            result.state =
                end + 1 == bytes.size() ? HandOverState::Complete : HandOverState::Invalid;
            if (result.state == HandOverState::Invalid)
                result.files.clear();
            return result;
        }
        if (result.files.size() == kMaxHandOverFiles)
            return {HandOverState::Invalid, {}};
        result.files.emplace_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    return {};
}

} // namespace kv::shell
