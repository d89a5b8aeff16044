// Serial lines on Linux: termios for the line settings, flock + TIOCEXCL for exclusive use,
// poll() for the time-outs, TIOCGICOUNT for the line-error counters.

#include "platform/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv::platform {

namespace {

using Clock = std::chrono::steady_clock;

struct RateSpeed {
    int rate;
    speed_t speed;
};

constexpr RateSpeed kRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

void modemLine(int fd, int line, bool on) {
    // Pseudo-terminals and some adapters have no modem lines; that is not a failure.
    (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

} // namespace

unsigned rateToSpeed(int rate) {
    for (const RateSpeed& r : kRates) {
        if (r.rate == rate)
            return r.speed;
    }
    return 0;
}

int speedToRate(unsigned speed) {
    for (const RateSpeed& r : kRates) {
        if (r.speed == speed)
            return r.rate;
    }
    return 0;
}

SerialDevice::~SerialDevice() {
    close();
}

void SerialDevice::fail(const char* what) {
    error_ = std::string(what) + ": " + std::strerror(errno);
}

bool SerialDevice::open(const std::string& path, const LineSettings& settings) {
    close();
    error_.clear();
    // O_NONBLOCK stays set: every wait is a poll() with a deadline, so a dead line or a
    // stalled flow control can never block a call past its time-out.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(path.c_str());
        return false;
    }
    if (!::isatty(fd)) {
        error_ = path + ": not a serial device";
        ::close(fd);
        return false;
    }
    // flock keeps out a second opener even where TIOCEXCL does not (privileged processes).
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error_ = path + ": in use by another program";
        ::close(fd);
        return false;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        fail("TIOCEXCL");
        ::close(fd);
        return false;
    }
    fd_ = fd;
    if (!apply(settings)) {
        close();
        return false;
    }
    haveCounts_ = false;
    (void)takeLineErrors(); // the counters start from here
    return true;
}

void SerialDevice::close() {
    if (fd_ < 0)
        return;
    // The exclusive flag belongs to the line, not to our descriptor: drop it so the next
    // program can open the line while another descriptor (a bench camera's) keeps it alive.
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
}

bool SerialDevice::apply(const LineSettings& settings, LineSettings* readBack) {
    if (fd_ < 0) {
        error_ = "device not open";
        return false;
    }
    const speed_t speed = rateToSpeed(settings.rate);
    if (speed == 0) {
        error_ = "bit rate " + std::to_string(settings.rate) + " not supported";
        return false;
    }
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        fail("tcgetattr");
        return false;
    }
    // Raw 8N1: no parity, no translation of CR/LF, no XON/XOFF, no signals, no echo, every
    // byte value delivered as it came.
    ::cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNCR | ICRNL | INLCR | PARMRK);
    t.c_iflag |= IGNPAR;
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (settings.ctsFlow)
        t.c_cflag |= CRTSCTS;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
        fail("tcsetattr");
        return false;
    }
    // Linux has no "line follows the input buffer" mode for DTR; CRTSCTS already drives RTS.
    // The line a standard does not use for handshake is held off, the other one on.
    modemLine(fd_, TIOCM_DTR, settings.dtrHandshake);
    if (!settings.ctsFlow)
        modemLine(fd_, TIOCM_RTS, settings.rtsHandshake);
    if (readBack != nullptr && !current(*readBack))
        return false;
    return true;
}

bool SerialDevice::current(LineSettings& out) {
    if (fd_ < 0) {
        error_ = "device not open";
        return false;
    }
    termios t{};
    if (::tcgetattr(fd_, &t) != 0) {
        fail("tcgetattr");
        return false;
    }
    out.rate = speedToRate(::cfgetospeed(&t));
    out.ctsFlow = (t.c_cflag & CRTSCTS) != 0;
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) == 0) {
        out.dtrHandshake = (lines & TIOCM_DTR) != 0;
        out.rtsHandshake = (lines & TIOCM_RTS) != 0;
    }
    return true;
}

