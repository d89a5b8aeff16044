// The two station outputs as the operating system offers them: a parallel port's control
// register through ppdev (the relay board) and a line-printer device written with a time-out
// (the light controller). A path that is not such a device (a file, a pipe, a terminal) is
// written plainly, which is how the bench station records what the station sends.
#pragma once

#include "base/bytes.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kv::platform {

// A parallel port claimed for the object's life (PPCLAIM once; each write is PPWCONTROL), so
// the outputs hold between writes. Not copyable; closes (and releases) in the destructor.
class ControlPort {
public:
    ControlPort() = default;
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Opens and claims `path`. False with `error` set (the path and the system's reason).
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    // Sets the control register (or writes the byte to a plain file). False with `error`.
    bool write(std::uint8_t value, std::string& error);
    void close();

private:
    int fd_ = -1;
    bool claimed_ = false;
    std::string path_;
};

// Opens `path` (an existing device, no buffering, O_NONBLOCK), sets the printer driver's
// write time-out (LPSETTIMEOUT) to `timeout` when it is a printer device, writes `bytes`
// whole within the time-out, and closes it. False with `error` set.
bool writeTimedDevice(const std::string& path, ByteSpan bytes, std::chrono::milliseconds timeout,
                      std::string& error);

} // namespace kv::platform
