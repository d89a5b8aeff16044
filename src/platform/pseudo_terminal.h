// PseudoTerminal: the far end of a serial line for the bench camera. The master side is ours;
// the slave path is what a SerialPort opens. A slave descriptor is kept open inside the
// object so that the master never sees a hang-up before the host arrives (or between hosts).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::platform {

class PseudoTerminal {
public:
    // Opens a master, unlocks its slave and puts the line in raw mode (no echo, no
    // translation). Check isOpen(); lastError() says why not.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool isOpen() const { return master_ >= 0; }
    const std::string& slavePath() const { return slavePath_; }
    const std::string& lastError() const { return error_; }

    // Waits up to `limit` for input, or for wake(); returns the bytes read (0 = nothing in
    // time or woken), or -1 when the line is closed.
    long read(std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds limit);
    // Writes all bytes (waiting for room while the host does not read, up to `limit`).
    bool write(const std::uint8_t* buffer, std::size_t count,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    // Makes a waiting read() return at once (from any thread).
    void wake();
    // The bit rate the host side has set on the line (0 when it cannot be read).
    int peerRate() const;
    // Closes the master: the host's reads and writes fail from now on ("cable pulled").
    void closeMaster();

private:
    int master_ = -1;
    int keeper_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string slavePath_;
    std::string error_;
};

} // namespace kv::platform