bool SerialDevice::accepts(int rate) {
    if (fd_ < 0 || rateToSpeed(rate) == 0)
        return false;
    termios saved{};
    if (::tcgetattr(fd_, &saved) != 0)
        return false;
    termios trial = saved;
    ::cfsetispeed(&trial, rateToSpeed(rate));
    ::cfsetospeed(&trial, rateToSpeed(rate));
    bool ok = ::tcsetattr(fd_, TCSANOW, &trial) == 0;
    termios back{};
    ok = ok && ::tcgetattr(fd_, &back) == 0 && ::cfgetospeed(&back) == rateToSpeed(rate);
    (void)::tcsetattr(fd_, TCSANOW, &saved);
    return ok;
}

IoResult SerialDevice::read(std::uint8_t* buffer, std::size_t count,
                            std::chrono::milliseconds total, std::chrono::milliseconds interval) {
    IoResult result;
    if (fd_ < 0) {
        error_ = "device not open";
        result.failed = true;
        return result;
    }
    const auto deadline = Clock::now() + total;
    auto intervalEnd = deadline;
    while (result.count < count) {
        const auto end = std::min(deadline, intervalEnd);
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(end));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fail("poll");
            result.failed = true;
            return result;
        }
        if (ready == 0)
            return result; // time-out: what came so far
        if ((p.revents & POLLIN) == 0) {
            // Hang-up or error with no data left: the device is gone.
            error_ = "the serial device hung up";
            result.failed = true;
            return result;
        }
        const ssize_t n = ::read(fd_, buffer + result.count, count - result.count);
        if (n > 0) {
            result.count += static_cast<std::size_t>(n);
            intervalEnd = Clock::now() + interval;
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // Readable but no byte (end of file) or an I/O error: unplugged, not a busy loop.
        if (n == 0)
            error_ = "the serial device vanished";
        else
            fail("read");
        result.failed = true;
        return result;
    }
    return result;
}

IoResult SerialDevice::write(const std::uint8_t* buffer, std::size_t count,
                             std::chrono::milliseconds total) {
    IoResult result;
    if (fd_ < 0) {
        error_ = "device not open";
        result.failed = true;
        return result;
    }
    const auto deadline = Clock::now() + total;
    while (result.count < count) {
        const ssize_t n = ::write(fd_, buffer + result.count, count - result.count);
        if (n > 0) {
            result.count += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            fail("write");
            result.failed = true;
            return result;
        }
        pollfd p{fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            error_ = "write timed out";
            result.failed = true;
            return result;
        }
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLOUT) == 0) {
            error_ = "the serial device hung up";
            result.failed = true;
            return result;
        }
    }
    return result;
}

void SerialDevice::purge() {
    if (fd_ >= 0)
        (void)::tcflush(fd_, TCIOFLUSH);
}

void SerialDevice::clearBreak() {
    if (fd_ >= 0)
        (void)::ioctl(fd_, TIOCCBRK);
}

LineErrors SerialDevice::takeLineErrors() {
    LineErrors errors;
    if (fd_ < 0)
        return errors;
    serial_icounter_struct c{};
    if (::ioctl(fd_, TIOCGICOUNT, &c) != 0)
        return errors; // no counters on this driver (pseudo-terminals)
    const int now[5] = {c.overrun, c.buf_overrun, c.frame, c.parity, c.brk};
    if (haveCounts_) {
        errors.overrun = now[0] != counts_[0] || now[1] != counts_[1];
        errors.framing = now[2] != counts_[2];
        errors.parity = now[3] != counts_[3];
        errors.breakSeen = now[4] != counts_[4];
    }
    std::memcpy(counts_, now, sizeof counts_);
    haveCounts_ = true;
    return errors;
}

void setCurrentThreadLowestPriority() {
    // Per-thread nice value: the thread's own id addresses only this thread on Linux.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    (void)::setpriority(PRIO_PROCESS, tid, 19);
}

} // namespace kv::platform
