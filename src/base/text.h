// Small text helpers shared by the parsers: case-insensitive comparison and the C-style
// decimal conversion that stops at the first character that is not a digit.
#pragma once

#include <string>
#include <string_view>

namespace kv {

bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::string toUpper(std::string_view s);
std::string_view trim(std::string_view s);

// Leading blanks, an optional sign, then digits up to the first non-digit; no digits gives 0.
// Values beyond the range of long saturate instead of overflowing.
long parseLeadingDecimal(std::string_view s);

} // namespace kv
