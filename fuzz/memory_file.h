// A file in memory (memfd) that loaders can open by path, for fuzz targets whose parser reads
// a file: no disk writes per input.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

class MemoryFile {
public:
    explicit MemoryFile(const char* name) : fd_(::memfd_create(name, 0)) {}
    ~MemoryFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // The file becomes the count bytes at data followed by zeros up to size (a hole).
    bool fill(const std::uint8_t* data, std::size_t count, std::size_t size) const {
        if (fd_ < 0 || ::ftruncate(fd_, 0) != 0)
            return false;
        if (count > 0 && ::pwrite(fd_, data, count, 0) != static_cast<ssize_t>(count))
            return false;
        return ::ftruncate(fd_, static_cast<off_t>(size)) == 0;
    }
    std::filesystem::path path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};
