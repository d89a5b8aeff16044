// Pseudo-terminals for the bench camera: posix_openpt with a raw line and a wake-up pipe.

#include "platform/pseudo_terminal.h"

#include "platform/serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kv::platform {

namespace {
int remaining(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
}
} // namespace

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        error_ = std::string("posix_openpt: ") + std::strerror(errno);
        return;
    }
    char name[128] = {};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        error_ = std::string("pseudo-terminal setup: ") + std::strerror(errno);
        ::close(master_);
        master_ = -1;
        return;
    }
    slavePath_ = name;
    (void)::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    keeper_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keeper_ >= 0) {
        // Raw from the start: a host that has not configured the line yet must not get our
        // bytes echoed back or CR/LF translated.
        termios t{};
        if (::tcgetattr(keeper_, &t) == 0) {
            ::cfmakeraw(&t);
            ::cfsetispeed(&t, B9600);
            ::cfsetospeed(&t, B9600);
            (void)::tcsetattr(keeper_, TCSANOW, &t);
        }
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    }
}

PseudoTerminal::~PseudoTerminal() {
    closeMaster();
    for (int fd : {keeper_, wakeRead_, wakeWrite_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

long PseudoTerminal::read(std::uint8_t* buffer, std::size_t count,
                          std::chrono::milliseconds limit) {
    if (master_ < 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        pollfd p[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int ready = ::poll(p, wakeRead_ >= 0 ? 2 : 1, remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return 0;
        if (wakeRead_ >= 0 && (p[1].revents & POLLIN) != 0) {
            std::uint8_t drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
            return 0;
        }
        if ((p[0].revents & POLLIN) == 0)
            return -1;
        const ssize_t n = ::read(master_, buffer, count);
        if (n > 0)
            return n;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return -1;
    }
}

bool PseudoTerminal::write(const std::uint8_t* buffer, std::size_t count,
                           std::chrono::milliseconds limit) {
    if (master_ < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(master_, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd p{master_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
    }
    return true;
}

void PseudoTerminal::wake() {
    if (wakeWrite_ >= 0) {
        const std::uint8_t byte = 1;
        (void)!::write(wakeWrite_, &byte, 1);
    }
}

int PseudoTerminal::peerRate() const {
    // Terminal settings asked of the master are those of the slave, which the host set.
    const int fd = master_ >= 0 ? master_ : keeper_;
    termios t{};
    if (fd < 0 || ::tcgetattr(fd, &t) != 0)
        return 0;
    return speedToRate(::cfgetospeed(&t));
}

void PseudoTerminal::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

} // namespace kv::platform
