#include "camera/line_scanner.h"

#include <algorithm>
#include <limits>

namespace kv::camera {

namespace {
bool isSpace(std::uint8_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
} // namespace

LineScanner::LineScanner(ByteSpan line) : line_(line) {
    const auto nul = std::find(line.begin(), line.end(), std::uint8_t{0});
    end_ = static_cast<std::size_t>(nul - line.begin());
}

void LineScanner::skipSpace() {
    while (!atEnd() && isSpace(line_[pos_]))
        ++pos_;
}

bool LineScanner::literal(std::string_view text) {
    for (char c : text) {
        if (isSpace(static_cast<std::uint8_t>(c))) {
            skipSpace();
            continue;
        }
        if (atEnd() || line_[pos_] != static_cast<std::uint8_t>(c))
            return false;
        ++pos_;
    }
    return true;
}

bool LineScanner::integer(std::int64_t& value) {
    skipSpace();
    std::size_t p = pos_;
    bool negative = false;
    if (p < end_ && (line_[p] == '+' || line_[p] == '-')) {
        negative = line_[p] == '-';
        ++p;
    }
    if (p >= end_ || line_[p] < '0' || line_[p] > '9')
        return false;
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t v = 0;
    for (; p < end_ && line_[p] >= '0' && line_[p] <= '9'; ++p) {
        const int digit = line_[p] - '0';
        v = v > (kMax - digit) / 10 ? kMax : v * 10 + digit;
    }
    value = negative ? -v : v;
    pos_ = p;
    return true;
}

bool LineScanner::token(std::string_view& token) {
    skipSpace();
    const std::size_t start = pos_;
    while (!atEnd() && !isSpace(line_[pos_]))
        ++pos_;
    if (pos_ == start)
        return false;
    token = std::string_view(reinterpret_cast<const char*>(line_.data()) + start, pos_ - start);
    return true;
}

} // namespace kv::camera
