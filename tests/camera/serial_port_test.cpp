// SerialPort's codes, pieces and time-outs over a real pseudo-terminal.

#include "camera/serial_port.h"
#include "link_test_support.h"

#include <gtest/gtest.h>

using namespace kv::camera;
using namespace kv::camera::test;

namespace {

struct Piece {
    char direction;
    std::size_t requested, done;
};

struct TracedPort {
    explicit TracedPort(const std::string& path, std::chrono::milliseconds t = 100ms)
        : port(path, kLineRS232, t) {
        port.setTrace([this](char d, std::size_t r, std::size_t n) {
            std::lock_guard<std::mutex> g(mutex);
            pieces.push_back({d, r, n});
        });
    }
    std::vector<Piece> taken() {
        std::lock_guard<std::mutex> g(mutex);
        return std::exchange(pieces, {});
    }
    SerialPort port;
    std::mutex mutex;
    std::vector<Piece> pieces;
};

} // namespace

TEST(SerialPort, UnopenablePortKeepsOpeningSetAndFailsEveryCall) {
    ScriptedPeer peer;
    SerialPort first(peer.path(), kLineRS232);
    ASSERT_EQ(first.opening(), 0) << first.lastError();
    EXPECT_EQ(first.currentRate(), 9600);

    for (const std::string& path : {peer.path(), std::string("/dev/nonexistent-ttyS9")}) {
        SerialPort port(path, kLineRS232, 50ms);
        EXPECT_EQ(port.opening(), 1) << path;
        EXPECT_FALSE(port.isOpen());
        std::uint8_t byte = 0;
        EXPECT_EQ(port.read(&byte, 1), kv::status::IoFailed);
        EXPECT_EQ(port.write(&byte, 1), kv::status::IoFailed);
        EXPECT_EQ(port.setRate(57600), kv::status::Failed);
        EXPECT_EQ(port.maxRate(), 0);
    }
}

TEST(SerialPort, LongReadGoesInPiecesOfAtMost8192) {
    ScriptedPeer peer;
    // A long time-out base so a stalled sender on a busy machine cannot split a piece.
    TracedPort traced(peer.path(), 2000ms);
    kv::Bytes data(20000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    // The line buffers only a few KiB: the far end keeps writing while the host reads.
    std::thread sender([&] { peer.send(data); });
    kv::Bytes got(data.size());
    const kv::Status result = traced.port.read(got.data(), got.size());
    sender.join();
    ASSERT_EQ(result, kv::status::Ok);
    EXPECT_EQ(got, data);
    EXPECT_EQ(traced.port.lastReadCount(), 20000u);
    const auto pieces = traced.taken();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].requested, 8192u);
    EXPECT_EQ(pieces[1].requested, 8192u);
    EXPECT_EQ(pieces[2].requested, 3616u);
}

TEST(SerialPort, PartialReadThenSilenceTimesOutWithTheCount) {
    ScriptedPeer peer;
    TracedPort traced(peer.path());
    peer.send("abc");
    std::uint8_t buf[10] = {};
    EXPECT_EQ(traced.port.read(buf, 10), kv::status::TimedOut);
    EXPECT_EQ(traced.port.lastReadCount(), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
    std::uint8_t none = 0;
    EXPECT_EQ(traced.port.read(&none, 0), kv::status::Ok);
    EXPECT_EQ(traced.port.lastReadCount(), 0u);
}

TEST(SerialPort, DataReadEndsAtTheFirstGapAndTheTailIsDropped) {
    ScriptedPeer peer;
    // T far above the data gap: a data read that waited T a second time would show as a
    // second device read in the trace.
    TracedPort traced(peer.path(), 2000ms);
    ASSERT_EQ(traced.port.setRate(115200), kv::status::Ok);
    peer.send("abc");
    std::uint8_t buf[10] = {};
    EXPECT_EQ(traced.port.readData(buf, 10, traced.port.dataGap()), kv::status::TimedOut);
    EXPECT_EQ(traced.port.lastReadCount(), 3u);
    const auto pieces = traced.taken();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].done, 3u);

    // Whatever is still waiting goes; the line is quiet afterwards.
    peer.send("late bytes of the block");
    EXPECT_TRUE(traced.port.discardUntilQuiet(traced.port.dataGap(), 1024));
    EXPECT_EQ(traced.port.readData(buf, 1, 20ms), kv::status::TimedOut);
    EXPECT_EQ(traced.port.lastReadCount(), 0u);
    // A line that talks beyond the bound is reported, not drained for ever.
    peer.send(std::string(600, 'x'));
    EXPECT_FALSE(traced.port.discardUntilQuiet(traced.port.dataGap(), 100));
}

