// The serial device over a real pseudo-terminal: transparency, exclusive use, time-outs and
// a far end that vanishes.

#include "platform/pseudo_terminal.h"
#include "platform/serial_device.h"

#include <gtest/gtest.h>

#include <thread>

using namespace kv::platform;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> allByteValues() {
    std::vector<std::uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    return bytes;
}

std::vector<std::uint8_t> readFromMaster(PseudoTerminal& pty, std::size_t count) {
    std::vector<std::uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        std::uint8_t buf[512];
        const long n = pty.read(buf, std::min(sizeof buf, count - got.size()), 50ms);
        if (n < 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

} // namespace

TEST(SerialDevice, EveryByteValuePassesUnchangedBothWays) {
    PseudoTerminal pty;
    ASSERT_TRUE(pty.isOpen()) << pty.lastError();
    SerialDevice device;
    ASSERT_TRUE(device.open(pty.slavePath(), LineSettings{})) << device.lastError();
    const auto bytes = allByteValues();

    // Host to far end: no CR/LF translation, no XON/XOFF swallowed, no parity marks.
    const IoResult w = device.write(bytes.data(), bytes.size(), 2s);
    ASSERT_FALSE(w.failed);
    EXPECT_EQ(readFromMaster(pty, bytes.size()), bytes);

    // Far end to host.
    ASSERT_TRUE(pty.write(bytes.data(), bytes.size()));
    std::vector<std::uint8_t> got(bytes.size());
    const IoResult r = device.read(got.data(), got.size(), 5s, 2s);
    ASSERT_FALSE(r.failed);
    ASSERT_EQ(r.count, bytes.size());
    EXPECT_EQ(got, bytes);
}

TEST(SerialDevice, SecondOpenerFailsUntilTheFirstCloses) {
    PseudoTerminal pty;
    SerialDevice first, second;
    ASSERT_TRUE(first.open(pty.slavePath(), LineSettings{}));
    EXPECT_FALSE(second.open(pty.slavePath(), LineSettings{}));
    EXPECT_FALSE(second.isOpen());
    EXPECT_FALSE(second.lastError().empty());
    first.close();
    EXPECT_TRUE(second.open(pty.slavePath(), LineSettings{})) << second.lastError();
}

TEST(SerialDevice, MissingOrNonTerminalDevicesDoNotOpen) {
    SerialDevice device;
    EXPECT_FALSE(device.open("/dev/nonexistent-serial-port", LineSettings{}));
    EXPECT_FALSE(device.open("/dev/null", LineSettings{}));
    EXPECT_FALSE(device.isOpen());
}

TEST(SerialDevice, ReadReturnsWhatCameBeforeTheIntervalPassed) {
    PseudoTerminal pty;
    SerialDevice device;
    ASSERT_TRUE(device.open(pty.slavePath(), LineSettings{}));
    const std::uint8_t three[] = {1, 2, 3};
    ASSERT_TRUE(pty.write(three, 3));
    std::uint8_t buf[10] = {};
    const IoResult r = device.read(buf, sizeof buf, 5s, 100ms);
    EXPECT_FALSE(r.failed);
    EXPECT_EQ(r.count, 3u);
    const IoResult none = device.read(buf, sizeof buf, 50ms, 50ms);
    EXPECT_FALSE(none.failed);
    EXPECT_EQ(none.count, 0u);
}

TEST(SerialDevice, FarEndClosingDuringAReadIsAFailureNotAWait) {
    PseudoTerminal pty;
    SerialDevice device;
    ASSERT_TRUE(device.open(pty.slavePath(), LineSettings{}));
    std::thread puller([&] {
        std::this_thread::sleep_for(50ms);
        pty.closeMaster();
    });
    std::uint8_t buf[16];
    // A generous time-out: the read must end on the hang-up, not on the clock.
    const IoResult r = device.read(buf, sizeof buf, 60s, 60s);
    puller.join();
    EXPECT_TRUE(r.failed);
    // Every later read fails at once as well.
    EXPECT_TRUE(device.read(buf, sizeof buf, 60s, 60s).failed);
}

TEST(SerialDevice, RatesAreSetAndReadBack) {
    PseudoTerminal pty;
    SerialDevice device;
    ASSERT_TRUE(device.open(pty.slavePath(), LineSettings{}));
    LineSettings wanted;
    for (int rate : {9600, 57600, 115200}) {
        wanted.rate = rate;
        LineSettings back;
        ASSERT_TRUE(device.apply(wanted, &back));
        EXPECT_EQ(back.rate, rate);
        EXPECT_EQ(pty.peerRate(), rate);
    }
    wanted.rate = 12345;
    EXPECT_FALSE(device.apply(wanted));
    EXPECT_TRUE(device.accepts(115200));
    EXPECT_FALSE(device.accepts(12345));
    LineSettings now;
    ASSERT_TRUE(device.current(now));
    EXPECT_EQ(now.rate, 115200); // accepts() left the setting as it was
}

TEST(SerialDevice, CtsFlowIsPartOfTheLineSettings) {
    PseudoTerminal pty;
    SerialDevice device;
    LineSettings s;
    ASSERT_TRUE(device.open(pty.slavePath(), s));
    LineSettings now;
    ASSERT_TRUE(device.current(now));
    EXPECT_FALSE(now.ctsFlow);
    s.ctsFlow = true;
    ASSERT_TRUE(device.apply(s, &now));
    EXPECT_TRUE(now.ctsFlow);
}
