#include "camera/serial_port.h"

#include "settings/app_settings.h"

#include <algorithm>
#include <array>

namespace kv::camera {

namespace {
constexpr int kOpenPurges = 32;
} // namespace

std::string portDevicePath(std::string_view portName) {
    return settings::AppSettings().portDevice(portName);
}

SerialPort::SerialPort(std::string devicePath, int lineStandard,
                       std::chrono::milliseconds timeoutBase)
    : devicePath_(std::move(devicePath)), lineStandard_(lineStandard), timeoutBase_(timeoutBase) {
    // The line standard fixes the handshake: RS422 flows on CTS from the start with RTS as
    // its handshake; RS232 hands shake on DTR and turns CTS flow on once the camera answered.
    settings_.rate = 9600;
    settings_.ctsFlow = lineStandard_ == kLineRS422;
    settings_.rtsHandshake = lineStandard_ == kLineRS422;
    settings_.dtrHandshake = lineStandard_ != kLineRS422;
    if (!device_.open(devicePath_, settings_))
        return; // `opening` stays 1: this port could not be opened
    // Linux sizes the driver queues itself (at least the 64 KiB a picture chunk needs).
    platform::LineSettings readBack;
    (void)device_.current(readBack);
    device_.clearBreak();
    for (int i = 0; i < kOpenPurges; ++i)
        device_.purge();
    // Linux cannot tell a port's maximum; the highest of the usual rates the device takes
    // stands in. Found once here, before any traffic, since trying a rate touches the line.
    for (int rate : {kSerialRateCap, 57600, 38400, 19200, 9600}) {
        if (device_.accepts(rate)) {
            maxRate_ = rate;
            break;
        }
    }
    currentRate_ = 9600;
    opening_ = 0;
}

SerialPort::~SerialPort() {
    close();
}

std::string SerialPort::lastError() const {
    return device_.lastError();
}

void SerialPort::close() {
    device_.close();
}

platform::LineErrors SerialPort::takeLineErrors() {
    platform::LineErrors errors = device_.takeLineErrors();
    errors.overrun = errors.overrun || injected_.overrun;
    errors.framing = errors.framing || injected_.framing;
    errors.parity = errors.parity || injected_.parity;
    errors.breakSeen = errors.breakSeen || injected_.breakSeen;
    injected_ = {};
    return errors;
}

Status SerialPort::setRate(int rate) {
    if (!device_.isOpen())
        return status::Failed;
    platform::LineSettings now = settings_;
    if (!device_.current(now))
        return status::Failed;
    platform::LineSettings wanted = settings_;
    wanted.ctsFlow = now.ctsFlow; // keep what enableCtsFlow switched on
    wanted.rate = rate;
    platform::LineSettings readBack;
    if (!device_.apply(wanted, &readBack) || readBack.rate != rate)
        return status::Failed;
    settings_ = wanted;
    currentRate_ = rate;
    return status::Ok;
}

int SerialPort::maxRate() {
    return device_.isOpen() ? maxRate_ : 0;
}

void SerialPort::enableCtsFlow() {
    if (lineStandard_ == kLineRS422 || !device_.isOpen())
        return;
    platform::LineSettings now = settings_;
    (void)device_.current(now);
    platform::LineSettings wanted = settings_;
    wanted.rate = now.rate != 0 ? now.rate : settings_.rate;
    wanted.ctsFlow = true;
    if (device_.apply(wanted))
        settings_ = wanted;
}

Status SerialPort::read(std::uint8_t* buffer, std::size_t count) {
    return readPieces(buffer, count, std::chrono::milliseconds(0), false);
}

Status SerialPort::readData(std::uint8_t* buffer, std::size_t count,
                            std::chrono::milliseconds gap) {
    return readPieces(buffer, count, std::clamp(gap, std::chrono::milliseconds(1), timeoutBase_),
                      false);
}

Status SerialPort::readFlowing(std::uint8_t* buffer, std::size_t count,
                               std::chrono::milliseconds gap) {
    return readPieces(buffer, count, std::clamp(gap, std::chrono::milliseconds(1), timeoutBase_),
                      true);
}

Status SerialPort::readPieces(std::uint8_t* buffer, std::size_t count,
                              std::chrono::milliseconds gap, bool flowing) {
    lastReadCount_ = 0;
    if (count < 1)
        return status::Ok;
    const bool data = gap.count() > 0;
    const auto interval = data ? gap : timeoutBase_;
    std::size_t remaining = count;
    while (remaining > 0) {
        if (takeLineErrors().overrun)
            return status::Overrun;
        const std::size_t piece = std::min(remaining, kSerialPieceSize);
        // Flowing bytes get two milliseconds each (a character at 9600 bit/s takes about one).
        const auto total = flowing ? std::chrono::milliseconds(2 * piece) + gap
                                   : std::chrono::milliseconds(piece) + timeoutBase_;
        const platform::IoResult r = device_.read(buffer, piece, total, interval);
        if (trace_)
            trace_('r', piece, r.count);
        lastReadCount_ += r.count;
        if (r.failed) {
            (void)takeLineErrors();
            device_.purge();
            return status::IoFailed;
        }
        // In a data phase a short piece has seen the gap already: waiting again cannot bring
        // the lost bytes.
        if (r.count == 0 || (data && r.count < piece))
            return status::TimedOut;
        buffer += r.count;
        remaining -= r.count;
    }
    return status::Ok;
}

std::chrono::milliseconds SerialPort::dataGap() const {
    const int rate = std::max(currentRate_.load(), 300);
    // 10 bits a character, rounded up to whole milliseconds.
    const auto characters =
        std::chrono::milliseconds((kDataGapCharacters * 10 * 1000 + rate - 1) / rate);
    return std::min(characters + kDataGapMargin, timeoutBase_);
}

bool SerialPort::discardUntilQuiet(std::chrono::milliseconds quiet, std::size_t limit) {
    std::array<std::uint8_t, 512> scratch;
    std::size_t dropped = 0;
    while (dropped <= limit) {
        // A first byte within `quiet`, then the rest of a piece until `quiet` passes without
        // one: a short piece has seen the line fall quiet.
        platform::IoResult r = device_.read(scratch.data(), 1, quiet, quiet);
        if (!r.failed && r.count == 1) {
            const auto total = std::chrono::milliseconds(2 * scratch.size()) + quiet;
            const platform::IoResult rest =
                device_.read(scratch.data() + 1, scratch.size() - 1, total, quiet);
            r.count += rest.count;
            r.failed = rest.failed;
        }
        if (trace_)
            trace_('r', scratch.size(), r.count);
        if (r.failed) {
            device_.purge();
            return false;
        }
        if (r.count < scratch.size())
            return true;
        dropped += r.count;
    }
    return false;
}

Status SerialPort::write(const std::uint8_t* buffer, std::size_t count) {
    if (takeLineErrors().any())
        return status::Failed;
    if (count < 1)
        return status::Ok;
    while (count > 0) {
        const std::size_t piece = std::min(count, kSerialPieceSize);
        const auto total = timeoutBase_ * static_cast<long>(piece) + timeoutBase_;
        const platform::IoResult r = device_.write(buffer, piece, total);
        if (trace_)
            trace_('w', piece, r.count);
        if (r.failed || r.count != piece) {
            device_.purge();
            return status::IoFailed;
        }
        buffer += piece;
        count -= piece;
    }
    return status::Ok;
}

void SerialPort::purge() {
    device_.purge();
}

} // namespace kv::camera
