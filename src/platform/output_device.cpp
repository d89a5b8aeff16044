#include "platform/output_device.h"

#include <fcntl.h>
#include <linux/lp.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kv::platform {
namespace {

std::string reason(const std::string& path, const char* what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

} // namespace

ControlPort::~ControlPort() {
    close();
}

bool ControlPort::open(const std::string& path, std::string& error) {
    close();
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = reason(path, "cannot open");
        return false;
    }
    if (::ioctl(fd, PPCLAIM) == 0) {
        claimed_ = true;
    } else if (errno != ENOTTY && errno != EINVAL) {
        // A parallel port that another program holds: refuse rather than write beside it.
        error = reason(path, "cannot claim the port");
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool ControlPort::write(std::uint8_t value, std::string& error) {
    if (fd_ < 0) {
        error = "relay board: port not open";
        return false;
    }
    if (claimed_) {
        int control = value;
        if (::ioctl(fd_, PPWCONTROL, &control) == 0)
            return true;
        error = reason(path_, "cannot set the control register");
        return false;
    }
    for (;;) {
        const ssize_t n = ::write(fd_, &value, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        error = reason(path_, "cannot write");
        return false;
    }
}

void ControlPort::close() {
    if (fd_ < 0)
        return;
    if (claimed_)
        ::ioctl(fd_, PPRELEASE);
    ::close(fd_);
    fd_ = -1;
    claimed_ = false;
    path_.clear();
}

bool writeTimedDevice(const std::string& path, ByteSpan bytes, std::chrono::milliseconds timeout,
                      std::string& error) {
    // No O_CREAT: the device must exist.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = reason(path, "cannot open");
        return false;
    }
    timeval tv{};
    tv.tv_sec = timeout.count() / 1000;
    tv.tv_usec = (timeout.count() % 1000) * 1000;
    // Only printer devices know this; on other files the write below still has its bound.
    ::ioctl(fd, LPSETTIMEOUT, &tv);
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ok = true;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            error = reason(path, "cannot write");
            ok = false;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            error = path + ": the device did not take the bytes in time";
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

} // namespace kv::platform
