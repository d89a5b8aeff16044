// LensCradleLink: the focus station's line to the lens cradle's stepper-motor controller, on a
// serial port of its own (9600 bit/s, 8N1, no flow control). It opens and configures the port,
// runs the controller's start-up sequence (which homes the cradle), and exchanges one command
// line at a time, reading the reply byte by byte in 100 ms slices.
//
// Ownership: one per focus station run; it owns its device and closes it in close() or its
// destructor. Threading: one thread at a time. Every call blocks for at most its time-out
// (empty reads are counted, each one read slice).
#pragma once

#include "base/operator.h"
#include "base/result.h"
#include "diagnostics/cradle_protocol.h"
#include "platform/serial_device.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

// Section "FOCUS_PARAMS" as far as the cradle link uses it.
struct CradleSettings {
    int port = 0;             // "CRADLE_PORT_RS232": 1..4 for "COM1".."COM4"
    long maxSpeed = 10000;    // "CRADLE_MAX_SPEED"
    long focusSpeed = 4000;   // "CRADLE_FOCUS_SPEED"
    long maxTime = 5000;      // "CRADLE_MAX_TIME", ms: reply time-out of every move
    long maxPosition = 66000; // "CRADLE_MAX_POSITION", steps: clamp of every position
    static CradleSettings read(const settings::Profile& profile);
};

struct CradleLinkOptions {
    // One empty read waits this long (the controller's 100 ms; tests shorten it).
    std::chrono::milliseconds readSlice{100};
    // The device behind a logical port name; empty = section "PORTS" of the settings.
    std::function<std::string(std::string_view)> portDevice;
    // The camera's logical port; the cradle may not take it.
    std::string cameraPort;
};

inline constexpr long kCradleCommandTimeout = 1000; // ms, start-up commands and "RP"
inline constexpr long kCradleHomeTimeout = 5000;    // ms, "MH 1"

class LensCradleLink {
public:
    explicit LensCradleLink(Operator& op, CradleLinkOptions options = {});
    ~LensCradleLink();
    LensCradleLink(const LensCradleLink&) = delete;
    LensCradleLink& operator=(const LensCradleLink&) = delete;

    // Opens "COM<port>", configures it and runs MED, MFE, VI, VF, AC (1000 ms each, mode 0)
    // and MH 1 (5000 ms, mode 1): 0, or 0xFFFF after a box for a port that is not 1..4 or is
    // the camera's, or when the device cannot be opened or a start-up line fails.
    Status open(const CradleSettings& settings);
    bool isOpen() const { return device_.isOpen(); }
    // Closes the port (no command is sent).
    void close();

    // Writes `line` and reads the reply into `reply` (stored bytes, the ending one included):
    // 0; 0xFFFF when the reply did not end within timeoutMs / 100 + 1 empty reads, ran to 255
    // bytes without an end, or the line did not go out whole; 512 when the write failed.
    Status exchange(std::string_view line, std::string& reply, long timeoutMs,
                    CradleReplyMode mode);
    // "RP": true with the position when the reply is valid.
    bool readPosition(long& position);
    // "MA <position>" in mode 1 with `timeoutMs`.
    Status moveTo(long position, long timeoutMs);
    // readPosition and compare: a position other than `expected` shows "Lens cradle position
    // error!". False on any failure (the caller records its numbered message).
    bool checkPosition(long expected);
    // moveTo, then checkPosition. False on any failure.
    bool moveChecked(long position, long timeoutMs);
    // "VF <speed>" (1000 ms, mode 0).
    Status setSpeed(long speed);
    // "MH 1" (5000 ms, mode 1).
    Status home();

    // Empty reads of the last exchange (for tests and traces).
    int lastEmptyReads() const { return emptyReads_; }
    // What went wrong last in open(), for tools.
    const std::string& lastError() const { return error_; }

private:
    Operator& op_;
    CradleLinkOptions options_;
    platform::SerialDevice device_;
    int emptyReads_ = 0;
    std::string error_;
};

} // namespace kv::diagnostics
