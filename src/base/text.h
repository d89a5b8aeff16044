// Small text helpers shared by the parsers: case-insensitive comparison and the C-style
// decimal conversion that stops at the first character that is not a digit.
#pragma once

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <type_traits>

namespace kv {

bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::string toUpper(std::string_view s);
std::string_view trim(std::string_view s);

// Leading blanks, an optional sign, then digits up to the first non-digit; no digits gives 0.
// Values beyond the range of long saturate instead of overflowing.
long parseLeadingDecimal(std::string_view s);

// Reads up to `count` numbers separated by white space into `values`, as "%d %d ..." or
// "%lf %lf ..." would (a leading '+' allowed); returns how many were read. Reading ends at the
// first text that is not a number, at a number out of range and at one that is not finite.
template <typename T>
int parseNumberList(std::string_view text, T* values, int count) {
    std::size_t at = 0;
    int read = 0;
    while (read < count) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at < text.size() && text[at] == '+')
            ++at;
        T value{};
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
        if (ec != std::errc())
            break;
        if constexpr (std::is_floating_point_v<T>) {
            if (!std::isfinite(value))
                break;
        }
        values[read++] = value;
        at = static_cast<std::size_t>(end - text.data());
    }
    return read;
}

} // namespace kv