TEST(SerialPort, DataGapFollowsTheRateAndNeverExceedsT) {
    ScriptedPeer peer;
    struct Case {
        int rate;
        std::chrono::milliseconds t, gap;
    };
    // 16 characters of 10 bits, rounded up, plus the margin; capped at T.
    for (const Case c : {Case{115200, 400ms, 2ms + kDataGapMargin},
                         Case{9600, 400ms, 17ms + kDataGapMargin}, Case{9600, 30ms, 30ms}}) {
        SerialPort port(peer.path(), kLineRS232, c.t);
        ASSERT_EQ(port.setRate(c.rate), kv::status::Ok);
        EXPECT_EQ(port.dataGap(), c.gap) << c.rate << " " << c.t.count();
    }
}

TEST(SerialPort, PendingLineErrorsStopReadsAndWrites) {
    ScriptedPeer peer;
    TracedPort traced(peer.path());
    peer.send("xy");

    // An overrun before a read: 514 at once, nothing read, nothing purged.
    traced.port.injectLineErrors({.overrun = true});
    std::uint8_t buf[2] = {};
    EXPECT_EQ(traced.port.read(buf, 2), kv::status::Overrun);
    EXPECT_TRUE(traced.taken().empty());
    EXPECT_EQ(traced.port.read(buf, 2), kv::status::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "xy");

    // Any line error before a write: -1 and nothing on the wire.
    traced.port.injectLineErrors({.framing = true});
    EXPECT_EQ(traced.port.write(buf, 2), kv::status::Failed);
    EXPECT_EQ(peer.drain(50ms), "");
    EXPECT_EQ(traced.port.write(buf, 2), kv::status::Ok);
    EXPECT_EQ(peer.receive(2), "xy");
}

TEST(SerialPort, RatesAndTheirCap) {
    ScriptedPeer peer;
    SerialPort port(peer.path(), kLineRS232);
    EXPECT_EQ(port.maxRate(), 115200);
    EXPECT_EQ(port.setRate(57600), kv::status::Ok);
    EXPECT_EQ(port.currentRate(), 57600);
    EXPECT_EQ(peer.pty().peerRate(), 57600);
    EXPECT_EQ(port.setRate(12345), kv::status::Failed);
    EXPECT_EQ(port.currentRate(), 57600);
    EXPECT_EQ(port.maxRate(), 115200);
    EXPECT_EQ(peer.pty().peerRate(), 57600); // asking for the maximum changed nothing
}

TEST(SerialPort, CablePulledDuringAReadIsATransportErrorNotABusyLoop) {
    ScriptedPeer peer;
    // A long time-out: the read must end because the device vanished, not by the clock.
    TracedPort traced(peer.path(), 30s);
    peer.send("12345");
    std::thread puller([&] {
        std::this_thread::sleep_for(50ms);
        peer.hangUp();
    });
    kv::Bytes buf(100);
    const kv::Status result = traced.port.read(buf.data(), buf.size());
    puller.join();
    EXPECT_EQ(result, kv::status::IoFailed);
    EXPECT_EQ(traced.port.lastReadCount(), 5u);
    EXPECT_LE(traced.taken().size(), 2u); // one piece call, not a spin of empty reads
    EXPECT_EQ(traced.port.read(buf.data(), 1), kv::status::IoFailed);
    EXPECT_EQ(traced.port.write(buf.data(), 1), kv::status::IoFailed);
}
