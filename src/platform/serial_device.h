// SerialDevice: the operating system's side of a serial line (termios, flock, TIOCEXCL,
// TIOCGICOUNT, poll). Everything above it speaks in bytes, rates and time-outs only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kv::platform {

// Line-error flags gathered since the last check.
struct LineErrors {
    bool overrun = false; // the receiver lost characters (hardware or driver buffer)
    bool framing = false;
    bool parity = false;
    bool breakSeen = false;
    bool any() const { return overrun || framing || parity || breakSeen; }
};

// Raw 8N1, every byte value passed unchanged, no software flow control. The handshake lines
// follow the line standard of the camera link.
struct LineSettings {
    int rate = 9600;
    bool ctsFlow = false;      // hardware flow control of our output (CRTSCTS)
    bool rtsHandshake = false; // RS422: RTS follows the input buffer
    bool dtrHandshake = false; // RS232: DTR follows the input buffer
};

// Result of one device call: bytes moved, or failed (then `error` holds the reason).
struct IoResult {
    std::size_t count = 0;
    bool failed = false;
};

class SerialDevice {
public:
    SerialDevice() = default;
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Opens an existing device for exclusive read/write (flock + TIOCEXCL, so a second opener
    // fails cleanly even with privileges) and applies `settings`. False with lastError() set
    // when the device is missing, in use or not a terminal.
    bool open(const std::string& path, const LineSettings& settings);
    bool isOpen() const { return fd_ >= 0; }
    void close();

    // Applies the settings; reads them back into `readBack` when given. False when the rate
    // is not one the system knows or the device refused.
    bool apply(const LineSettings& settings, LineSettings* readBack = nullptr);
    // Reads the settings the device holds now.
    bool current(LineSettings& out);
    // True when the device takes `rate` (the setting is restored afterwards).
    bool accepts(int rate);

    // Reads up to `count` bytes with the semantics of a serial read time-out: returns once
    // `count` bytes came, or `interval` passed after a byte without another, or `total`
    // passed. A count of 0 with `failed` false means nothing came in time. A device that
    // hung up (readable with no data, or EIO) is a failure, never a busy loop.
    IoResult read(std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds total,
                  std::chrono::milliseconds interval);
    // Writes all `count` bytes within `total`; a failure or a stall past `total` fails.
    IoResult write(const std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds total);
    // Discards input and output queues.
    void purge();
    // Clears a break condition on the line.
    void clearBreak();
    // Line errors counted by the driver since the previous call (TIOCGICOUNT); none when the
    // driver keeps no counters (pseudo-terminals).
    LineErrors takeLineErrors();

    const std::string& lastError() const { return error_; }
    int fd() const { return fd_; }

private:
    void fail(const char* what);

    int fd_ = -1;
    std::string error_;
    bool haveCounts_ = false;
    int counts_[5] = {}; // overrun, buf_overrun, frame, parity, brk as last seen
};

// The system's speed constant for a bit rate, and back; 0 when there is none.
unsigned rateToSpeed(int rate);
int speedToRate(unsigned speed);

// Lowers the calling thread to the lowest scheduling priority (the ping thread).
void setCurrentThreadLowestPriority();

} // namespace kv::platform
