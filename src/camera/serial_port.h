// SerialPort: one open serial port to the camera, with the fixed line settings, time-outs and
// result codes that the camera link is built on. It owns its device for its whole life.
//
// Threading: no lock of its own. The camera's ping thread and the thread issuing commands are
// kept apart by CameraLink's ping hand-shake; every call blocks for at most its time-out.
#pragma once

#include "base/bytes.h"
#include "base/result.h"
#include "platform/serial_device.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kv::camera {

// The time-out base T: 400 ms between two received bytes; a read gives up after 1 ms per
// requested byte plus T, a write after T per byte plus T. Tests may shorten T.
inline constexpr std::chrono::milliseconds kSerialTimeoutBase{400};
// Reads and writes are issued to the device in pieces of at most this many bytes.
inline constexpr std::size_t kSerialPieceSize = 8192;
// The highest bit rate the link ever uses, whatever the device could do.
inline constexpr int kSerialRateCap = 115200;
// A data phase flows without pauses: once its bytes began, a silence of this many character
// times plus the margin (for the operating system and the adapter's buffering) means bytes
// were lost. Never longer than T.
inline constexpr int kDataGapCharacters = 16;
inline constexpr std::chrono::milliseconds kDataGapMargin{25};

// Line standard: 1 = RS422, any other value = RS232.
inline constexpr int kLineRS232 = 0;
inline constexpr int kLineRS422 = 1;

class SerialPort {
public:
    // Opens `devicePath` (the device behind a logical "COM1".."COM4", see portDevicePath) for
    // exclusive use and configures it: raw 8N1, 9600 bit/s, the handshake of `lineStandard`,
    // queues purged. The object exists even when this fails; then `opening()` stays 1, the
    // reason is in `lastError()` and every later operation fails with 512 (or -1 for setRate).
    SerialPort(std::string devicePath, int lineStandard,
               std::chrono::milliseconds timeoutBase = kSerialTimeoutBase);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 from the start of the constructor until the port is open and configured; stays 1
    // when opening failed.
    int opening() const { return opening_; }
    bool isOpen() const { return device_.isOpen(); }
    int lineStandard() const { return lineStandard_; }
    const std::string& devicePath() const { return devicePath_; }
    // Bytes delivered by the most recent read call (also when it failed part-way).
    std::size_t lastReadCount() const { return lastReadCount_; }
    // The rate the port was last set to; 9600 right after opening.
    int currentRate() const { return currentRate_; }
    std::chrono::milliseconds timeoutBase() const { return timeoutBase_; }
    // What the operating system said about the most recent failure (for messages and logs).
    std::string lastError() const;

    // Changes the bit rate and reads it back: 0 and `currentRate` = rate when the read-back
    // matches, else 0xFFFF (-1) with `currentRate` unchanged.
    Status setRate(int rate);
    // The highest usual rate the device accepted when it was opened, capped at 115200; 0 when
    // the port is not open.
    int maxRate();
    // RS232 only: switches CTS output flow control on (after the camera first answered).
    void enableCtsFlow();

    // Reads exactly `count` bytes: 0, or 514 (overrun flagged before a piece), 512 (the
    // device failed or vanished; queues purged), 517 (a piece got no byte in time). Bytes
    // already received stay in `buffer` and are counted in lastReadCount().
    Status read(std::uint8_t* buffer, std::size_t count);
    // The same for a data phase: the first byte gets the usual wait, later ones `gap` each; a
    // read that began and then fell silent ends at once with 517 (what came is counted).
    Status readData(std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds gap);
    // The same for bytes that continue a data phase already flowing: the first byte, too,
    // gets only `gap`.
    Status readFlowing(std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds gap);
    // The data-phase gap at the current rate (see kDataGapCharacters).
    std::chrono::milliseconds dataGap() const;
    // Reads and drops what arrives until the line has been quiet for `quiet`; bounded to
    // `limit` bytes. False when the line never fell quiet (or the device failed).
    bool discardUntilQuiet(std::chrono::milliseconds quiet, std::size_t limit);
    // Writes `count` bytes: 0, 0xFFFF when line errors were pending (nothing written), or 512
    // (a piece failed or did not go out in time; queues purged).
    Status write(const std::uint8_t* buffer, std::size_t count);
    Status write(ByteSpan bytes) { return write(bytes.data(), bytes.size()); }
    // Discards both queues.
    void purge();
    // Closes the device (also done by the destructor). Later calls fail with 512.
    void close();

    // Observer of every device call, for tests and tracing: 'r' or 'w', the bytes asked
    // for, the bytes that went through. Called on the calling thread.
    using Trace = std::function<void(char direction, std::size_t requested, std::size_t done)>;
    void setTrace(Trace trace) { trace_ = std::move(trace); }
    // Makes the next line-error check report `errors` in addition to what the device says
    // (a pseudo-terminal never reports any): lets tests and the bench reach codes 514/-1.
    void injectLineErrors(platform::LineErrors errors) { injected_ = errors; }

private:
    platform::LineErrors takeLineErrors();
    // gap 0: the usual waits; flowing: the first byte's wait is the gap as well.
    Status readPieces(std::uint8_t* buffer, std::size_t count, std::chrono::milliseconds gap,
                      bool flowing);

    platform::SerialDevice device_;
    platform::LineSettings settings_;
    std::string devicePath_;
    std::atomic<int> opening_{1};
    std::size_t lastReadCount_ = 0;
    std::atomic<int> currentRate_{0};
    int maxRate_ = 0;
    int lineStandard_;
    std::chrono::milliseconds timeoutBase_;
    platform::LineErrors injected_;
    Trace trace_;
};

// The device path behind a logical port name ("COM1".."COM4") from section "PORTS" of the
// program's settings.
std::string portDevicePath(std::string_view portName);

} // namespace kv::camera
