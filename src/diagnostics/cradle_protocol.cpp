// The lens-cradle controller's line protocol.

#include "diagnostics/cradle_protocol.h"

#include <charconv>

namespace kv::diagnostics {

std::string cradleLine(std::string_view mnemonic) {
    std::string line(mnemonic);
    line += "\r\n";
    return line;
}

std::string cradleLine(std::string_view mnemonic, long value) {
    std::string line(mnemonic);
    line += ' ';
    line += std::to_string(value);
    line += "\r\n";
    return line;
}

CradleReplyAssembler::Step CradleReplyAssembler::feed(std::uint8_t byte) {
    const char c = static_cast<char>(byte);
    reply_ += c;
    if (c == '*') {
        if (mode_ == CradleReplyMode::Star)
            return Step::Complete;
        starSeen_ = true;
    } else {
        if (c == 'F' && starSeen_)
            return Step::Complete;
        ++counted_;
    }
    // The controller's own count leaves out the stars; the buffer is bounded all the same, so
    // a reply of many stars cannot run past it either.
    if (counted_ >= kCradleReplyLimit || reply_.size() >= kCradleReplyLimit) {
        reply_.resize(kCradleReplyLimit);
        return Step::Overlong;
    }
    return Step::NeedMore;
}

std::optional<long> parseCradlePosition(std::string_view reply) {
    // The reply as a C string: a zero byte ends it early.
    reply = reply.substr(0, reply.find('\0'));
    if (reply.size() < 6)
        return std::nullopt;
    std::string_view digits = reply.substr(2);
    while (!digits.empty() && (digits.front() == ' ' || digits.front() == '\t'))
        digits.remove_prefix(1);
    long value = 0;
    const char* first = digits.data();
    if (!digits.empty() && digits.front() == '+')
        ++first;
    const auto [end, ec] = std::from_chars(first, digits.data() + digits.size(), value);
    if (ec != std::errc() || end == first)
        return std::nullopt;
    return value;
}

} // namespace kv::diagnostics
