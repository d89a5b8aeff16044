// Writing a file so that it appears complete or not at all: the bytes go to a temporary
// file in the same directory, which is flushed and then renamed over the real name. A write
// that fails (or an object destroyed before commit()) removes the temporary file and leaves
// any earlier file of that name untouched.
#pragma once

#include "base/bytes.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace kv::platform {

class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path target);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // False when the temporary file could not be created; `error()` says why.
    bool isOpen() const { return file_ != nullptr; }
    // The stdio stream of the temporary file, for writers that need one (libjpeg).
    std::FILE* stream() { return file_; }

    bool write(ByteSpan bytes);
    bool write(std::string_view text);

    // Flushes, syncs and renames over the target. False (and nothing renamed) when any
    // write, the flush or the rename failed.
    bool commit();
    const std::string& error() const { return error_; }
    const std::filesystem::path& target() const { return target_; }

private:
    void fail(std::string_view what);

    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::FILE* file_ = nullptr;
    bool failed_ = false;
    std::string error_;
};

// Convenience for whole buffers.
bool writeFileAtomically(const std::filesystem::path& target, ByteSpan bytes);
bool writeFileAtomically(const std::filesystem::path& target, std::string_view text);

// Reads a whole file; false when it cannot be opened or is larger than `limit` bytes.
bool readWholeFile(const std::filesystem::path& path, Bytes& out,
                   std::uintmax_t limit = std::uintmax_t(1) << 30);

} // namespace kv::platform
