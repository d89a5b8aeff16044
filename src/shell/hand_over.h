// What a later start of the program sends to the first instance: the files to open, one path
// a line (UTF-8), and an empty line that ends the list. The first instance reads it from a
// local socket, so its reader bounds what it accepts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kv::shell {

inline constexpr std::size_t kMaxHandOverBytes = 1u << 20;
inline constexpr std::size_t kMaxHandOverFiles = 1000;

// The message for `files`; a path that holds a line break or a NUL cannot be sent and is left
// out.
std::string formatHandOver(const std::vector<std::string>& files);

enum class HandOverState {
    Incomplete, // more bytes are needed
    Complete,   // `files` holds the list
    Invalid,    // too large, too many files, a NUL, or bytes after the end
};

struct HandOver {
    HandOverState state = HandOverState::Incomplete;
    std::vector<std::string> files;
};

// Reads the bytes received so far.
HandOver parseHandOver(std::string_view bytes);

} // namespace kv::shell
